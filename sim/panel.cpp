#include "panel.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace xolsim {

namespace {

// Longest frame the driver sends is 15 bytes; anything longer without a CR
// is line noise.
constexpr std::size_t MAX_REQUEST = 64;

std::string_view ChecksumWord(std::string_view frame) {
    return FrameChecksumGood(frame) ? "checksum good" : "checksum bad";
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

double Panel::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Panel::trace(std::string_view direction, std::string_view bytes, std::string_view what) {
    if (trace_) {
        std::string shown = bytes.empty() ? "" : fmt::format("\"{}\"", Printable(bytes));
        trace_(fmt::format("{:9.3f} {} {:<18} {}", elapsed(), direction, shown, what));
    }
}

void Panel::serve(int fd, std::stop_token stop) {
    start_ = std::chrono::steady_clock::now();
    outgoing_.clear();
    // Writes must not block: a far end that stops reading would otherwise
    // hold the panel past a stop request.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    std::string pending;
    char buffer[256];
    while (!stop.stop_requested()) {
        if (!sendDue(fd, stop)) {
            return;
        }
        // Wait for input no longer than the next reply's time, to the
        // microsecond: a reply should leave when it is due, not a tick later.
        std::chrono::nanoseconds wait = std::chrono::milliseconds(20);
        if (!outgoing_.empty()) {
            wait = std::clamp<std::chrono::nanoseconds>(outgoing_.front().due -
                                                            std::chrono::steady_clock::now(),
                                                        std::chrono::nanoseconds::zero(), wait);
        }
        const timespec timeout{0, static_cast<long>(wait.count())};
        pollfd watch{fd, POLLIN, 0};
        int ready = ::ppoll(&watch, 1, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (ready == 0) {
            continue;
        }
        if ((watch.revents & POLLNVAL) != 0) {
            return;
        }
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        const auto arrived = std::chrono::steady_clock::now();
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            // A pseudo-terminal reports EIO while no one holds its other
            // side; wait for the driver to open it again.
            if (n < 0 && errno == EIO) {
                SleepFor(std::chrono::milliseconds(20), stop);
                continue;
            }
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        // Requests run from "@" to CR; whatever comes before an "@" is noise.
        for (;;) {
            auto at = pending.find('@');
            if (at == std::string::npos) {
                std::lock_guard lock(mutex_);
                stats_.skippedBytes += pending.size();
                pending.clear();
                break;
            }
            if (at > 0) {
                trace("<-", std::string_view(pending).substr(0, at), "not a frame, skipped");
                std::lock_guard lock(mutex_);
                stats_.skippedBytes += at;
                pending.erase(0, at);
            }
            auto end = pending.find('\r');
            if (end == std::string::npos) {
                if (pending.size() > MAX_REQUEST) {
                    trace("<-", pending, "no CR, skipped");
                    std::lock_guard lock(mutex_);
                    stats_.skippedBytes += pending.size();
                    pending.clear();
                }
                break;
            }
            std::string frame = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            handle(frame, arrived);
            if (!sendDue(fd, stop)) {
                return;
            }
        }
    }
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
        if (out.kind == RequestKind::StartScan || out.kind == RequestKind::NextRecord) {
            std::lock_guard lock(mutex_);
            if (out.reply.bytes.size() == STATUS_RECORD_SIZE) {
                stats_.recordsSent++;
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

void Panel::handle(const std::string& frame, std::chrono::steady_clock::time_point arrived) {
    Request request = ParseRequest(frame);
    std::string what;
    switch (request.kind) {
    case RequestKind::StartScan:
        what = "start request";
        break;
    case RequestKind::NextRecord:
        what = "next request";
        break;
    case RequestKind::Letter:
        what = fmt::format("system command !{}", request.pointKind);
        break;
    case RequestKind::CountQuery:
        what = fmt::format("count query !{}", request.pointKind);
        break;
    case RequestKind::Template:
        what = fmt::format("command {} value {} (letter {}), {}", request.address, request.value,
                           request.letter, ChecksumWord(frame));
        break;
    case RequestKind::Unknown:
        what = "unknown request";
        break;
    }
    trace("<-", frame, what);

    bool silent = false;
    {
        std::lock_guard lock(mutex_);
        stats_.requests++;
        if (received_.size() < 100000) {
            received_.push_back(frame);
        }
        if (silenceLeft_ != 0) {
            silent = true;
            if (silenceLeft_ > 0) {
                --silenceLeft_;
            }
        }
    }
    if (silent) {
        trace("  ", "", "(silent: no answer)");
        std::lock_guard lock(mutex_);
        stats_.unanswered++;
        return;
    }

    Reply reply = answer(request);
    if (reply.bytes.empty()) {
        trace("  ", "", reply.what);
        std::lock_guard lock(mutex_);
        stats_.unanswered++;
        return;
    }

    if (reply.checksummed) {
        ++checksummedSent_;
        if (faults_.corruptEvery > 0 &&
            checksummedSent_ % static_cast<uint64_t>(faults_.corruptEvery) == 0) {
            reply.bytes = CorruptChecksum(reply.bytes);
            reply.what += " (corrupted)";
            std::lock_guard lock(mutex_);
            stats_.corrupted++;
        }
        reply.what += fmt::format(", {}", ChecksumWord(reply.bytes));
    }

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

    outgoing_.push_back(
        {arrived + faults_.delay, request.kind, std::move(noise), std::move(reply)});
}

Panel::Reply Panel::nextScanReply() {
    if (!reporting_ || reportAt_ >= report_.size()) {
        reporting_ = false;
        return {EndReply(), "end reply", false};
    }
    std::string record = report_[reportAt_];
    std::string_view body(record);
    std::string what =
        fmt::format("status record: zone {}, status code {}",
                    std::stoi(std::string(body.substr(7, 4))), static_cast<int>(body[4] & 0x0F));
    return {record, what, true};
}

Panel::Reply Panel::answer(const Request& request) {
    switch (request.kind) {
    case RequestKind::StartScan: {
        // The report lists the zones as they are now, one record per status
        // code, in ascending zone order.
        report_.clear();
        for (const auto& [zone, codes] : StateAt(scenario_, elapsed()).zones) {
            for (uint8_t code : codes) {
                report_.push_back(StatusRecord(zone, code));
            }
        }
        reportAt_ = 0;
        reporting_ = true;
        return nextScanReply();
    }
    case RequestKind::NextRecord:
        if (reporting_) {
            ++reportAt_;
        }
        return nextScanReply();
    case RequestKind::Letter: {
        bool done = SystemAnswer(scenario_, request.pointKind) == Answer::Done;
        return {CommandReply(done ? '!' : '?'), done ? "answer: done" : "answer: refused", false};
    }
    case RequestKind::CountQuery: {
        int count = StateAt(scenario_, elapsed()).counts[request.pointKind];
        return {CountReply(request.pointKind, count),
                fmt::format("count reply !{} = {}", request.pointKind, count), true};
    }
    case RequestKind::Template: {
        if (!request.checksumOk || request.value < 0) {
            return {"", "(not a valid command: no answer)", false};
        }
        if (unknownLeft_ != 0) {
            if (unknownLeft_ > 0) {
                --unknownLeft_;
            }
            return {CommandReply('?'), "answer: unknown byte '?'", false};
        }
        bool done = ControlAnswer(scenario_, request) == Answer::Done;
        return {CommandReply(done ? '!' : 'U'), done ? "answer: done" : "answer: refused", false};
    }
    case RequestKind::Unknown:
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
