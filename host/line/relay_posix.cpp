// The serial line on Linux: port names, the device opened through termios2
// as the driver's port layer opens it, and the relay over a pseudo-terminal.
#include "line/relay.h"

#include <sys/ioctl.h>

#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "line/line_decoder.h"
#include "platform/exit_codes.h"
#include "platform/platform.h"
#include "present/output.h"

namespace xolhost {

namespace {

constexpr std::string_view DEV = "/dev/";
constexpr int RELAY_NICE = -10;

PortProblem Problem(PortFault fault, int error, std::string step) {
    return {fault, SystemErrorText(error), std::move(step)};
}

PortFault FaultOfOpen(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return PortFault::Missing;
    case EBUSY:
    case EWOULDBLOCK:
        return PortFault::Busy;
    case EACCES:
    case EPERM:
        return PortFault::Access;
    default:
        return PortFault::Other;
    }
}

// Optional ioctls: a pseudo-terminal has no modem lines.
bool OptionalIoctl(int fd, unsigned long request, const void* arg = nullptr) {
    return ioctl(fd, request, arg) == 0 || errno == ENOTTY || errno == EINVAL;
}

std::string SettingsText(const PortSettings& s) {
    static const char PARITY[] = {'N', 'O', 'E', 'M', 'S'};
    return fmt::format("{} {}{}{}", s.baud, s.dataBits, s.parity < 5 ? PARITY[s.parity] : '?',
                       StopBitsName(s.stopBits));
}

struct RateCode {
    uint32_t rate;
    tcflag_t code;
};

constexpr RateCode STANDARD_RATES[] = {
    {50, B50},       {75, B75},         {110, B110},   {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200},
};

tcflag_t RateCodeFor(uint32_t rate) {
    for (const RateCode& entry : STANDARD_RATES) {
        if (entry.rate == rate) {
            return entry.code;
        }
    }
    return BOTHER;
}

// Raw bytes both ways, as the driver's port layer sets a line.
void MakeRaw(termios2& tio) {
    tio.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                               ICRNL | IUCLC | IXON | IXOFF | IXANY | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

bool ApplySettings(int fd, const PortSettings& s, PortProblem& problem) {
    const std::string step = "setting " + SettingsText(s);
    // Termios has one or two stop bits; the driver's own port layer refuses
    // one and a half on Linux, and so does this one, before touching the line.
    if (s.stopBits == 1) {
        problem = {PortFault::Setting, "Linux serial ports offer 1 or 2 stop bits, not 1.5", step};
        return false;
    }
    if (s.baud == 0 || s.dataBits < 5 || s.dataBits > 8 || s.parity > 4 || s.stopBits > 2) {
        problem = Problem(PortFault::Setting, EINVAL, step);
        return false;
    }
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        problem = Problem(PortFault::Other, errno, "reading the line settings");
        return false;
    }
    MakeRaw(tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS |
                                          CBAUD | (CBAUD << IBSHIFT));
    constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= SIZES[s.dataBits - 5] | CREAD | CLOCAL;
    if (s.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    switch (s.parity) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    tio.c_cflag |= RateCodeFor(s.baud);
    tio.c_ispeed = s.baud;
    tio.c_ospeed = s.baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        problem = Problem(PortFault::Setting, errno, step);
        return false;
    }
    // The driver holds DTR and RTS off.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    (void)OptionalIoctl(fd, TIOCMBIC, &lines);
    (void)ioctl(fd, TCFLSH, TCIOFLUSH);
    return true;
}

// Opens the device exclusively and sets it up; -1 with `problem` filled.
int OpenDevice(const std::string& device, const PortSettings& settings, PortProblem& problem) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = Problem(FaultOfOpen(errno), errno, "opening");
        return -1;
    }
    auto fail = [fd](PortProblem p, PortProblem& out) {
        out = std::move(p);
        close(fd);
        return -1;
    };
    if (isatty(fd) != 1) {
        return fail(Problem(PortFault::NotSerial, ENOTTY, "opening"), problem);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(Problem(PortFault::Busy, errno, "locking"), problem);
    }
    if (!OptionalIoctl(fd, TIOCEXCL)) {
        return fail(Problem(PortFault::Busy, errno, "locking"), problem);
    }
    if (!ApplySettings(fd, settings, problem)) {
        close(fd);
        return -1;
    }
    return fd;
}

