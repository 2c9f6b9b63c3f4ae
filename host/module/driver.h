// The driver module as a supervision host uses it: loaded at run time,
// described, one zero-filled context per channel, every call through XolMain.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <xolest/xolest.h>

namespace xolhost {

// The module cannot be loaded or is not one this host can use.
class ModuleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where to look for the module when no path is given: beside the installed
// program (bindir/../lib/libxolest.so.1, as configured at build time), then
// in the build tree (the directory above the program's own).
std::vector<std::string> DefaultModuleCandidates();
// The first candidate that exists, or an empty text.
std::string FindDefaultModule();

class DriverModule {
public:
    // Loads the module, finds XolMain and asks for the description (code 14).
    explicit DriverModule(const std::string& path);
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    const DriverInfo& info() const { return info_; }
    const std::string& path() const { return path_; }
    // One XolMain call. Callers never overlap calls.
    int32_t call(void* context, int32_t function, void* params);
    // Hands every line the driver logs to `sink` instead of standard error.
    // False when the module's logging library offers no way to do so.
    bool setLogSink(std::function<void(int cls, const std::string& text)> sink);

private:
    std::string path_;
    void* handle_ = nullptr;
    void* keldor_ = nullptr;
    XolMainFunction main_ = nullptr;
    DriverInfo info_{};
    std::function<void(int, const std::string&)> sink_;
};

// A point as its address check returned it.
struct Point {
    std::string address; // as the user wrote it
    uint32_t kind = 0;
    int32_t number = 0;
};

struct LineSettings {
    std::string port;     // at most 11 characters
    uint32_t timeout = 0; // units of 10 ms; never 0 here
    PortSettings settings{};
};

// One channel: its context block, allocated at the size the driver reports
// and zero-filled, and the port the driver holds in it. Closes the channel
// when it goes.
class Channel {
public:
    explicit Channel(DriverModule& module);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    int32_t open(const LineSettings& line);
    int32_t close();
    bool isOpen() const { return open_; }

    // Codes 3 and 4: on RC_DONE `point` holds the kind and number to use.
    int32_t check(const std::string& address, Point& point);
    int32_t checkBlock(const std::string& address, int32_t count, Point& point);
    // Codes 5, 6 and 7 with the checked kind and number.
    int32_t read(const Point& point, uint16_t& value);
    int32_t readBlock(const Point& point, int32_t count, std::vector<uint16_t>& values);
    int32_t write(const Point& point, uint16_t value);

private:
    DriverModule& module_;
    std::unique_ptr<uint64_t[]> context_; // 8-byte aligned, zero-filled
    bool open_ = false;
};

// The text of a result code: "done", "refused", "failed".
const char* ResultName(int32_t result);

} // namespace xolhost
