#include "present/output.h"

#include <fmt/format.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "present/site.h"
#include "present/timestamps.h"

namespace xolhost {

using nlohmann::json;

namespace {

// Starts a fresh line where the elapsed-time indicator may stand.
const char* FreshLine(bool cursor) {
    return cursor ? "\r\033[K" : "";
}

} // namespace

std::string JsonText(const json& object) {
    // Addresses, port names and driver log lines come from outside: a byte
    // that is not UTF-8 is replaced rather than ending the program.
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Output::printJson(const json& object) {
    printLine(JsonText(object));
}

void Output::printLine(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 && writeError_ == 0) {
        writeError_ = errno != 0 ? errno : EIO;
    }
}

void Output::toStderr(int priority, const std::string& text) {
    std::string lines = text;
    if (style_.syslogPrefixes) {
        // The journal reads a priority at the start of every line it gets.
        const std::string prefix = fmt::format("<{}>", priority);
        lines.insert(0, prefix);
        for (std::size_t at = lines.find('\n'); at != std::string::npos && at + 1 < lines.size();
             at = lines.find('\n', at + 1)) {
            lines.insert(at + 1, prefix);
        }
    }
    std::lock_guard lock(mutex_);
    fmt::print(stderr, "{}{}\n", FreshLine(style_.cursor), lines);
    std::fflush(stderr);
}

void Output::error(const std::string& text) {
    toStderr(3, "xolhost: " + text);
}

void Output::warning(const std::string& text) {
    toStderr(4, "xolhost: warning: " + text);
}

void Output::progress(const std::string& text) {
    toStderr(6, "xolhost: " + text);
}

void Output::traceLine(const std::string& text) {
    toStderr(7, text);
}

std::string Output::now(bool forJson) const {
    return Rfc3339(std::chrono::system_clock::now(), style_.utc, 3, forJson ? 'T' : ' ');
}

bool Output::stdoutFailed() {
    std::lock_guard lock(mutex_);
    return writeError_ != 0;
}

bool Output::finish(std::string& problem) {
    std::lock_guard lock(mutex_);
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && writeError_ == 0) {
        writeError_ = errno != 0 ? errno : EIO;
    }
    if (writeError_ != 0) {
        problem = SystemErrorText(writeError_);
        return false;
    }
    return true;
}

std::string KindText(uint32_t kind) {
    return kind >= 0x20 && kind < 0x7F ? std::string(1, static_cast<char>(kind))
                                       : fmt::format("0x{:X}", kind);
}

std::string ZoneAddress(int zone) {
    return fmt::format("P{:04d}", zone);
}

namespace {

// Each set bit with its name, the driver's named bits first.
std::vector<std::pair<uint16_t, std::string>> NamedBits(uint16_t status) {
    static const std::pair<uint16_t, const char*> NAMES[] = {{ZS_CODE1, "ZS_CODE1"},
                                                             {ZS_CODE2, "ZS_CODE2"},
                                                             {ZS_CODE3, "ZS_CODE3"},
                                                             {ZS_CODE7, "ZS_CODE7"},
                                                             {ZS_CODE8, "ZS_CODE8"}};
    std::vector<std::pair<uint16_t, std::string>> bits;
    uint16_t rest = status;
    for (const auto& [bit, name] : NAMES) {
        if ((status & bit) != 0) {
            bits.emplace_back(bit, name);
            rest = static_cast<uint16_t>(rest & ~bit);
        }
    }
    for (uint16_t bit = 1; bit != 0; bit = static_cast<uint16_t>(bit << 1)) {
        if ((rest & bit) != 0) {
            bits.emplace_back(bit, fmt::format("0x{:02X}", bit));
        }
    }
    return bits;
}

const std::string* MeaningOfBit(uint16_t bit, const Site* site) {
    int code = CodeOfStatusBit(bit);
    return site == nullptr || code == 0 ? nullptr : site->codeName(code);
}

} // namespace

std::vector<std::string> BitNames(uint16_t status) {
    std::vector<std::string> names;
    for (auto& [bit, name] : NamedBits(status)) {
        names.push_back(std::move(name));
    }
    return names;
}

std::string BitsText(uint16_t status, const Site* site) {
    std::vector<std::string> parts;
    for (auto& [bit, name] : NamedBits(status)) {
        const std::string* meaning = MeaningOfBit(bit, site);
        parts.push_back(meaning == nullptr ? name : name + " (" + *meaning + ")");
    }
    return fmt::format("{}", fmt::join(parts, " "));
}

