// The serial line on Windows: COM port names, and the port opened as the
// driver's Win32 port layer opens it to find what stopped the driver. There
// is no relay (no pseudo-terminals): the driver opens the port itself, and
// the line cannot be watched.
#include "line/relay.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cctype>
#include <fmt/format.h>

#include "platform/exit_codes.h"
#include "present/output.h"

namespace xolhost {

namespace {

constexpr std::string_view DEVICE_NAMESPACE = "\\\\.\\";

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
    return result.empty() ? fmt::format("error {}", error) : result;
}

PortProblem Problem(PortFault fault, DWORD error, std::string step) {
    return {fault, SystemText(error), std::move(step)};
}

PortFault FaultOfOpen(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
        return PortFault::Missing;
    // A COM port held by another program answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return PortFault::Busy;
    default:
        return PortFault::Other;
    }
}

std::string SettingsText(const PortSettings& s) {
    static const char PARITY[] = {'N', 'O', 'E', 'M', 'S'};
    return fmt::format("{} {}{}{}", s.baud, s.dataBits, s.parity < 5 ? PARITY[s.parity] : '?',
                       StopBitsName(s.stopBits));
}

// "COM5", "com5" -> 5; 0 when the name is not COM and a number.
unsigned ComNumber(std::string_view name) {
    if (name.size() < 4 || name.size() > 6) {
        return 0;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return 0;
        }
    }
    unsigned number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return number;
}

} // namespace

PortName ResolvePort(const std::string& given) {
    PortName name;
    name.given = given;
    std::string_view bare = given;
    if (bare.rfind(DEVICE_NAMESPACE, 0) == 0) {
        bare.remove_prefix(DEVICE_NAMESPACE.size());
    }
    if (given == "NUL") {
        name.device = given;
        name.moduleName = given;
    } else if (unsigned number = ComNumber(bare); number > 0) {
        // Ports above COM9 are reached only through the device namespace.
        std::string com = fmt::format("COM{}", number);
        name.device = std::string(DEVICE_NAMESPACE) + com;
        name.moduleName = number <= 9 ? com : name.device;
    } else if (bare.empty() || bare == "CON" || bare == "CONIN$" || bare == "CONOUT$") {
        throw UsageError(fmt::format("{} is not a panel's serial port: name the COM port the "
                                     "panel is on (COM1, COM2, ... or \\\\.\\COM10)",
                                     given.empty() ? "an empty name" : given));
    } else {
        name.device = given;
    }
    if (name.moduleName.empty() && name.device.size() < XOL_PORT_NAME_SIZE) {
        name.moduleName = name.device;
    }
    if (name.moduleName.size() >= XOL_PORT_NAME_SIZE) {
        name.moduleName.clear();
    }
    return name;
}

PortProblem ProbePort(const std::string& device, const PortSettings& settings) {
    HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return Problem(FaultOfOpen(error), error, "opening");
    }
    PortProblem problem;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(port, &dcb) == 0) {
        problem = Problem(PortFault::NotSerial, GetLastError(), "reading the line settings");
    } else {
        dcb.BaudRate = settings.baud;
        dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
        dcb.Parity = static_cast<BYTE>(settings.parity);
        dcb.StopBits = static_cast<BYTE>(settings.stopBits);
        dcb.fBinary = TRUE;
        dcb.fParity = settings.parity != NOPARITY;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        if (SetCommState(port, &dcb) == 0) {
            problem =
                Problem(PortFault::Setting, GetLastError(), "setting " + SettingsText(settings));
        }
    }
    CloseHandle(port);
    return problem;
}

bool RelayAvailable() {
    return false;
}

std::unique_ptr<Relay> StartRelay(const std::string&, const PortSettings&, LineDecoder&,
                                  PortProblem& problem) {
    problem = {PortFault::Other, "there are no pseudo-terminals on Windows",
               "starting the line relay"};
    return nullptr;
}

} // namespace xolhost
