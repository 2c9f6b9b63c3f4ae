#include "pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace xolsim {

namespace {

constexpr std::string_view DEV_PREFIX = "/dev/";

std::string Failure(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

PtyPair::PtyPair() {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        error_ = Failure("openpty");
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
    const char* name = error_.empty() ? ttyname(slave) : nullptr;
    if (error_.empty() && name == nullptr) {
        error_ = Failure("ttyname");
    }
    if (!error_.empty()) {
        close(master);
        close(slave);
        return;
    }
    slavePath_ = name;
    (void)fcntl(master, F_SETFD, FD_CLOEXEC);
    (void)fcntl(slave, F_SETFD, FD_CLOEXEC);
    master_ = master;
    slaveKeep_ = slave;
}

PtyPair::~PtyPair() {
    if (slaveKeep_ >= 0) {
        close(slaveKeep_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

std::string PtyPair::portName() const {
    std::string_view path = slavePath_;
    if (path.substr(0, DEV_PREFIX.size()) == DEV_PREFIX) {
        path.remove_prefix(DEV_PREFIX.size());
    }
    return std::string(path);
}

} // namespace xolsim
