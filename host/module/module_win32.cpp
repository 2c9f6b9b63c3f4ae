// Loading the driver module on Windows: LoadLibrary, GetProcAddress, and the
// logging library (KELDOR.dll) that came in with it.
#include "module/driver.h"

#include <fmt/format.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <filesystem>

namespace xolhost {

namespace {

using KeldorSink = void(__cdecl*)(int cls, const char* text, void* user);
using KeldorSetSinkFunction = void(__cdecl*)(KeldorSink sink, void* user);

void __cdecl ForwardLog(int cls, const char* text, void* user) {
    auto* sink = static_cast<std::function<void(int, const std::string&)>*>(user);
    if (sink != nullptr && *sink) {
        (*sink)(cls, text != nullptr ? text : "");
    }
}

// The largest context this host will allocate for a module's say-so.
constexpr uint32_t MAX_CONTEXT = 16u << 20;

std::string SystemText(DWORD error) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = n > 0 && text != nullptr ? std::string(text, n) : std::string();
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return fmt::format("error {}{}{}", error, result.empty() ? "" : ": ", result);
}

std::string ProgramFolder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        return {};
    }
    return std::filesystem::path(std::string(path, n)).parent_path().string();
}

// Why LoadLibrary said no, in words a technician can act on.
std::string LoadFailure(const std::string& path, DWORD error) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        return fmt::format("cannot load the module: {} does not exist", path);
    }
    switch (error) {
    case ERROR_MOD_NOT_FOUND:
        // The file is there, so what is missing is a DLL it imports.
        return fmt::format("cannot load the module {} (error 126): a DLL it needs is missing; "
                           "KELDOR.dll, the host's logging library, must be beside xolhost.exe, "
                           "beside the module, in the working folder or on PATH",
                           path);
    case ERROR_BAD_EXE_FORMAT:
        return fmt::format("cannot load the module {} (error 193): not a 32-bit Windows DLL", path);
    default:
        return fmt::format("cannot load the module {}: {}", path, SystemText(error));
    }
}

} // namespace

std::vector<std::string> DefaultModuleCandidates() {
    std::string dir = ProgramFolder();
    if (dir.empty()) {
        return {};
    }
    // Beside the program, as installed; in the build tree, the folder above.
    std::filesystem::path self(dir);
    return {(self / "xolest.dll").string(), (self.parent_path() / "xolest.dll").string()};
}

std::string FindDefaultModule() {
    for (const auto& candidate : DefaultModuleCandidates()) {
        std::error_code ignored;
        if (std::filesystem::is_regular_file(candidate, ignored)) {
            return candidate;
        }
    }
    return {};
}

DriverModule::DriverModule(const std::string& path) : path_(path) {
    // A host names its module by its file, never by a search; the full path
    // also lets KELDOR.dll be found beside the module.
    std::error_code error;
    std::string file = std::filesystem::absolute(path, error).string();
    if (error) {
        file = path;
    }
    UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    DWORD loadError = GetLastError();
    SetErrorMode(oldMode);
    if (module == nullptr) {
        throw ModuleError(LoadFailure(file, loadError));
    }
    handle_ = module;
    main_ = reinterpret_cast<XolMainFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "XolMain")));
    if (main_ == nullptr) {
        FreeLibrary(module);
        throw ModuleError(fmt::format("{} has no XolMain: not a driver module", path));
    }
    int32_t result = call(nullptr, FC_DESCRIBE_DRIVER, &info_);
    if (result != RC_DONE) {
        FreeLibrary(module);
        throw ModuleError(
            fmt::format("the module refused to describe itself ({})", ResultName(result)));
    }
    if (info_.contextSize < sizeof(DriverContext) || info_.contextSize > MAX_CONTEXT) {
        FreeLibrary(module);
        throw ModuleError(fmt::format("the module asks for a context of {} bytes; this host "
                                      "expects at least {}",
                                      info_.contextSize, sizeof(DriverContext)));
    }
}

DriverModule::~DriverModule() {
    if (keldor_ != nullptr) {
        auto set = reinterpret_cast<KeldorSetSinkFunction>(reinterpret_cast<void*>(
            GetProcAddress(static_cast<HMODULE>(keldor_), "KeldorSetSink")));
        if (set != nullptr) {
            set(nullptr, nullptr);
        }
    }
    FreeLibrary(static_cast<HMODULE>(handle_));
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
        // The copy the module imports is already loaded; its handle needs
        // no reference of its own.
        keldor_ = GetModuleHandleA("KELDOR.dll");
    }
    if (keldor_ == nullptr) {
        return false;
    }
    auto set = reinterpret_cast<KeldorSetSinkFunction>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(keldor_), "KeldorSetSink")));
    if (set == nullptr) {
        return false;
    }
    sink_ = std::move(sink);
    set(sink_ ? ForwardLog : nullptr, &sink_);
    return true;
}

} // namespace xolhost
