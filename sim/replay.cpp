#include "replay.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "codec/frame_build.h"
#include "codec/frame_decode.h"
#include "codec/json_input.h"
#include "codec/text.h"
#include "line_io.h"

namespace xolsim {

namespace {

using nlohmann::json;

std::string FromHex(const std::string& hex, const std::string& where) {
    if (hex.size() % 2 != 0) {
        throw ScenarioError(fmt::format("{}: \"hex\" has an odd number of digits", where));
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = cis::HexDigit(hex[i]);
        const int low = cis::HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            throw ScenarioError(fmt::format("{}: \"hex\" is not hexadecimal", where));
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// One line of a recording after its header: a relay read in one direction.
struct RecordedRead {
    double seconds = 0;
    bool toPanel = false;
    std::string bytes;
};

json ParseRecordingLine(std::string_view line, const std::string& where) {
    try {
        if (json entry = cis::ParseJsonInput(line); entry.is_object()) {
            return entry;
        }
    } catch (const cis::DuplicateKey& e) {
        throw ScenarioError(fmt::format("{}: {}", where, e.what()));
    } catch (const json::exception&) {
        // Not JSON at all: said as for JSON that is no object.
    }
    throw ScenarioError(fmt::format("{}: not a JSON object", where));
}

RecordedRead ReadOfEntry(const json& entry, const std::string& where) {
    // Unknown keys are left alone: later recordings may say more.
    const auto t = entry.find("t");
    const auto dir = entry.find("dir");
    const auto hex = entry.find("hex");
    if (t == entry.end() || !t->is_number() || dir == entry.end() || !dir->is_string() ||
        hex == entry.end() || !hex->is_string()) {
        throw ScenarioError(fmt::format("{}: needs \"t\" (seconds), \"dir\" and \"hex\"", where));
    }
    if (*dir != "to_panel" && *dir != "from_panel") {
        throw ScenarioError(
            fmt::format("{}: \"dir\" must be \"to_panel\" or \"from_panel\"", where));
    }
    return {t->get<double>(), *dir == "to_panel", FromHex(hex->get<std::string>(), where)};
}

// Groups the reads into requests and the panel's bytes after each.
class ExchangeCollector {
public:
    void add(const RecordedRead& read) {
        if (read.toPanel) {
            toPanel_.append(read.bytes);
            while (auto frame = toPanel_.next()) {
                exchanges_.push_back({std::move(*frame), {}});
                requestTimes_.push_back(read.seconds);
            }
        } else if (!exchanges_.empty()) {
            // Bytes before the first request answer nothing the driver asked.
            exchanges_.back().answer.push_back(
                {std::max(0.0, read.seconds - requestTimes_.back()), read.bytes});
        }
    }
    std::vector<RecordedExchange> take() { return std::move(exchanges_); }

private:
    RequestSplitter toPanel_;
    std::vector<RecordedExchange> exchanges_;
    std::vector<double> requestTimes_;
};

} // namespace

std::vector<RecordedExchange> ParseRecording(std::string_view text, const std::string& origin) {
    ExchangeCollector collector;
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
        const std::string where = fmt::format("{}: line {}", origin, lineNumber);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
            continue;
        }
        const json entry = ParseRecordingLine(line, where);
        if (header) {
            collector.add(ReadOfEntry(entry, where));
            continue;
        }
        if (!entry.contains("xolhost_recording")) {
            throw ScenarioError(
                fmt::format("{}: not a recording (no \"xolhost_recording\" header)", where));
        }
        header = true;
    }
    if (!header) {
        throw ScenarioError(fmt::format("{}: empty: not a recording", origin));
    }
    return collector.take();
}

std::vector<RecordedExchange> LoadRecording(const std::string& path) {
    // The same guards as a scenario file: a regular file of sane size.
    return ParseRecording(ReadScenarioText(path), path);
}

namespace {

// Plays the recording back: each request must be the next one recorded, and
// is answered with the recorded bytes at their recorded delays.
class Playback : public LineServer {
public:
    explicit Playback(const std::vector<RecordedExchange>& exchanges) : exchanges_(exchanges) {}

    bool sendDue(int fd, std::stop_token stop) override {
        while (!due_.empty() && due_.begin()->first <= LineClock::now()) {
            (void)WriteAll(fd, due_.begin()->second, stop);
            due_.erase(due_.begin());
        }
        return !stop.stop_requested();
    }

    std::optional<LineClock::time_point> nextDue() const override {
        if (due_.empty()) {
            return std::nullopt;
        }
        return due_.begin()->first;
    }

    bool request(const std::string& frame, LineClock::time_point arrived) override {
        if (next_ >= exchanges_.size()) {
            differs_ = fmt::format("request {}: expected none (the recording has {}), got \"{}\"",
                                   next_ + 1, exchanges_.size(), cis::Printable(frame));
            return false;
        }
        const RecordedExchange& expected = exchanges_[next_];
        if (frame != expected.request) {
            differs_ = fmt::format("request {}: expected \"{}\", got \"{}\"", next_ + 1,
                                   cis::Printable(expected.request), cis::Printable(frame));
            return false;
        }
        ++next_;
        for (const RecordedAnswer& piece : expected.answer) {
            due_.emplace(arrived + std::chrono::duration_cast<LineClock::duration>(
                                       std::chrono::duration<double>(piece.after)),
                         piece.bytes);
        }
        return true;
    }