void CloseDevice(int fd) {
    (void)OptionalIoctl(fd, TIOCNXCL);
    close(fd);
}

// The controlling terminal's device number, from /proc/self/stat; 0 for none.
dev_t ControllingTerminal() {
    std::ifstream file("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    // After the name: state, ppid, pgrp, session, tty_nr.
    const char* at = text.c_str() + close + 1;
    char state = 0;
    long ppid = 0, pgrp = 0, session = 0, tty = 0;
    if (std::sscanf(at, " %c %ld %ld %ld %ld", &state, &ppid, &pgrp, &session, &tty) != 5 ||
        tty == 0) {
        return 0;
    }
    auto number = static_cast<unsigned long>(tty);
    return makedev((number >> 8) & 0xFFF, (number & 0xFF) | ((number >> 12) & 0xFFF00));
}

bool IsOwnTerminal(const std::string& device) {
    struct stat target {};
    if (stat(device.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) {
        return false;
    }
    if (target.st_rdev == makedev(5, 0)) { // /dev/tty: whatever terminal the process has
        return true;
    }
    if (dev_t own = ControllingTerminal(); own != 0 && target.st_rdev == own) {
        return true;
    }
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat mine {};
        if (isatty(fd) == 1 && fstat(fd, &mine) == 0 && mine.st_rdev == target.st_rdev) {
            return true;
        }
    }
    return false;
}

// Writes everything, waiting while the other side is full, at most `patience`.
// False when bytes had to be dropped.
bool WriteAll(int fd, const char* bytes, std::size_t count, std::chrono::milliseconds patience) {
    auto until = std::chrono::steady_clock::now() + patience;
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd out{fd, POLLOUT, 0};
            (void)poll(&out, 1, static_cast<int>(left.count()));
            continue;
        }
        return false;
    }
    return true;
}

// The relay's hop must not cost the driver its time-out when the machine is
// busy: its thread asks for the lowest real-time priority, else a raised
// nice value. Refused (no privilege, a service unit that forbids it), it
// runs as it is.
void RaisePriority() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
        return;
    }
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), RELAY_NICE);
}

class PtyRelay : public Relay {
public:
    PtyRelay(int port, LineDecoder& decoder) : port_(port), decoder_(decoder) {}
    ~PtyRelay() override;

    bool start(PortProblem& problem);
    std::string modulePortName() const override { return name_; }
    void sync() override;
    LineDecoder& decoder() override { return decoder_; }

private:
    void run();
    void pass(int from, int to, Direction direction, std::chrono::milliseconds patience);

    int port_;
    LineDecoder& decoder_;
    int master_ = -1;
    int slaveKeep_ = -1; // held open so that the master sees no hang-up between driver opens
    int wake_[2] = {-1, -1};
    std::string name_;
    std::atomic<bool> stop_{false};
    bool portOk_ = true;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable synced_;
    uint64_t asked_ = 0;
    uint64_t answered_ = 0;
};

