#include "support/pty_fixture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace xoltest {

PtyFixture::PtyFixture(bool keepSlave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error_ = std::string("posix_openpt: ") + std::strerror(errno);
        return;
    }
    char path[128] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, path, sizeof path) != 0) {
        error_ = std::string("pseudo-terminal setup: ") + std::strerror(errno);
        close(master);
        return;
    }
    const int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error_ = std::string("open slave: ") + std::strerror(errno);
        close(master);
        return;
    }
    termios raw{};
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        (void)tcsetattr(slave, TCSANOW, &raw);
    }
    if (keepSlave) {
        slave_ = slave;
    } else {
        close(slave);
    }
    path_ = path;
    master_ = master;
}

PtyFixture::~PtyFixture() {
    if (slave_ >= 0) {
        close(slave_);
    }
    CloseMaster();
}

std::string PtyFixture::name() const {
    constexpr std::string_view DEV = "/dev/";
    return path_.compare(0, DEV.size(), DEV) == 0 ? path_.substr(DEV.size()) : path_;
}

bool PtyFixture::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string PtyFixture::Receive(size_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
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
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void PtyFixture::CloseMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

} // namespace xoltest
