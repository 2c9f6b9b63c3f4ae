// xolpanel: a simulated CM1N panel on a new pseudo-terminal (its path is
// printed on standard output) or on a named serial device.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "panel.h"
#include "replay.h"

#ifndef XOLPANEL_VERSION
#define XOLPANEL_VERSION "unknown"
#endif

namespace {

constexpr int EXIT_USAGE = 64;
constexpr int EXIT_NO_LINE = 2;
constexpr int EXIT_REPLAY_DIFFERS = 3;

speed_t SpeedOf(uint32_t baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

// Opens a serial device for the panel's side: exclusive, raw, 8 data bits,
// the given parity, one stop bit, no flow control.
int OpenDevice(const std::string& path, uint32_t baud, const std::string& parity) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error(fmt::format("{}: {}", path, std::strerror(errno)));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw std::runtime_error(fmt::format("{}: in use by another program", path));
    }
    ::ioctl(fd, TIOCEXCL); // not every device has it; a failure changes nothing
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        int error = errno;
        ::close(fd);
        throw std::runtime_error(
            fmt::format("{}: not a serial device ({})", path, std::strerror(error)));
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (parity == "even") {
        tio.c_cflag |= PARENB;
    } else if (parity == "odd") {
        tio.c_cflag |= PARENB | PARODD;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, SpeedOf(baud));
    ::cfsetospeed(&tio, SpeedOf(baud));
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        int error = errno;
        ::close(fd);
        throw std::runtime_error(
            fmt::format("{}: line settings refused ({})", path, std::strerror(error)));
    }
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

// The command line as given.
struct Options {
    std::string scenarioPath;
    std::string device;
    uint32_t baud = 2400;
    std::string parity = "even";
    bool trace = false;
    bool dumpScenario = false;
    std::string checkPath;
    std::string replayPath;
    std::string convertPath;
    xolsim::FaultOptions faults;
    int delayMs = 0;
    int splitGapMs = 20;
};

void AddLineOptions(CLI::App& app, Options& o) {
    app.add_option("scenario", o.scenarioPath, "Scenario file (JSON); the built-in demo if none")
        ->check(CLI::ExistingFile);
    app.add_option("--device", o.device, "Serve this serial device instead of a pseudo-terminal")
        ->type_name("DEVICE");
    app.add_option("--baud", o.baud, "Bit rate of --device")
        ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}))
        ->capture_default_str();
    app.add_option("--parity", o.parity, "Parity of --device")
        ->check(CLI::IsMember({"none", "even", "odd"}))
        ->capture_default_str();
    app.add_flag("--trace", o.trace, "One decoded line per frame received and sent, on stderr");
    app.add_flag("--print-scenario", o.dumpScenario, "Print the built-in scenario and exit");
    app.add_option("--check", o.checkPath,
                   "Check a scenario file and exit: 0 when it is valid, 64 with the mistake")
        ->type_name("FILE");
    app.add_option("--replay", o.replayPath,
                   "Play back the panel's side of a recording (xolhost --record); a request that "
                   "differs ends it (exit code 3)")
        ->type_name("FILE");
    app.add_option("--recording-to-scenario", o.convertPath,
                   "Print a scenario that answers as the recorded panel did, and exit")
        ->type_name("FILE");
    app.set_version_flag("-V,--version", std::string("xolpanel ") + XOLPANEL_VERSION);
}

