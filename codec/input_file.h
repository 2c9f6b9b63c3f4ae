// The files the tools take in (a site file, a scenario, a recording, a
// token, the driver module): each must be a regular file of a sane size. A
// FIFO or a device is refused without being waited on, and no file is read
// past its limit, so neither /dev/zero nor a FIFO without a writer can hold
// a tool up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cis {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;

// Why the file at `path` is no input of at most `maxBytes`, in words that
// follow its name: "not a regular file", "cannot be read (No such file or
// directory)", "larger than 4 MiB (5242880 bytes)"; empty when it is one.
std::string InputFileProblem(const std::string& path, uint64_t maxBytes);

// The whole file; nothing when it is no such input or grows past the limit
// while it is read, with `problem` saying why as above.
std::optional<std::string> ReadInputFile(const std::string& path, uint64_t maxBytes,
                                         std::string& problem);

// Why the file at `path` may not hold a secret (a token, a password):
// "others may read it; make it chmod 600 (or 640)"; empty when only its
// owner and group may.
std::string SecretFileProblem(const std::string& path);

// "4 MiB", "4 KiB", "100 bytes".
std::string SizeText(uint64_t bytes);

} // namespace cis
