#include "codec/input_file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cis::input_system {

namespace {

bool Describe(const struct stat& info, bool& regular, uint64_t& size) {
    regular = S_ISREG(info.st_mode);
    size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
    return true;
}

} // namespace

bool StatPath(const std::string& path, bool& regular, uint64_t& size) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && Describe(info, regular, size);
}

int Open(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

bool StatOpen(int fd, bool& regular, uint64_t& size) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && Describe(info, regular, size);
}

long long Read(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

void Close(int fd) {
    ::close(fd);
}

bool OthersHaveAccess(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IRWXO) != 0;
}

} // namespace cis::input_system
