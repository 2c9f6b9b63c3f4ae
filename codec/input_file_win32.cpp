#include "codec/input_file_system.h"

#include <fcntl.h>
#include <io.h>
#include <limits>
#include <sys/stat.h>

namespace cis::input_system {

namespace {

bool Describe(const struct _stat64& info, bool& regular, uint64_t& size) {
    regular = (info.st_mode & _S_IFMT) == _S_IFREG;
    size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
    return true;
}

} // namespace

bool StatPath(const std::string& path, bool& regular, uint64_t& size) {
    struct _stat64 info {};
    return ::_stat64(path.c_str(), &info) == 0 && Describe(info, regular, size);
}

int Open(const std::string& path) {
    // Windows has no FIFOs that an open waits on.
    return ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

bool StatOpen(int fd, bool& regular, uint64_t& size) {
    struct _stat64 info {};
    return ::_fstat64(fd, &info) == 0 && Describe(info, regular, size);
}

long long Read(int fd, char* buffer, std::size_t size) {
    const auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
    return ::_read(fd, buffer, static_cast<unsigned>(size < most ? size : most));
}

void Close(int fd) {
    ::_close(fd);
}

bool OthersHaveAccess(const std::string&) {
    return false;
}

} // namespace cis::input_system
