#include "platform/service_manager.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace xolhost {

namespace {

// A whole decimal number, or nothing.
bool Decimal(const char* text, unsigned long long& value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *end == 0;
}

} // namespace

ServiceManager ServiceManager::FromEnvironment() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == 0) {
        return {};
    }
    unsigned long long usec = 0;
    unsigned long long pid = 0;
    if (!Decimal(std::getenv("WATCHDOG_USEC"), usec) ||
        (std::getenv("WATCHDOG_PID") != nullptr &&
         (!Decimal(std::getenv("WATCHDOG_PID"), pid) ||
          pid != static_cast<unsigned long long>(::getpid())))) {
        usec = 0;
    }
    return {socket, std::chrono::microseconds(static_cast<int64_t>(usec))};
}

bool ServiceManager::notify(const std::string& message) const {
    if (socket_.empty()) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_.size() > sizeof address.sun_path ||
        (socket_.front() != '@' && socket_.size() == sizeof address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, socket_.data(), socket_.size());
    // An abstract name is not terminated: its length says where it ends.
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
    if (socket_.front() == '@') {
        address.sun_path[0] = 0;
    } else {
        length += 1;
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

bool StderrGoesToJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char tail = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu%c", &device, &inode, &tail) == 2 &&
           ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

} // namespace xolhost
