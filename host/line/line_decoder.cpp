#include "line/line_decoder.h"

#include <fmt/format.h>

#include <xolest/xolest.h>

#include <algorithm>

#include "codec/text.h"
#include "present/site.h"
#include "present/timestamps.h"

namespace xolhost {

namespace {

using cis::Frame;
using cis::FrameKind;
using cis::RecordUse;
using nlohmann::json;

// A frame longer than any the panel sends is not one.
constexpr std::size_t LONGEST_REPLY = 16;
// Bytes of a frame in progress wait this long for the rest before they are
// shown as cut off (at least; three time-outs when those are longer).
constexpr auto PARTIAL_PATIENCE = std::chrono::milliseconds(500);
constexpr std::size_t GARBAGE_SAMPLE = 16;

double Ms(SteadyClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::string Quoted(std::string_view bytes) {
    return "\"" + cis::Printable(bytes) + "\"";
}

std::string Hex(std::string_view bytes) {
    std::string text;
    for (char c : bytes) {
        text += fmt::format("{:02X}", static_cast<unsigned char>(c));
    }
    return text;
}

// The driver reads an answer in exact counts from the first byte after its
// request, and takes it only when it begins with '@' and, read whole, ends
// with CR: otherwise it was read out of step (noise before it, or a stray
// '@') and is skipped as damaged.
bool ReadOutOfStep(std::string_view read, std::size_t size) {
    return !read.empty() && (read.front() != '@' || (read.size() == size && read.back() != '\r'));
}

} // namespace

LineFigures LineFigures::operator-(const LineFigures& before) const {
    LineFigures d;
    d.records = records - before.records;
    d.badChecksums = badChecksums - before.badChecksums;
    d.filtered = filtered - before.filtered;
    d.illegalZones = illegalZones - before.illegalZones;
    d.restarts = restarts - before.restarts;
    d.strayBytes = strayBytes - before.strayBytes;
    d.discardedBytes = discardedBytes - before.discardedBytes;
    d.outOfStep = outOfStep - before.outOfStep;
    return d;
}

json FiguresJson(const LineFigures& figures) {
    return {{"records", figures.records},
            {"bad_checksums", figures.badChecksums},
            {"filtered", figures.filtered},
            {"illegal_zones", figures.illegalZones},
            {"restarts", figures.restarts},
            {"stray_bytes", figures.strayBytes},
            {"discarded_bytes", figures.discardedBytes},
            {"out_of_step", figures.outOfStep}};
}

std::string LossCause(const LineFigures& figures) {
    // Stray bytes ahead of a record put the driver's read of it out of step.
    const std::string stray =
        figures.strayBytes > 0 ? fmt::format(", after {} stray byte(s)", figures.strayBytes) : "";
    if (figures.outOfStep == 0) {
        return "to bad checksums";
    }
    if (figures.badChecksums == 0) {
        return "to out-of-step reads" + stray;
    }
    return fmt::format("to bad checksums ({}) and out-of-step reads ({}{})", figures.badChecksums,
                       figures.outOfStep, stray);
}

LineDecoder::LineDecoder(DecoderSettings settings)
    : settings_(std::move(settings)), steadyStart_(SteadyClock::now()),
      wallStart_(std::chrono::system_clock::now()) {
    if (settings_.record) {
        json header = {{"xolhost_recording", 1},
                       {"started", Rfc3339(wallStart_, settings_.utc, 6)}};
        header.update(settings_.recordHeader);
        settings_.record(header.dump(-1, ' ', false, json::error_handler_t::replace));
    }
}

void LineDecoder::feed(Direction direction, std::string_view bytes, SteadyClock::time_point at) {
    std::lock_guard lock(mutex_);
    if (settings_.record) {
        settings_.record(fmt::format(R"({{"t":{:.6f},"dir":"{}","hex":"{}"}})",
                                     std::chrono::duration<double>(at - steadyStart_).count(),
                                     direction == Direction::ToPanel ? "to_panel" : "from_panel",
                                     Hex(bytes)));
    }
    if (direction == Direction::ToPanel) {
        for (char c : bytes) {
            toPanel_ += c;
            if (c == '\r') {
                std::string frame;
                frame.swap(toPanel_);
                onRequest(frame, at);
            }
        }
        return;
    }
    call_.bytesReceived += bytes.size();
    if (window_.open) {
        window_.bytes.append(bytes);
    }
    for (char c : bytes) {
        onPanelByte(c, at);
        lastPanelByte_ = at;
    }
}

void LineDecoder::idle(SteadyClock::time_point now) {
    std::lock_guard lock(mutex_);
    auto patience = std::max<SteadyClock::duration>(
        PARTIAL_PATIENCE, std::chrono::milliseconds(3 * settings_.timeoutMs));
    if ((!partial_.empty() || !stray_.empty()) && now - lastPanelByte_ > patience) {
        flushStray();
        flushPartial("cut off", true);
    }
}

void LineDecoder::portFailed(const std::string& error) {
    std::lock_guard lock(mutex_);
    call_.portError = error;
    note(SteadyClock::now(), "the port failed: " + error);
}

void LineDecoder::beginCall() {
    std::lock_guard lock(mutex_);
    inCall_ = true;
    scanAttempt_ = 0;
    // Answers still due to an earlier call are not this call's: pairing
    // starts afresh.
    awaiting_.clear();
    std::string portError = call_.portError;
    call_ = CallTraffic{};
    call_.portError = portError;
    attemptStart_ = LineFigures{};
}

void LineDecoder::callReturned() {
    std::lock_guard lock(mutex_);
    if (window_.open) {
        window_.beforeReturn = window_.bytes.size();
    }
}

bool LineDecoder::awaitingAnswer() const {
    std::lock_guard lock(mutex_);
    return !awaiting_.empty();
}

CallTraffic LineDecoder::endCall(int32_t result) {
    std::lock_guard lock(mutex_);
    flushStray();
    // A failed call with an answer still in progress: it stopped there.
    if (result != 0) {
        flushPartial("cut off, nothing followed", true);
    }
    call_.unanswered = awaiting_.size();
    call_.lastAttempt = call_.figures - attemptStart_;
    settle(Closing::ByEnd, nullptr, {}, result, SteadyClock::now());
    // Whatever comes until the next request is read by nobody.
    window_ = Window{};
    window_.open = true;
    window_.request.kind = FrameKind::UnknownRequest;
    inCall_ = false;
    totals_.records += call_.figures.records;
    totals_.badChecksums += call_.figures.badChecksums;
    totals_.filtered += call_.figures.filtered;
    totals_.illegalZones += call_.figures.illegalZones;
    totals_.restarts += call_.figures.restarts;
    totals_.strayBytes += call_.figures.strayBytes;
    totals_.discardedBytes += call_.figures.discardedBytes;
    totals_.outOfStep += call_.figures.outOfStep;
    CallTraffic done = call_;
    call_ = CallTraffic{};
    return done;
}

LineFigures LineDecoder::totals() const {
    std::lock_guard lock(mutex_);
    return totals_;
}

void LineDecoder::onRequest(const std::string& frame, SteadyClock::time_point at) {
    flushStray();
    Frame request = cis::DecodeRequest(frame);
    settle(Closing::ByRequest, &request, frame, 0, at);
    if (request.kind == FrameKind::StartRequest) {
        badInARow_ = 0;
        if (++scanAttempt_ > 1) {
            ++call_.figures.restarts;
        }
        attemptStart_ = call_.figures;
    }
    ++call_.requests;
    awaiting_.push_back(at);
    trace(at, "->", Quoted(frame), describeRequest(request));
    window_ = Window{};
    window_.open = true;
    window_.request = request;
    window_.requestBytes = frame;
}

void LineDecoder::onPanelByte(char byte, SteadyClock::time_point at) {
    if (byte == '@') {
        // An answer given up for the next one stopped, like one cut off by
        // silence: noise shows in the bytes outside the frames.
        flushPartial("cut off by a new '@'", true);
        flushStray();
        partial_ = "@";
        partialStart_ = at;
        partialGapMs_ = 0;
        return;
    }
    if (partial_.empty()) {
        stray_ += byte;
        return;
    }
    partialGapMs_ = std::max(partialGapMs_, Ms(at - lastPanelByte_));
    partial_ += byte;
    if (byte == '\r') {
        std::string frame;
        frame.swap(partial_);
        onReply(frame);
        trace(at, "<-", Quoted(frame), describeReply(cis::DecodeReply(frame)));
    } else if (partial_.size() > LONGEST_REPLY) {
        flushPartial("too long for any answer");
    }
}

void LineDecoder::onReply(const std::string& frame) {
    Frame reply = cis::DecodeReply(frame);
    if (reply.kind == FrameKind::Malformed) {
        noteGarbage(frame);
        return;
    }
    // The panel answers one request at a time, in order: the oldest request
    // still waiting is the one this answers, however many the driver sent
    // meanwhile (a late answer overlaps the driver's next try).
    if (!awaiting_.empty()) {
        double wait = std::max(Ms(partialStart_ - awaiting_.front()), partialGapMs_);
        awaiting_.pop_front();
        call_.slowestMs = std::max(call_.slowestMs, wait);
        if (wait > settings_.timeoutMs) {
            ++call_.lateReplies;
        } else {
            ++call_.timelyReplies;
        }
    }
    if (reply.checksummed && !reply.checksumGood) {
        ++call_.badChecksumReplies;
    } else {
        ++call_.goodReplies;
    }
}

void LineDecoder::flushStray() {
    if (stray_.empty()) {
        return;
    }
    call_.figures.strayBytes += stray_.size();
    noteGarbage(stray_);
    trace(lastPanelByte_, "<-", cis::HexBytes(stray_, 24),
          fmt::format("stray bytes ({})", stray_.size()));
    stray_.clear();
}

void LineDecoder::flushPartial(const char* why, bool cut) {
    if (partial_.empty()) {
        return;
    }
    if (cut) {
        // Cut off and followed by silence: an answer that stopped, not noise.
        if (++call_.cutReplies == 1) {
            call_.cutSample = cis::HexBytes(partial_, GARBAGE_SAMPLE);
        }
        // It was the answer to the oldest request waiting.
        if (!awaiting_.empty()) {
            awaiting_.pop_front();
        }
    } else {
        noteGarbage(partial_);
    }
    trace(lastPanelByte_, "<-", Quoted(partial_),
          fmt::format("incomplete frame ({} bytes, {})", partial_.size(), why));
    partial_.clear();
}

void LineDecoder::noteGarbage(std::string_view bytes) {
    ++call_.malformed;
    if (call_.garbageSample.size() < GARBAGE_SAMPLE * 3) {
        if (!call_.garbageSample.empty()) {
            call_.garbageSample += ' ';
        }
        call_.garbageSample += cis::HexBytes(bytes, GARBAGE_SAMPLE);
    }
}

// What the driver did with the bytes that came after its last request, now
// that its next step shows it: it reads answers in exact counts from the
// first byte, and empties the input before each request.
void LineDecoder::settle(Closing how, const Frame* next, const std::string& nextBytes,
                         int32_t result, SteadyClock::time_point at) {
    if (!window_.open) {
        return;
    }
    // Bytes that came after the driver's call returned were read by nobody.
    const std::string_view bytes = std::string_view(window_.bytes).substr(0, window_.beforeReturn);
    std::size_t used = 0;
    switch (window_.request.kind) {
    case FrameKind::StartRequest:
    case FrameKind::NextRequest: {
        // The driver asks for the next record only after reading one whole,
        // and gives the attempt up after reading too many bad ones in a row.
        std::string_view record = bytes.substr(0, cis::STATUS_RECORD_SIZE);
        bool limitReached =
            badInARow_ + 1 >= XOL_SCAN_BAD_RECORD_LIMIT &&
            record.size() == cis::STATUS_RECORD_SIZE &&
            (ReadOutOfStep(record, cis::STATUS_RECORD_SIZE) || !cis::DriverChecksumGood(record));
        bool gaveUp =
            how == Closing::ByRequest ? next->kind == FrameKind::StartRequest : result != 0;
        bool recordRead = (how == Closing::ByRequest && next->kind == FrameKind::NextRequest) ||
                          (limitReached && gaveUp);
        used = settleScanAnswer(bytes, recordRead, how == Closing::ByEnd && result == 0, at);
        break;
    }
    case FrameKind::CountQuery:
        used = settleCountReply(bytes,
                                how == Closing::ByRequest && nextBytes == window_.requestBytes, at);
        break;
    case FrameKind::LetterCommand:
    case FrameKind::TemplateCommand:
        if (bytes.size() >= cis::SHORT_REPLY_SIZE) {
            used = cis::SHORT_REPLY_SIZE;
            call_.lastAnswer = bytes[1];
            noteOutOfStep(bytes.substr(0, used), cis::SHORT_REPLY_SIZE, "the command's answer", at);
        }
        break;
    default:
        break;
    }
    if (window_.bytes.size() > used) {
        std::string_view rest = std::string_view(window_.bytes).substr(used);
        call_.figures.discardedBytes += rest.size();
        note(at, fmt::format("the driver did not use {} byte(s): {}", rest.size(),
                             cis::HexBytes(rest, 24)));
    }
    window_.open = false;
}

std::size_t LineDecoder::settleScanAnswer(std::string_view bytes, bool recordRead, bool scanDone,
                                          SteadyClock::time_point at) {
    if (scanDone) {
        return std::min<std::size_t>(bytes.size(), cis::SHORT_REPLY_SIZE);
    }
    if (!recordRead) {
        if (inCall_) {
            note(at, fmt::format("scan attempt {}: no whole answer within the time-out",
                                 std::max(scanAttempt_, 1)));
        }
        return 0;
    }
    std::size_t used = std::min(bytes.size(), cis::STATUS_RECORD_SIZE);
    std::string_view record(bytes.data(), used);
    ++call_.figures.records;
    // The driver skips a record read out of step as damaged, whatever its
    // checksum says.
    const bool outOfStep =
        noteOutOfStep(record, cis::STATUS_RECORD_SIZE, "a status record", at, ", skipped");
    const RecordUse use = cis::DriverUseOfRecord(record);
    badInARow_ = outOfStep || use == RecordUse::BadChecksum ? badInARow_ + 1 : 0;
    if (badInARow_ >= XOL_SCAN_BAD_RECORD_LIMIT) {
        note(at, fmt::format("{} records in a row were skipped as damaged: the driver begins the "
                             "scan again",
                             badInARow_));
    }
    if (outOfStep) {
        return used;
    }
    switch (use) {
    case RecordUse::BadChecksum:
        ++call_.figures.badChecksums;
        // A record that takes in bytes of what follows shows as no frame of
        // its own.
        note(at, record.empty() || record.back() != '\r'
                     ? fmt::format("the driver read {} as a status record: checksum bad, skipped",
                                   Quoted(record))
                     : "the driver skipped this record: checksum bad");
        break;
    case RecordUse::IllegalZone:
        ++call_.figures.illegalZones;
        break;
    case RecordUse::Filtered:
        ++call_.figures.filtered;
        break;
    case RecordUse::Applied:
        break;
    }
    return used;
}

std::size_t LineDecoder::settleCountReply(std::string_view bytes, bool retried,
                                          SteadyClock::time_point at) {
    if (bytes.size() < cis::COUNT_REPLY_SIZE) {
        call_.lastCountReplyBad = false;
        call_.lastCountReplyOutOfStep = false;
        return 0;
    }
    std::string_view reply = bytes.substr(0, cis::COUNT_REPLY_SIZE);
    bool good = cis::DriverChecksumGood(reply);
    // A good reply followed by the same question came too late to be read.
    if (retried && good) {
        return 0;
    }
    call_.lastCountReplyBad = !good;
    call_.lastCountReplyOutOfStep = cis::DecodeReply(reply).kind != FrameKind::CountReply;
    noteOutOfStep(reply, cis::COUNT_REPLY_SIZE, "a count reply", at);
    return cis::COUNT_REPLY_SIZE;
}

bool LineDecoder::noteOutOfStep(std::string_view read, std::size_t size, const char* as,
                                SteadyClock::time_point at, const char* outcome) {
    if (!ReadOutOfStep(read, size)) {
        return false;
    }
    ++call_.figures.outOfStep;
    note(at, fmt::format("the driver read {} as {}: out of step (it does not begin at a frame's "
                         "'@' and end at its CR){}",
                         Quoted(read), as, outcome));
    return true;
}

void LineDecoder::trace(SteadyClock::time_point at, const char* arrow, const std::string& shown,
                        const std::string& what) {
    if (!settings_.trace) {
        return;
    }
    settings_.trace(fmt::format("{} {} {:<20} {}", Rfc3339(wallTime(at), settings_.utc, 6), arrow,
                                shown, what));
}

void LineDecoder::note(SteadyClock::time_point at, const std::string& what) {
    if (!settings_.trace) {
        return;
    }
    settings_.trace(fmt::format("{} :: {}", Rfc3339(wallTime(at), settings_.utc, 6), what));
}

std::chrono::system_clock::time_point LineDecoder::wallTime(SteadyClock::time_point at) const {
    return wallStart_ +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(at - steadyStart_);
}

std::string LineDecoder::zoneText(int zone) const {
    std::string text = fmt::format("zone {}", zone);
    if (zone == 0 || zone > ZONE_COUNT) {
        return text + " (illegal: the driver logs and skips it)";
    }
    if (settings_.site != nullptr) {
        if (const std::string* name = settings_.site->zoneName(zone)) {
            text += " (" + *name + ")";
        }
    }
    return text;
}

std::string LineDecoder::describeRequest(const Frame& frame) const {
    if (frame.kind == FrameKind::StartRequest && scanAttempt_ > 1) {
        return fmt::format("start request (scan attempt {})", scanAttempt_);
    }
    return cis::DescribeRequest(frame);
}

std::string LineDecoder::describeReply(const Frame& frame) const {
    const char* checksum = frame.checksumGood ? "checksum good" : "checksum bad";
    switch (frame.kind) {
    case FrameKind::StatusRecord: {
        std::string code = fmt::format("status code {}", frame.statusCode);
        if (cis::StatusBitOfCode(frame.statusCode) == 0) {
            code += " (ignored by the driver)";
        } else if (settings_.site != nullptr) {
            if (const std::string* name = settings_.site->codeName(frame.statusCode)) {
                code += " (" + *name + ")";
            }
        }
        int selector = frame.selector & 0x0F;
        std::string sel = selector == 1 || selector == 3
                              ? fmt::format(", selector {} (ignored by the driver)", frame.selector)
                              : "";
        return fmt::format("status record: {}, {}{}, {}", zoneText(frame.zone), code, sel,
                           checksum);
    }
    case FrameKind::EndReply:
        return "end reply";
    case FrameKind::CountReply:
        return frame.value < 0
                   ? fmt::format("count reply !{}: no number, {}", frame.which, checksum)
                   : fmt::format("count reply !{} = {}, {}", frame.which, frame.value, checksum);
    case FrameKind::CommandAnswer: {
        bool letter = window_.open && window_.request.kind == FrameKind::LetterCommand;
        switch (frame.which) {
        case '!':
            return "answer: done";
        case 'U':
            return "answer: refused";
        case '?':
            return letter ? "answer: refused" : "answer: not understood";
        default:
            return fmt::format("answer: unknown byte {}", Quoted(std::string(1, frame.which)));
        }
    }
    default:
        return frame.checksummed ? fmt::format("frame of no known layout, {}", checksum)
                                 : "frame of no known layout";
    }
}

} // namespace xolhost