bool PtyRelay::start(PortProblem& problem) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[PATH_MAX];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        problem = Problem(PortFault::Other, errno, "creating the relay's pseudo-terminal");
        return false;
    }
    slaveKeep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios2 tio{};
    if (slaveKeep_ < 0 || ioctl(slaveKeep_, TCGETS2, &tio) != 0) {
        problem = Problem(PortFault::Other, errno, "opening the relay's pseudo-terminal");
        return false;
    }
    MakeRaw(tio);
    if (ioctl(slaveKeep_, TCSETS2, &tio) != 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        problem = Problem(PortFault::Other, errno, "setting up the relay");
        return false;
    }
    name_ = name;
    if (name_.rfind(DEV, 0) == 0) {
        name_.erase(0, DEV.size());
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

PtyRelay::~PtyRelay() {
    if (thread_.joinable()) {
        stop_ = true;
        char byte = 0;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int fd : {master_, slaveKeep_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    CloseDevice(port_);
}

void PtyRelay::sync() {
    std::unique_lock lock(mutex_);
    uint64_t ticket = ++asked_;
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
    synced_.wait_for(lock, std::chrono::seconds(2), [&] { return answered_ >= ticket; });
}

void PtyRelay::pass(int from, int to, Direction direction, std::chrono::milliseconds patience) {
    char buffer[4096];
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n > 0) {
        const SteadyClock::time_point at = SteadyClock::now();
        // Forwarded first, watched after: decoding, the trace and the
        // recording never hold a byte back. Bytes the other side cannot take
        // are lost, as on a real line whose buffer is full.
        (void)WriteAll(to, buffer, static_cast<std::size_t>(n), patience);
        decoder_.feed(direction, std::string_view(buffer, static_cast<std::size_t>(n)), at);
        return;
    }
    if (from == port_ && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
        decoder_.portFailed(n == 0 ? "the device hung up" : SystemErrorText(errno));
        portOk_ = false;
    }
}

void PtyRelay::run() {
    RaisePriority();
    while (!stop_) {
        uint64_t asked = 0;
        {
            std::lock_guard lock(mutex_);
            asked = asked_;
        }
        pollfd fds[3] = {
            {master_, POLLIN, 0}, {portOk_ ? port_ : -1, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int ready = poll(fds, 3, 20);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if ((fds[0].revents & POLLIN) != 0) {
            pass(master_, port_, Direction::ToPanel, std::chrono::milliseconds(2000));
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            pass(port_, master_, Direction::FromPanel, std::chrono::milliseconds(100));
        }
        if (ready == 0) {
            decoder_.idle(SteadyClock::now());
        }
        int waiting = 0;
        if (ioctl(master_, FIONREAD, &waiting) == 0 && waiting == 0) {
            std::lock_guard lock(mutex_);
            answered_ = asked;
            synced_.notify_all();
        }
    }
}

} // namespace

PortName ResolvePort(const std::string& given) {
    PortName name;
    name.given = given;
    std::string path = given == "NUL"                           ? std::string("/dev/null")
                       : !given.empty() && given.front() == '/' ? given
                                                                : std::string(DEV) + given;
    // Links (/dev/serial/by-id/...) lead to the device itself, whose name fits.
    if (char* real = realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    if (IsOwnTerminal(path)) {
        throw UsageError(fmt::format("{} is this program's own terminal (the one it was started "
                                     "from), not a panel's serial port: name the port the panel "
                                     "is on",
                                     given));
    }
    name.device = path;
    std::string short_name = path.rfind(DEV, 0) == 0 ? path.substr(DEV.size()) : path;
    if (given == "NUL") {
        short_name = given;
    }
    if (!short_name.empty() && short_name.size() < XOL_PORT_NAME_SIZE) {
        name.moduleName = short_name;
    }
    return name;
}

PortProblem ProbePort(const std::string& device, const PortSettings& settings) {
    PortProblem problem;
    int fd = OpenDevice(device, settings, problem);
    if (fd >= 0) {
        CloseDevice(fd);
    }
    return problem;
}

bool RelayAvailable() {
    return true;
}

std::unique_ptr<Relay> StartRelay(const std::string& device, const PortSettings& settings,
                                  LineDecoder& decoder, PortProblem& problem) {
    int fd = OpenDevice(device, settings, problem);
    if (fd < 0) {
        return nullptr;
    }
    auto relay = std::make_unique<PtyRelay>(fd, decoder);
    if (!relay->start(problem)) {
        return nullptr;
    }
    return relay;
}

} // namespace xolhost
