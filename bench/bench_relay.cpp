// How long a byte spends in xolhost's relay, each way, beside a bare
// pseudo-terminal, while the machine is busy: processes that allocate memory
// and write files to disk, beside busy loops. The driver reads with a time-out
// of a few tens of milliseconds; the relay's hop must stay far below it.
// Prints Markdown rows (median, 99th percentile, worst, in ms). With --load
// SECONDS it only makes the load, for scripts/bench.sh's scans.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "line/line_decoder.h"
#include "line/relay.h"

namespace {

using Clock = std::chrono::steady_clock;

// Allocates and touches 64 MB, writes 16 MB to a file and syncs it, again
// and again: page faults, reclaim and disk writes, as a build makes them.
[[noreturn]] void AllocateAndWrite(const std::string& folder, int index) {
    const std::string path =
        folder + "/load-" + std::to_string(getpid()) + "-" + std::to_string(index);
    std::vector<char> chunk(1 << 20, 'x');
    for (;;) {
        std::vector<char> memory(64u << 20);
        std::memset(memory.data(), index, memory.size());
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        for (int i = 0; fd >= 0 && i < 16; ++i) {
            if (write(fd, chunk.data(), chunk.size()) < 0) {
                break;
            }
        }
        if (fd >= 0) {
            (void)fsync(fd);
            close(fd);
        }
        unlink(path.c_str());
    }
}

[[noreturn]] void BusyLoop() {
    volatile uint64_t n = 0;
    for (;;) {
        n = n + 1;
    }
}

// The mixed load: per CPU one allocating writer and one busy loop.
std::vector<pid_t> StartLoad() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp != nullptr ? tmp : "/tmp";
    std::vector<pid_t> children;
    const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < 2 * cpus; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            // The load ends with this program, however it ends.
            (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (i % 2 == 0) {
                AllocateAndWrite(folder, static_cast<int>(i));
            }
            BusyLoop();
        }
        if (pid > 0) {
            children.push_back(pid);
        }
    }
    return children;
}

void StopLoad(const std::vector<pid_t>& children) {
    for (pid_t pid : children) {
        kill(pid, SIGKILL);
    }
    for (pid_t pid : children) {
        (void)waitpid(pid, nullptr, 0);
    }
}

void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        (void)tcsetattr(fd, TCSANOW, &tio);
    }
}

// The time one byte takes from `from` to `to`, in ms; -1 when it did not come.
double Transit(int from, int to) {
    const char byte = 'x';
    const auto start = Clock::now();
    if (write(from, &byte, 1) != 1) {
        return -1;
    }
    pollfd in{to, POLLIN, 0};
    if (poll(&in, 1, 2000) != 1) {
        return -1;
    }
    char got = 0;
    if (read(to, &got, 1) != 1) {
        return -1;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Spread {
    double median = 0, p99 = 0, worst = 0;
    int lost = 0;
};

Spread SpreadOf(std::vector<double> samples) {
    Spread s;
    s.lost = static_cast<int>(std::count(samples.begin(), samples.end(), -1.0));
    std::erase(samples, -1.0);
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    s.median = samples[samples.size() / 2];
    s.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    s.worst = samples.back();
    return s;
}

void Row(const char* what, const Spread& s) {
    std::printf("| %s, median / 99th percentile / worst, ms | %.3f / %.3f / %.3f | | | %s |\n",
                what, s.median, s.p99, s.worst,
                s.lost > 0 ? (std::to_string(s.lost) + " byte(s) lost").c_str() : "");
}

struct Line {
    int panel = -1;  // the panel's end of the device
    int device = -1; // the device the relay opens, or the bare line's driver end
};

Line OpenPair() {
    Line line;
    char name[256];
    if (openpty(&line.panel, &line.device, name, nullptr, nullptr) != 0) {
        std::perror("bench_relay: openpty");
        std::exit(1);
    }
    MakeRaw(line.panel);
    MakeRaw(line.device);
    return line;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"The time a byte spends in xolhost's relay under a mixed load"};
    int samples = 3000;
    double loadSeconds = 0;
    bool idle = false;
    app.add_option("--samples", samples, "Bytes timed each way")->check(CLI::PositiveNumber);
    app.add_flag("--idle", idle, "Time the bytes without the load");
    app.add_option("--load", loadSeconds, "Only make the load, for this many seconds")
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    if (loadSeconds > 0) {
        std::vector<pid_t> load = StartLoad();
        std::this_thread::sleep_for(std::chrono::duration<double>(loadSeconds));
        StopLoad(load);
        return 0;
    }

    // Through the relay: the driver's end is the relay's pseudo-terminal,
    // the device is one end of a pair whose other end plays the panel.
    Line device = OpenPair();
    char deviceName[256];
    if (ttyname_r(device.device, deviceName, sizeof deviceName) != 0) {
        std::perror("bench_relay: ttyname");
        return 1;
    }
    xolhost::LineDecoder decoder(xolhost::DecoderSettings{});
    xolhost::PortProblem problem;
    const PortSettings settings{2400, 8, 0, 2};
    auto relay = xolhost::StartRelay(deviceName, settings, decoder, problem);
    if (!relay) {
        std::fprintf(stderr, "bench_relay: no relay: %s (%s)\n", problem.system.c_str(),
                     problem.step.c_str());
        return 1;
    }
    const std::string driverName = "/dev/" + relay->modulePortName();
    const int driver = open(driverName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (driver < 0) {
        std::perror("bench_relay: opening the relay's pseudo-terminal");
        return 1;
    }
    MakeRaw(driver);
    Line bare = OpenPair();

    std::vector<pid_t> load = idle ? std::vector<pid_t>{} : StartLoad();
    std::vector<double> toPanel, fromPanel, bareTo, bareFrom;
    std::mt19937 random(1);
    std::uniform_int_distribution<int> pause(0, 2000);
    for (int i = 0; i < samples; ++i) {
        toPanel.push_back(Transit(driver, device.panel));
        fromPanel.push_back(Transit(device.panel, driver));
        bareTo.push_back(Transit(bare.device, bare.panel));
        bareFrom.push_back(Transit(bare.panel, bare.device));
        // Not in step with the load's rhythm.
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
    }
    StopLoad(load);
    const char* under = idle ? "idle" : "under load";
    std::string what = std::string("Relay: a byte to the panel through the relay, ") + under;
    Row(what.c_str(), SpreadOf(toPanel));
    what = std::string("Relay: a byte from the panel through the relay, ") + under;
    Row(what.c_str(), SpreadOf(fromPanel));
    what = std::string("Relay: a byte over a bare pseudo-terminal (both ways), ") + under;
    bareTo.insert(bareTo.end(), bareFrom.begin(), bareFrom.end());
    Row(what.c_str(), SpreadOf(bareTo));
    close(driver);
    return 0;
}
