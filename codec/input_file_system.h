// What reading an input file asks of the system: one file per platform
// (input_file_posix.cpp, input_file_win32.cpp). Failures leave errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cis::input_system {

// Whether the path names a regular file, and its size; false when it
// cannot be looked at. Nothing is opened, so a device is never touched.
bool StatPath(const std::string& path, bool& regular, uint64_t& size);
// Opens for reading without waiting: a FIFO without a writer cannot hold
// the open. -1 when it fails.
int Open(const std::string& path);
// The same as StatPath for what was opened.
bool StatOpen(int fd, bool& regular, uint64_t& size);
// Bytes read into `buffer`, 0 at the end, -1 when the read fails.
long long Read(int fd, char* buffer, std::size_t size);
void Close(int fd);
// Whether users other than the owner and the group have any access to the
// file. Windows keeps access in lists this does not read: always false there.
bool OthersHaveAccess(const std::string& path);

} // namespace cis::input_system
