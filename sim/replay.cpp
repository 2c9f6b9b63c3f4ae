#include "replay.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <unistd.h>

#include "frames.h"
#include "line_io.h"

namespace xolsim {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string FromHex(const std::string& hex, const std::string& where) {
    auto digit = [&](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        throw ScenarioError(fmt::format("{}: \"hex\" is not hexadecimal", where));
    };
    if (hex.size() % 2 != 0) {
        throw ScenarioError(fmt::format("{}: \"hex\" has an odd number of digits", where));
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
    }
    return bytes;
}

// Takes the frames ("@" to CR) out of a byte stream, leaving an unfinished one.
std::vector<std::string> TakeFrames(std::string& pending) {
    std::vector<std::string> frames;
    for (;;) {
        auto at = pending.find('@');
        if (at == std::string::npos) {
            pending.clear();
            break;
        }
        pending.erase(0, at);
        auto end = pending.find('\r');
        if (end == std::string::npos) {
            break;
        }
        frames.push_back(pending.substr(0, end + 1));
        pending.erase(0, end + 1);
    }
    return frames;
}

} // namespace

std::vector<RecordedExchange> LoadRecording(const std::string& path) {
    // The same guards as a scenario file: a regular file of sane size.
    const std::string text = ReadScenarioText(path);
    std::vector<RecordedExchange> exchanges;
    std::vector<double> requestTimes;
    std::string toPanel;
    std::size_t lineNumber = 0;
    bool header = false;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view line(text.data() + from, end - from);
        from = end + 1;
        ++lineNumber;
        const std::string where = fmt::format("{}: line {}", path, lineNumber);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
            continue;
        }
        json entry;
        try {
            entry = json::parse(line);
        } catch (const json::exception&) {
            throw ScenarioError(fmt::format("{}: not a JSON object", where));
        }
        if (!entry.is_object()) {
            throw ScenarioError(fmt::format("{}: not a JSON object", where));
        }
        if (!header) {
            if (!entry.contains("xolhost_recording")) {
                throw ScenarioError(
                    fmt::format("{}: not a recording (no \"xolhost_recording\" header)", where));
            }
            header = true;
            continue;
        }
        // Unknown keys are left alone: later recordings may say more.
        const auto t = entry.find("t");
        const auto dir = entry.find("dir");
        const auto hex = entry.find("hex");
        if (t == entry.end() || !t->is_number() || dir == entry.end() || !dir->is_string() ||
            hex == entry.end() || !hex->is_string()) {
            throw ScenarioError(
                fmt::format("{}: needs \"t\" (seconds), \"dir\" and \"hex\"", where));
        }
        const double seconds = t->get<double>();
        const std::string bytes = FromHex(hex->get<std::string>(), where);
        if (*dir == "to_panel") {
            toPanel += bytes;
            for (std::string& frame : TakeFrames(toPanel)) {
                exchanges.push_back({std::move(frame), {}});
                requestTimes.push_back(seconds);
            }
        } else if (*dir == "from_panel") {
            // Bytes before the first request answer nothing the driver asked.
            if (!exchanges.empty()) {
                exchanges.back().answer.push_back(
                    {std::max(0.0, seconds - requestTimes.back()), bytes});
            }
        } else {
            throw ScenarioError(
                fmt::format("{}: \"dir\" must be \"to_panel\" or \"from_panel\"", where));
        }
    }
    if (!header) {
        throw ScenarioError(fmt::format("{}: empty: not a recording", path));
    }
    return exchanges;
}

std::string ServeRecording(int fd, const std::vector<RecordedExchange>& exchanges,
                           std::stop_token stop) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    std::multimap<Clock::time_point, std::string> due; // answers waiting for their time
    std::size_t next = 0;
    std::string pending;
    char buffer[256];
    while (!stop.stop_requested()) {
        while (!due.empty() && due.begin()->first <= Clock::now()) {
            (void)WriteAll(fd, due.begin()->second, stop);
            due.erase(due.begin());
        }
        int waitMs = 20;
        if (!due.empty()) {
            auto left =
                std::chrono::ceil<std::chrono::milliseconds>(due.begin()->first - Clock::now());
            waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 20));
        }
        pollfd watch{fd, POLLIN, 0};
        const int ready = ::poll(&watch, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            return {};
        }
        if (ready <= 0) {
            continue;
        }
        if ((watch.revents & POLLNVAL) != 0) {
            return {};
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        const auto arrived = Clock::now();
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            // No one holds the other side of a pseudo-terminal yet.
            if (n < 0 && errno == EIO) {
                SleepFor(std::chrono::milliseconds(20), stop);
                continue;
            }
            return {};
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (const std::string& frame : TakeFrames(pending)) {
            if (next >= exchanges.size()) {
                return fmt::format("request {}: expected none (the recording has {}), got \"{}\"",
                                   next + 1, exchanges.size(), Printable(frame));
            }
            const RecordedExchange& expected = exchanges[next];
            if (frame != expected.request) {
                return fmt::format("request {}: expected \"{}\", got \"{}\"", next + 1,
                                   Printable(expected.request), Printable(frame));
            }
            ++next;
            for (const RecordedAnswer& piece : expected.answer) {
                due.emplace(arrived + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(piece.after)),
                            piece.bytes);
            }
        }
    }
    return {};
}

