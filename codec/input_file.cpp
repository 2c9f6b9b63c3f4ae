#include "codec/input_file.h"

#include <cerrno>
#include <system_error>

#include "codec/input_file_system.h"

namespace cis {

namespace {

std::string CannotRead() {
    return "cannot be read (" + std::generic_category().message(errno) + ")";
}

// Why a file of this kind and size is no input, or "".
std::string Judge(bool regular, uint64_t size, uint64_t maxBytes) {
    if (!regular) {
        return "not a regular file";
    }
    if (size > maxBytes) {
        return "larger than " + SizeText(maxBytes) + " (" + std::to_string(size) + " bytes)";
    }
    return {};
}

// Opens the file once the path has been judged, and judges what was opened:
// the path may have been replaced meanwhile. -1 with `problem` set.
int OpenInput(const std::string& path, uint64_t maxBytes, std::string& problem) {
    problem = InputFileProblem(path, maxBytes);
    if (!problem.empty()) {
        return -1;
    }
    const int fd = input_system::Open(path);
    if (fd < 0) {
        problem = CannotRead();
        return -1;
    }
    bool regular = false;
    uint64_t size = 0;
    problem =
        input_system::StatOpen(fd, regular, size) ? Judge(regular, size, maxBytes) : CannotRead();
    if (!problem.empty()) {
        input_system::Close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::string SecretFileProblem(const std::string& path) {
    return input_system::OthersHaveAccess(path) ? "others may read it; make it chmod 600 (or 640)"
                                                : "";
}

std::string InputFileProblem(const std::string& path, uint64_t maxBytes) {
    bool regular = false;
    uint64_t size = 0;
    if (!input_system::StatPath(path, regular, size)) {
        return CannotRead();
    }
    return Judge(regular, size, maxBytes);
}

std::optional<std::string> ReadInputFile(const std::string& path, uint64_t maxBytes,
                                         std::string& problem) {
    const int fd = OpenInput(path, maxBytes, problem);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const long long n = input_system::Read(fd, buffer, sizeof buffer);
        if (n < 0) {
            problem = CannotRead();
            break;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        // The file may grow while it is read.
        if (text.size() > maxBytes) {
            problem = "larger than " + SizeText(maxBytes);
            break;
        }
    }
    input_system::Close(fd);
    if (!problem.empty()) {
        return std::nullopt;
    }
    return text;
}

std::string SizeText(uint64_t bytes) {
    if (bytes >= MIB && bytes % MIB == 0) {
        return std::to_string(bytes / MIB) + " MiB";
    }
    if (bytes >= KIB && bytes % KIB == 0) {
        return std::to_string(bytes / KIB) + " KiB";
    }
    return std::to_string(bytes) + " bytes";
}

} // namespace cis
