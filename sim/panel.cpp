#include "panel.h"

#include <fmt/format.h>

#include <stdexcept>

#include "codec/frame_build.h"
#include "codec/text.h"

namespace xolsim {

namespace {

std::string_view ChecksumWord(std::string_view frame) {
    return cis::FrameChecksumGood(frame) ? "checksum good" : "checksum bad";
}

// The panel's own records always hold a four-digit zone.
SentRecord SentRecordOf(const std::string& record, bool noise) {
    return {static_cast<uint16_t>(
                std::stoi(record.substr(cis::RECORD_ZONE_AT, cis::RECORD_ZONE_WIDTH))),
            static_cast<uint8_t>(record[cis::RECORD_STATUS_AT] & 0x0F), noise,
            !cis::FrameChecksumGood(record)};
}

} // namespace

Panel::Panel(Scenario scenario, FaultOptions faults)
    : scenario_(std::move(scenario)), faults_(faults), start_(std::chrono::steady_clock::now()),
      noise_(faults.seed), unknownLeft_(faults.unknownAnswers) {
    if (faults_.silentAfterRecords == 0 ||
        (faults_.silentAfterRecords < 0 && faults_.silentRequests > 0)) {
        silenceLeft_ = faults_.silentRequests;
    }
    if (faults_.noiseEvery < 1) {
        faults_.noiseEvery = 1;
    }
}

void Panel::setTrace(TraceSink sink) {
    trace_ = std::move(sink);
}

void Panel::silenceNext(int requests) {
    std::lock_guard lock(mutex_);
    silenceLeft_ = requests;
}

PanelStats Panel::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

std::vector<std::string> Panel::receivedFrames() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<SentRecord> Panel::sentRecords() const {
    std::lock_guard lock(mutex_);
    return sentRecords_;
}

double Panel::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Panel::trace(std::string_view direction, std::string_view bytes, std::string_view what) {
    if (trace_) {
        std::string shown = bytes.empty() ? "" : fmt::format("\"{}\"", cis::Printable(bytes));
        trace_(fmt::format("{:9.3f} {} {:<18} {}", elapsed(), direction, shown, what));
    }
}

void Panel::serve(int fd, std::stop_token stop) {
    start_ = std::chrono::steady_clock::now();
    outgoing_.clear();
    ServeLine(fd, *this, stop);
}

std::optional<LineClock::time_point> Panel::nextDue() const {
    if (outgoing_.empty()) {
        return std::nullopt;
    }
    return outgoing_.front().due;
}

void Panel::skipped(std::string_view bytes, std::string_view why) {
    if (!why.empty()) {
        trace("<-", bytes, why);
    }
    std::lock_guard lock(mutex_);
    stats_.skippedBytes += bytes.size();
}

bool Panel::sendDue(int fd, std::stop_token stop) {
    while (!outgoing_.empty() && outgoing_.front().due <= std::chrono::steady_clock::now()) {
        Outgoing out = std::move(outgoing_.front());
        outgoing_.pop_front();
        if (!out.noise.empty()) {
            trace("->", out.noise, "noise");
        }
        trace("->", out.reply.bytes, out.reply.what);
        // A failed write is not the end: the driver may open the line again,
        // and a dead line shows on the next read.
        (void)transmit(fd, out.noise + out.reply.bytes, stop);
        if (out.kind == cis::FrameKind::StartRequest || out.kind == cis::FrameKind::NextRequest) {
            std::lock_guard lock(mutex_);
            if (out.reply.bytes.size() == cis::STATUS_RECORD_SIZE) {
                stats_.recordsSent++;
                if (sentRecords_.size() < 100000) {
                    sentRecords_.push_back(SentRecordOf(out.reply.bytes, !out.noise.empty()));
                }
                if (faults_.silentAfterRecords > 0 &&
                    stats_.recordsSent == static_cast<uint64_t>(faults_.silentAfterRecords)) {
                    silenceLeft_ = faults_.silentRequests;
                }
            } else {
                stats_.reportsEnded++;
            }
        }
    }
    return !stop.stop_requested();
}

bool Panel::request(const std::string& frame, LineClock::time_point arrived) {
    const cis::Frame request = cis::DecodeRequest(frame);
    trace("<-", frame, cis::DescribeRequest(request));
    if (!takeRequest(frame)) {
        trace("  ", "", "(silent: no answer)");
        std::lock_guard lock(mutex_);
        stats_.unanswered++;
        return true;
    }
    Reply reply = answer(request);
    if (reply.bytes.empty()) {
        trace("  ", "", reply.what);
        std::lock_guard lock(mutex_);
        stats_.unanswered++;
        return true;
    }
    if (reply.checksummed) {
        judgeChecksum(reply);
    }
    std::string noise = noiseBefore();
    outgoing_.push_back(
        {arrived + faults_.delay, request.kind, std::move(noise), std::move(reply)});
    return true;
}

bool Panel::takeRequest(const std::string& frame) {
    std::lock_guard lock(mutex_);
    stats_.requests++;
    if (received_.size() < 100000) {
        received_.push_back(frame);
    }
    if (silenceLeft_ == 0) {
        return true;
    }
    if (silenceLeft_ > 0) {
        --silenceLeft_;
    }
    return false;
}

void Panel::judgeChecksum(Reply& reply) {
    ++checksummedSent_;
    if (faults_.corruptEvery > 0 &&
        checksummedSent_ % static_cast<uint64_t>(faults_.corruptEvery) == 0) {
        reply.bytes = cis::CorruptChecksum(reply.bytes);
        reply.what += " (corrupted)";
        std::lock_guard lock(mutex_);
        stats_.corrupted++;
    }
    reply.what += fmt::format(", {}", ChecksumWord(reply.bytes));
}

std::string Panel::noiseBefore() {
    std::string noise;
    ++repliesSent_;
    if (faults_.noiseBytes > 0 && repliesSent_ % static_cast<uint64_t>(faults_.noiseEvery) == 0) {
        std::uniform_int_distribution<int> byte(0, 255);
        for (int i = 0; i < faults_.noiseBytes; ++i) {
            noise += static_cast<char>(byte(noise_));
        }
        std::lock_guard lock(mutex_);
        stats_.noiseBytes += noise.size();
    }
    return noise;
}

Panel::Reply Panel::nextScanReply() {
    if (!reporting_ || reportAt_ >= report_.size()) {
        reporting_ = false;
        return {cis::EndReply(), "end reply", false};
    }
    std::string record = report_[reportAt_];
    const SentRecord sent = SentRecordOf(record, false);
    std::string what = fmt::format("status record: zone {}, status code {}", sent.zone,
                                   static_cast<int>(sent.code));
    return {record, what, true};
}

Panel::Reply Panel::answer(const cis::Frame& request) {
    switch (request.kind) {
    case cis::FrameKind::StartRequest: {
        // The report lists the zones as they are now, one record per status
        // code, in ascending zone order.
        report_.clear();
        for (const auto& [zone, codes] : StateAt(scenario_, elapsed()).zones) {
            for (uint8_t code : codes) {
                report_.push_back(cis::StatusRecord(zone, code));
            }
        }
        reportAt_ = 0;
        reporting_ = true;
        return nextScanReply();
    }
    case cis::FrameKind::NextRequest:
        if (reporting_) {
            ++reportAt_;
        }
        return nextScanReply();
    case cis::FrameKind::LetterCommand: {
        bool done = SystemAnswer(scenario_, request.which) == Answer::Done;
        return {cis::CommandReply(done ? '!' : '?'), done ? "answer: done" : "answer: refused",
                false};
    }
    case cis::FrameKind::CountQuery: {
        int count = StateAt(scenario_, elapsed()).counts[request.which];
        return {cis::CountReply(request.which, count),
                fmt::format("count reply !{} = {}", request.which, count), true};
    }
    case cis::FrameKind::TemplateCommand: {
        if (!request.checksumGood || request.value < 0) {
            return {"", "(not a valid command: no answer)", false};
        }
        if (unknownLeft_ != 0) {
            if (unknownLeft_ > 0) {
                --unknownLeft_;
            }
            return {cis::CommandReply('?'), "answer: unknown byte '?'", false};
        }
        bool done = ControlAnswer(scenario_, request) == Answer::Done;
        return {cis::CommandReply(done ? '!' : 'U'), done ? "answer: done" : "answer: refused",
                false};
    }
    default:
        break;
    }
    return {"", "(no answer)", false};
}

bool Panel::transmit(int fd, const std::string& bytes, std::stop_token stop) {
    const std::size_t piece =
        faults_.splitBytes > 0 ? static_cast<std::size_t>(faults_.splitBytes) : bytes.size();
    const auto byteTime = faults_.bitRate > 0
                              ? std::chrono::nanoseconds(11'000'000'000LL / faults_.bitRate)
                              : std::chrono::nanoseconds::zero();
    for (std::size_t offset = 0; offset < bytes.size(); offset += piece) {
        if (offset > 0 && !SleepFor(faults_.splitGap, stop)) {
            return false;
        }
        std::string_view chunk = std::string_view(bytes).substr(offset, piece);
        if (byteTime.count() == 0) {
            if (!WriteAll(fd, chunk, stop)) {
                return false;
            }
            continue;
        }
        // Each byte leaves when the line would have finished sending it.
        auto due = std::chrono::steady_clock::now();
        for (char c : chunk) {
            due += byteTime;
            if (!SleepFor(due - std::chrono::steady_clock::now(), stop) ||
                !WriteAll(fd, std::string_view(&c, 1), stop)) {
                return false;
            }
        }
    }
    return true;
}

PtyPanel::PtyPanel(Scenario scenario, FaultOptions faults, TraceSink trace)
    : panel_(std::make_unique<Panel>(std::move(scenario), faults)) {
    if (!pty_.ok()) {
        throw std::runtime_error("no pseudo-terminal: " + pty_.error());
    }
    panel_->setTrace(std::move(trace));
    thread_ = std::jthread([this](std::stop_token stop) { panel_->serve(pty_.master(), stop); });
}

PtyPanel::~PtyPanel() {
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace xolsim