void AddFaultOptions(CLI::App& app, Options& o) {
    xolsim::FaultOptions& faults = o.faults;
    auto* f = app.add_option_group("Faults", "Misbehaviour on request");
    f->add_option("--silent-after", faults.silentAfterRecords,
                  "Fall silent once N status records have been sent")
        ->check(CLI::NonNegativeNumber);
    f->add_option("--silent-for", faults.silentRequests,
                  "A silence lasts N requests (default: for good); alone, starts at once")
        ->check(CLI::NonNegativeNumber);
    f->add_option("--corrupt-every", faults.corruptEvery,
                  "Corrupt the checksum of every Nth checksummed frame")
        ->check(CLI::PositiveNumber);
    f->add_option("--split", faults.splitBytes, "Send replies in pieces of N bytes")
        ->check(CLI::PositiveNumber);
    f->add_option("--split-gap", o.splitGapMs, "Milliseconds between pieces")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    f->add_option("--noise", faults.noiseBytes, "Send N bytes of noise before replies")
        ->check(CLI::PositiveNumber);
    f->add_option("--noise-every", faults.noiseEvery, "Noise before every Nth reply only")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    f->add_option("--delay", o.delayMs, "Wait N milliseconds before each reply")
        ->check(CLI::NonNegativeNumber);
    f->add_option("--unknown-answer", faults.unknownAnswers,
                  "Answer the next N template commands with an unknown byte (-1: all)")
        ->check(CLI::Range(-1, 1000000));
    f->add_option("--bit-rate", faults.bitRate, "Pace output at this bit rate, 11 bits per byte")
        ->check(CLI::Range(50, 1000000));
    f->add_option("--seed", faults.seed, "Seed of the noise bytes")->capture_default_str();
}

int ConvertRecording(const std::string& path) {
    try {
        std::cout << xolsim::RecordingToScenario(xolsim::LoadRecording(path), path);
        return 0;
    } catch (const xolsim::ScenarioError& e) {
        fmt::print(stderr, "xolpanel: recording {}\n", e.what());
        return EXIT_USAGE;
    }
}

int CheckScenario(const std::string& path) {
    try {
        xolsim::Scenario checked = xolsim::LoadScenario(path);
        fmt::print("{}: valid scenario \"{}\": {} zones, {} control points, {} events\n", path,
                   checked.name, checked.zones.size(), checked.controls.size(),
                   checked.events.size());
        return 0;
    } catch (const xolsim::ScenarioError& e) {
        fmt::print(stderr, "xolpanel: scenario {}\n", e.what());
        return EXIT_USAGE;
    }
}

// Signals are taken by sigwait, never by a handler in the middle of the
// panel's work.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int stop : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&signals, stop);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

void WaitForStop(const sigset_t& signals) {
    int signal = 0;
    sigwait(&signals, &signal);
}

// The panel's end of the line, once served, wakes the sigwait of the main
// thread: a line that ends by itself ends the program.
void WakeMain() {
    ::kill(::getpid(), SIGTERM);
}

int PlayBack(const Options& o, const std::vector<xolsim::RecordedExchange>& recording,
             const sigset_t& signals) {
    std::optional<xolsim::PtyPair> pty;
    int fd = -1;
    if (o.device.empty()) {
        pty.emplace();
        if (!pty->ok()) {
            throw std::runtime_error("no pseudo-terminal: " + pty->error());
        }
        fd = pty->master();
    } else {
        fd = OpenDevice(o.device, o.baud, o.parity);
    }
    std::string differs;
    std::atomic<bool> lineFailed = false;
    std::jthread serving([&](std::stop_token stop) {
        differs = xolsim::ServeRecording(fd, recording, stop);
        if (!stop.stop_requested()) {
            lineFailed = differs.empty();
            WakeMain();
        }
    });
    const std::string shown = o.device.empty() ? pty->slavePath() : o.device;
    fmt::print("{}\n", shown);
    std::fflush(stdout);
    fmt::print(stderr, "xolpanel: playing back {} ({} requests) on {}; Ctrl-C ends\n", o.replayPath,
               recording.size(), shown);
    WaitForStop(signals);
    serving.request_stop();
    serving.join();
    if (!o.device.empty()) {
        ::close(fd);
    }
    if (!differs.empty()) {
        fmt::print(stderr, "xolpanel: playback stopped: {}\n", differs);
        return EXIT_REPLAY_DIFFERS;
    }
    if (lineFailed) {
        fmt::print(stderr, "xolpanel: {} failed\n", shown);
        return EXIT_NO_LINE;
    }
    return 0;
}