    // The panel of the recording said nothing to such bytes either.
    void skipped(std::string_view, std::string_view) override {}

    const std::string& differs() const { return differs_; }

private:
    const std::vector<RecordedExchange>& exchanges_;
    std::multimap<LineClock::time_point, std::string> due_; // answers waiting for their time
    std::size_t next_ = 0;
    std::string differs_;
};

} // namespace

std::string ServeRecording(int fd, const std::vector<RecordedExchange>& exchanges,
                           std::stop_token stop) {
    Playback playback(exchanges);
    ServeLine(fd, playback, stop);
    return playback.differs();
}

namespace {

// The first good frame of `size` bytes starting "@<kind>" in an answer that
// may carry noise or be cut short; "" when there is none.
std::string FindFrame(std::string_view answer, std::string_view start, std::size_t size) {
    for (std::size_t at = answer.find(start); at != std::string_view::npos;
         at = answer.find(start, at + 1)) {
        std::string_view frame = answer.substr(at, size);
        if (frame.size() == size && frame.back() == '\r' && cis::FrameChecksumGood(frame)) {
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

namespace {

// What a recording shows of the panel that answered it.
class RecordedPanel {
public:
    void add(const RecordedExchange& exchange) {
        const std::string answer = Joined(exchange);
        const cis::Frame request = cis::DecodeRequest(exchange.request);
        switch (request.kind) {
        case cis::FrameKind::StartRequest:
        case cis::FrameKind::NextRequest:
            addScanAnswer(request.kind == cis::FrameKind::StartRequest, answer);
            break;
        case cis::FrameKind::CountQuery:
            addCountReply(request.which,
                          FindFrame(answer, exchange.request.substr(0, 3), cis::COUNT_REPLY_SIZE));
            break;
        case cis::FrameKind::LetterCommand:
            if (answer.find("@!\r") != std::string::npos) {
                system_[request.which] = "accept";
            } else if (answer.find("@?\r") != std::string::npos) {
                system_[request.which] = "refuse";
            }
            break;
        case cis::FrameKind::TemplateCommand:
            if (request.value >= 0 && request.checksumGood) {
                if (answer.find("@!\r") != std::string::npos) {
                    points_[request.address][request.value] = true;
                } else if (answer.find("@U\r") != std::string::npos) {
                    points_[request.address][request.value] = false;
                }
            }
            break;
        default:
            break;
        }
    }

    json scenario(const std::string& source) const {
        json scenario = {{"name", "recording"},
                         {"description", fmt::format("made from the recording {}", source)}};
        if (anyReport_) {
            json zones = json::array();
            for (const auto& [zone, codes] : complete_) {
                zones.push_back({{"zone", zone}, {"codes", codes}});
            }
            scenario["zones"] = zones;
        }
        if (!counts_.empty()) {
            scenario["counts"] = byLetter(counts_);
        }
        json rules = controlRules();
        if (!rules.empty()) {
            scenario["controls"] = {{"points", rules}};
        }
        if (!system_.empty()) {
            scenario["system"] = byLetter(system_);
        }
        return scenario;
    }

private:
    void addScanAnswer(bool start, const std::string& answer) {
        if (start) {
            report_.clear();
            reporting_ = true;
        }
        const std::string record = FindFrame(answer, "@S", cis::STATUS_RECORD_SIZE);
        const bool digits =
            !record.empty() && record.substr(cis::RECORD_ZONE_AT, cis::RECORD_ZONE_WIDTH)
                                       .find_first_not_of("0123456789") == std::string::npos;
        if (!record.empty() && reporting_ && digits) {
            const cis::Frame decoded = cis::DecodeReply(record);
            report_[static_cast<uint16_t>(decoded.zone)].insert(decoded.statusCode);
        } else if (answer.find(cis::EndReply()) != std::string::npos && reporting_) {
            complete_ = report_;
            anyReport_ = true;
            reporting_ = false;
        }
    }

    void addCountReply(char which, const std::string& reply) {
        int count = 0;
        // A count field that is no number tells nothing.
        if (!reply.empty() && cis::DriverDecimal(std::string_view(reply).substr(
                                                     cis::COUNT_FIELD_AT, cis::COUNT_FIELD_WIDTH),
                                                 count)) {
            counts_[which] = count;
        }
    }

    // Values seen refused are listed; others are accepted, as the default.
    json controlRules() const {
        json rules = json::object();
        for (const auto& [address, values] : points_) {
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
        return rules;
    }

    template <typename Value>
    static json byLetter(const std::map<char, Value>& values) {
        json object = json::object();
        for (const auto& [letter, value] : values) {
            object[std::string(1, letter)] = value;
        }
        return object;
    }

    std::map<uint16_t, std::set<int>> report_;   // the report being read
    std::map<uint16_t, std::set<int>> complete_; // the last one that ended
    bool reporting_ = false;
    bool anyReport_ = false;
    std::map<char, int> counts_;
    std::map<char, std::string> system_;
    std::map<std::string, std::map<int, bool>> points_; // address -> value -> accepted
};

} // namespace

std::string RecordingToScenario(const std::vector<RecordedExchange>& exchanges,
                                const std::string& source) {
    RecordedPanel panel;
    for (const RecordedExchange& exchange : exchanges) {
        panel.add(exchange);
    }
    return panel.scenario(source).dump(2) + "\n";
}

} // namespace xolsim
