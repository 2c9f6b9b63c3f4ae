// Loading the driver module on Linux: dlopen, dlsym, and the logging
// library that came in with it.
#include "module/driver.h"

#include <fmt/format.h>

#include <dlfcn.h>
#include <filesystem>
#include <unistd.h>

#include "codec/input_file.h"

#ifndef XOLHOST_INSTALLED_MODULE
#define XOLHOST_INSTALLED_MODULE "../lib/libxolest.so.1"
#endif

namespace xolhost {

namespace {

// What the logging library of the module offers a host (see <xolest/keldor.h>).
using KeldorSink = void (*)(int cls, const char* text, void* user);
using KeldorSetSinkFunction = void (*)(KeldorSink sink, void* user);

void ForwardLog(int cls, const char* text, void* user) {
    auto* sink = static_cast<std::function<void(int, const std::string&)>*>(user);
    if (sink != nullptr && *sink) {
        (*sink)(cls, text != nullptr ? text : "");
    }
}

// The largest context this host will allocate for a module's say-so.
constexpr uint32_t MAX_CONTEXT = 16u << 20;
// No driver module is near this size; a larger file is something else.
constexpr uint64_t MAX_MODULE_BYTES = 64 * cis::MIB;

} // namespace

std::vector<std::string> DefaultModuleCandidates() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    auto dir = self.parent_path();
    return {(dir / XOLHOST_INSTALLED_MODULE).lexically_normal().string(),
            (dir.parent_path() / "libxolest.so.1").lexically_normal().string()};
}

std::string FindDefaultModule() {
    for (const auto& candidate : DefaultModuleCandidates()) {
        if (::access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

DriverModule::DriverModule(const std::string& path) : path_(path) {
    // A bare name would make dlopen search the library path; a host names
    // its module by its file.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    // dlopen would wait on a FIFO and map a device; only a file is a module.
    if (std::string problem = cis::InputFileProblem(file, MAX_MODULE_BYTES); !problem.empty()) {
        throw ModuleError(fmt::format("cannot load the module {}: {}", path, problem));
    }
    handle_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw ModuleError(fmt::format("cannot load the module: {}", ::dlerror()));
    }
    main_ = reinterpret_cast<XolMainFunction>(::dlsym(handle_, "XolMain"));
    if (main_ == nullptr) {
        ::dlclose(handle_);
        throw ModuleError(fmt::format("{} has no XolMain: not a driver module", path));
    }
    int32_t result = call(nullptr, FC_DESCRIBE_DRIVER, &info_);
    if (result != RC_DONE) {
        ::dlclose(handle_);
        throw ModuleError(
            fmt::format("the module refused to describe itself ({})", ResultName(result)));
    }
    // The driver works inside the block; one smaller than the layout this
    // host was built with cannot be the module it knows.
    if (info_.contextSize < sizeof(DriverContext) || info_.contextSize > MAX_CONTEXT) {
        ::dlclose(handle_);
        throw ModuleError(fmt::format("the module asks for a context of {} bytes; this host "
                                      "expects at least {}",
                                      info_.contextSize, sizeof(DriverContext)));
    }
}

DriverModule::~DriverModule() {
    if (keldor_ != nullptr) {
        auto set = reinterpret_cast<KeldorSetSinkFunction>(::dlsym(keldor_, "KeldorSetSink"));
        if (set != nullptr) {
            set(nullptr, nullptr);
        }
        ::dlclose(keldor_);
    }
    ::dlclose(handle_);
}

int32_t DriverModule::call(void* context, int32_t function, void* params) {
    DriverRequest request{};
    request.context = static_cast<DriverContext*>(context);
    request.function = function;
    request.params = params;
    return main_(&request);
}

bool DriverModule::setLogSink(std::function<void(int, const std::string&)> sink) {
    if (keldor_ == nullptr) {
        // The logging library came in with the module, through its RPATH;
        // take a handle on the copy already loaded rather than a new one.
        keldor_ = ::dlopen("libkeldor.so.1", RTLD_NOW | RTLD_NOLOAD);
    }
    if (keldor_ == nullptr) {
        return false;
    }
    auto set = reinterpret_cast<KeldorSetSinkFunction>(::dlsym(keldor_, "KeldorSetSink"));
    if (set == nullptr) {
        return false;
    }
    sink_ = std::move(sink);
    set(sink_ ? ForwardLog : nullptr, &sink_);
    return true;
}

} // namespace xolhost