int ServeOnPty(xolsim::Scenario scenario, const Options& o, xolsim::TraceSink sink,
               const sigset_t& signals) {
    const std::string name = scenario.name.empty() ? "scenario" : scenario.name;
    xolsim::PtyPanel panel(std::move(scenario), o.faults, std::move(sink));
    fmt::print("{}\n", panel.devicePath());
    std::fflush(stdout);
    fmt::print(stderr, "xolpanel: panel \"{}\" on {} (driver port name {}); Ctrl-C ends\n", name,
               panel.devicePath(), panel.portName());
    WaitForStop(signals);
    // The panel's thread stops and joins as `panel` goes.
    return 0;
}

int ServeOnDevice(xolsim::Scenario scenario, const Options& o, xolsim::TraceSink sink,
                  const sigset_t& signals) {
    const std::string name = scenario.name.empty() ? "scenario" : scenario.name;
    int fd = OpenDevice(o.device, o.baud, o.parity);
    xolsim::Panel panel(std::move(scenario), o.faults);
    panel.setTrace(std::move(sink));
    std::atomic<bool> lineFailed = false;
    std::jthread serving([&](std::stop_token stop) {
        panel.serve(fd, stop);
        if (!stop.stop_requested()) {
            lineFailed = true;
            WakeMain();
        }
    });
    fmt::print("{}\n", o.device);
    std::fflush(stdout);
    fmt::print(stderr, "xolpanel: panel \"{}\" on {} at {} baud; Ctrl-C ends\n", name, o.device,
               o.baud);
    WaitForStop(signals);
    serving.request_stop();
    serving.join();
    ::close(fd);
    if (lineFailed) {
        fmt::print(stderr, "xolpanel: {} failed\n", o.device);
        return EXIT_NO_LINE;
    }
    return 0;
}

// The panel from its scenario, or the playback of a recording, until a
// signal ends it or the line fails.
int Serve(Options& o) {
    std::vector<xolsim::RecordedExchange> recording;
    if (!o.replayPath.empty()) {
        try {
            recording = xolsim::LoadRecording(o.replayPath);
        } catch (const xolsim::ScenarioError& e) {
            fmt::print(stderr, "xolpanel: recording {}\n", e.what());
            return EXIT_USAGE;
        }
    }
    o.faults.delay = std::chrono::milliseconds(o.delayMs);
    o.faults.splitGap = std::chrono::milliseconds(o.splitGapMs);
    xolsim::Scenario scenario;
    try {
        scenario = o.scenarioPath.empty() ? xolsim::DefaultScenario()
                                          : xolsim::LoadScenario(o.scenarioPath);
    } catch (const xolsim::ScenarioError& e) {
        fmt::print(stderr, "xolpanel: scenario {}\n", e.what());
        return EXIT_USAGE;
    }
    const sigset_t signals = BlockStopSignals();
    static std::mutex traceMutex;
    xolsim::TraceSink sink;
    if (o.trace) {
        sink = [](const std::string& line) {
            std::lock_guard lock(traceMutex);
            fmt::print(stderr, "{}\n", line);
            std::fflush(stderr);
        };
    }
    try {
        if (!o.replayPath.empty()) {
            return PlayBack(o, recording, signals);
        }
        return o.device.empty() ? ServeOnPty(std::move(scenario), o, std::move(sink), signals)
                                : ServeOnDevice(std::move(scenario), o, std::move(sink), signals);
    } catch (const std::exception& e) {
        fmt::print(stderr, "xolpanel: {}\n", e.what());
        return EXIT_NO_LINE;
    }
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"xolpanel: a simulated EST CM1N fire alarm panel (CIS protocol).\n"
                 "Without --device it creates a pseudo-terminal and prints its path."};
    app.get_formatter()->column_width(34);
    Options options;
    AddLineOptions(app, options);
    AddFaultOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) { // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }
    if (options.dumpScenario) {
        std::cout << xolsim::DefaultScenarioText();
        return 0;
    }
    if (!options.convertPath.empty()) {
        return ConvertRecording(options.convertPath);
    }
    if (!options.checkPath.empty()) {
        return CheckScenario(options.checkPath);
    }
    return Serve(options);
}