namespace {

// The first good frame of `size` bytes starting "@<kind>" in an answer that
// may carry noise or be cut short; "" when there is none.
std::string FindFrame(std::string_view answer, std::string_view start, std::size_t size) {
    for (std::size_t at = answer.find(start); at != std::string_view::npos;
         at = answer.find(start, at + 1)) {
        std::string_view frame = answer.substr(at, size);
        if (frame.size() == size && frame.back() == '\r' && FrameChecksumGood(frame)) {
            return std::string(frame);
        }
    }
    return {};
}

std::string Joined(const RecordedExchange& exchange) {
    std::string bytes;
    for (const RecordedAnswer& piece : exchange.answer) {
        bytes += piece.bytes;
    }
    return bytes;
}

} // namespace

std::string RecordingToScenario(const std::vector<RecordedExchange>& exchanges,
                                const std::string& source) {
    std::map<uint16_t, std::set<int>> report;   // the report being read
    std::map<uint16_t, std::set<int>> complete; // the last one that ended
    bool reporting = false;
    bool anyReport = false;
    std::map<char, int> counts;
    std::map<char, std::string> system;
    std::map<std::string, std::map<int, bool>> points; // address -> value -> accepted
    for (const RecordedExchange& exchange : exchanges) {
        const std::string answer = Joined(exchange);
        const Request request = ParseRequest(exchange.request);
        switch (request.kind) {
        case RequestKind::StartScan:
        case RequestKind::NextRecord: {
            if (request.kind == RequestKind::StartScan) {
                report.clear();
                reporting = true;
            }
            std::string record = FindFrame(answer, "@S", STATUS_RECORD_SIZE);
            const bool digits = !record.empty() && record.substr(7, 4).find_first_not_of(
                                                       "0123456789") == std::string::npos;
            if (!record.empty() && reporting && digits) {
                report[static_cast<uint16_t>(std::stoi(record.substr(7, 4)))].insert(record[4] &
                                                                                     0x0F);
            } else if (answer.find(EndReply()) != std::string::npos && reporting) {
                complete = report;
                anyReport = true;
                reporting = false;
            }
            break;
        }
        case RequestKind::CountQuery: {
            std::string reply = FindFrame(answer, exchange.request.substr(0, 3), COUNT_REPLY_SIZE);
            if (!reply.empty()) {
                try {
                    counts[request.pointKind] = std::stoi(reply.substr(3, 4));
                } catch (const std::exception&) {
                    // a count field that is no number tells nothing
                }
            }
            break;
        }
        case RequestKind::Letter:
            if (answer.find("@!\r") != std::string::npos) {
                system[request.pointKind] = "accept";
            } else if (answer.find("@?\r") != std::string::npos) {
                system[request.pointKind] = "refuse";
            }
            break;
        case RequestKind::Template:
            if (request.value >= 0 && request.checksumOk) {
                if (answer.find("@!\r") != std::string::npos) {
                    points[request.address][request.value] = true;
                } else if (answer.find("@U\r") != std::string::npos) {
                    points[request.address][request.value] = false;
                }
            }
            break;
        case RequestKind::Unknown:
            break;
        }
    }

    json scenario = {{"name", "recording"},
                     {"description", fmt::format("made from the recording {}", source)}};
    if (anyReport) {
        json zones = json::array();
        for (const auto& [zone, codes] : complete) {
            zones.push_back({{"zone", zone}, {"codes", codes}});
        }
        scenario["zones"] = zones;
    }
    if (!counts.empty()) {
        json c = json::object();
        for (const auto& [which, value] : counts) {
            c[std::string(1, which)] = value;
        }
        scenario["counts"] = c;
    }
    if (!points.empty()) {
        // Values seen refused are listed; others are accepted, as the default.
        json rules = json::object();
        for (const auto& [address, values] : points) {
            json refused = json::array();
            for (const auto& [value, accepted] : values) {
                if (!accepted) {
                    refused.push_back(value);
                }
            }
            if (!refused.empty()) {
                rules[address] = {{"refuse", refused}};
            }
        }
        if (!rules.empty()) {
            scenario["controls"] = {{"points", rules}};
        }
    }
    if (!system.empty()) {
        json s = json::object();
        for (const auto& [kind, answer] : system) {
            s[std::string(1, kind)] = answer;
        }
        scenario["system"] = s;
    }
    return scenario.dump(2) + "\n";
}

} // namespace xolsim
