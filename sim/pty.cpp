#include "pty.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <termios.h>
#include <unistd.h>

#include "line_io.h"

namespace xolsim {

namespace {

constexpr std::string_view DEV_PREFIX = "/dev/";

std::string Failure(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

PtyPair::PtyPair() {
    // posix_openpt rather than openpty: the same pair, and no clash between
    // the C library's <pty.h> and this directory's own.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error_ = Failure("posix_openpt");
        return;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        error_ = Failure("pseudo-terminal slave");
        close(master);
        return;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error_ = Failure(name);
        close(master);
        return;
    }
    // Raw on the line discipline: no echo, no line editing, no CR/LF
    // translation, every byte passed as it is.
    termios tio{};
    if (tcgetattr(slave, &tio) != 0) {
        error_ = Failure("tcgetattr");
    } else {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (tcsetattr(slave, TCSANOW, &tio) != 0) {
            error_ = Failure("tcsetattr");
        }
    }
    if (!error_.empty()) {
        close(master);
        close(slave);
        return;
    }
    slavePath_ = name;
    master_ = master;
    slaveKeep_ = slave;
}

PtyPair::~PtyPair() {
    if (slaveKeep_ >= 0) {
        close(slaveKeep_);
    }
    closeMaster();
}

void PtyPair::closeMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

bool PtyPair::send(std::string_view bytes) {
    return WriteAll(master_, bytes);
}

std::string PtyPair::receive(std::size_t count, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string got;
    while (got.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd wait{master_, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string PtyPair::portName() const {
    std::string_view path = slavePath_;
    if (path.substr(0, DEV_PREFIX.size()) == DEV_PREFIX) {
        path.remove_prefix(DEV_PREFIX.size());
    }
    return std::string(path);
}

} // namespace xolsim