std::string ZoneLocation(int zone, const Site* site) {
    if (site == nullptr) {
        return {};
    }
    const std::string* name = site->zoneName(zone);
    return name == nullptr ? std::string() : fmt::format("  [Zone {}: {}]", zone, *name);
}

std::string ZoneLine(int zone, uint16_t status, const Site* site) {
    return fmt::format("{}  0x{:02X}  {}{}", ZoneAddress(zone), status, BitsText(status, site),
                       ZoneLocation(zone, site));
}

json ZoneJson(int zone, uint16_t status, const Site* site) {
    json out = {{"zone", zone},
                {"address", ZoneAddress(zone)},
                {"status", status},
                {"bits", BitNames(status)}};
    if (site != nullptr) {
        if (const std::string* name = site->zoneName(zone)) {
            out["location"] = *name;
        }
        json meanings = json::object();
        for (const auto& [bit, name] : NamedBits(status)) {
            if (const std::string* meaning = MeaningOfBit(bit, site)) {
                meanings[name] = *meaning;
            }
        }
        if (!meanings.empty()) {
            out["meanings"] = meanings;
        }
    }
    return out;
}

json PointJson(const Point& point, const Site* site) {
    json out = {{"address", point.address}, {"kind", KindText(point.kind)}};
    if (point.kind == PK_GROUP_ZONE) {
        out["group"] = (static_cast<uint32_t>(point.number) >> 16) & 0xFF;
        out["zone"] = static_cast<uint32_t>(point.number) & 0xFFFF;
    } else if (point.kind == PK_ZONE ||
               std::string("AQTLX").find(static_cast<char>(point.kind)) != std::string::npos) {
        out["number"] = point.number;
    }
    // Zones carry their location with their status instead.
    if (site != nullptr && point.kind != PK_ZONE) {
        if (const std::string* name = site->pointName(point.address)) {
            out["name"] = *name;
        }
    }
    return out;
}

int16_t SignedCount(uint16_t raw) {
    return static_cast<int16_t>(raw);
}

nlohmann::json CountJson(uint16_t raw) {
    return {{"value", SignedCount(raw)}, {"raw", raw}};
}

std::string PointText(const Point& point) {
    switch (point.kind) {
    case PK_GROUP_ZONE:
        return fmt::format("kind O, group {}, zone {}",
                           (static_cast<uint32_t>(point.number) >> 16) & 0xFF,
                           static_cast<uint32_t>(point.number) & 0xFFFF);
    case PK_SCAN:
    case PK_SYSTEM_R:
    case PK_SYSTEM_S:
    case PK_SYSTEM_D:
    case PK_COUNT_N:
    case PK_COUNT_C:
        return fmt::format("kind {}, system point", KindText(point.kind));
    default:
        return fmt::format("kind {}, number {}", KindText(point.kind), point.number);
    }
}

std::string PointName(const std::string& address, const Site* site) {
    if (site == nullptr) {
        return {};
    }
    const std::string* name = site->pointName(address);
    return name == nullptr ? std::string() : " (" + *name + ")";
}

std::string ParityName(uint16_t code) {
    static const char* NAMES[] = {"none", "odd", "even", "mark", "space"};
    return code < 5 ? NAMES[code] : fmt::format("code {}", code);
}

std::string StopBitsName(uint16_t code) {
    static const char* NAMES[] = {"1", "1.5", "2"};
    return code < 3 ? NAMES[code] : fmt::format("code {}", code);
}

struct Ticker::State {
    std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread thread;
};

Ticker::Ticker(bool enabled, std::string label) {
    if (!enabled) {
        return;
    }
    state_ = std::make_unique<State>();
    state_->label = std::move(label);
    state_->thread = std::thread([state = state_.get()] {
        auto start = std::chrono::steady_clock::now();
        std::unique_lock lock(state->mutex);
        // Short calls show nothing.
        if (state->wake.wait_for(lock, std::chrono::milliseconds(300),
                                 [state] { return state->done; })) {
            return;
        }
        do {
            double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            fmt::print(stderr, "\r\033[K{} {:.1f} s", state->label, seconds);
            std::fflush(stderr);
        } while (!state->wake.wait_for(lock, std::chrono::milliseconds(100),
                                       [state] { return state->done; }));
        fmt::print(stderr, "\r\033[K");
        std::fflush(stderr);
    });
}

Ticker::~Ticker() {
    if (state_) {
        {
            std::lock_guard lock(state_->mutex);
            state_->done = true;
        }
        state_->wake.notify_all();
        state_->thread.join();
    }
}

} // namespace xolhost
