#include "line/panel_line.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/exit_codes.h"
#include "present/output.h"

namespace xolhost {

PanelLine::PanelLine(DriverModule& module, Interrupts& interrupts, Relay* relay,
                     bool relayAvailable, uint32_t timeoutTicks)
    : interrupts_(interrupts), relay_(relay), relayAvailable_(relayAvailable),
      timeoutTicks_(timeoutTicks), channel_(module) {}

int32_t PanelLine::after(int32_t result) const {
    if (interrupts_.requested()) {
        throw Interrupted{};
    }
    return result;
}

LineCall PanelLine::call(const std::function<int32_t()>& body) {
    LineCall call;
    call.watched = watched();
    if (call.watched) {
        relay_->decoder().beginCall();
    }
    call.result = body();
    if (call.watched) {
        relay_->sync();
        relay_->decoder().callReturned();
        if (call.result != RC_DONE) {
            call.listenedSeconds = listenForLateAnswers();
        }
        call.traffic = relay_->decoder().endCall(call.result);
    }
    return call;
}

// The driver gave up on requests the panel has not answered: answers that
// come after it stopped waiting tell a slow panel from a silent one.
double PanelLine::listenForLateAnswers() {
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + LATE_ANSWER_PATIENCE;
    LineDecoder& decoder = relay_->decoder();
    while (decoder.awaitingAnswer() && !interrupts_.requested() &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Diagnosis PanelLine::whyFailed(const LineCall& call) const {
    return call.watched ? DiagnoseLine(call.traffic, timeoutTicks_)
                        : DiagnoseUnwatched(relayAvailable_);
}

Point PanelLine::point(const std::string& address, std::optional<int32_t> count) {
    Point point;
    int32_t result =
        after(count ? channel_.checkBlock(address, *count, point) : channel_.check(address, point));
    if (result != RC_DONE) {
        throw UsageError(count ? fmt::format("\"{}\" with --count {} is not a valid block: a zone "
                                             "address (P0001..P6299) and at most 1000 zones",
                                             address, *count)
                               : fmt::format("\"{}\" is not a valid point address", address));
    }
    return point;
}

ZoneScan PanelLine::scanZones(bool ticker) {
    const Point scanPoint = point("!Z");
    ZoneScan scan;
    auto start = std::chrono::steady_clock::now();
    {
        Ticker shown(ticker, "scanning the panel:");
        scan.call = call([&] {
            uint16_t ignored = 0;
            return channel_.read(scanPoint, ignored);
        });
    }
    // The driver's time: listening on after a failure is not the scan's.
    scan.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() -
                   scan.call.listenedSeconds;
    after(scan.call.result);
    if (scan.call.result != RC_DONE) {
        return scan;
    }
    // The fresh snapshot, in blocks of the largest size a block check takes.
    for (int first = 1; first <= ZONE_COUNT; first += 1000) {
        int32_t count = std::min(1000, ZONE_COUNT - first + 1);
        Point block = point(ZoneAddress(first), count);
        std::vector<uint16_t> values;
        int32_t read = after(channel_.readBlock(block, count, values));
        if (read != RC_DONE) {
            scan.call.result = read;
            return scan;
        }
        for (int i = 0; i < count; ++i) {
            if (uint16_t status = values[static_cast<std::size_t>(i)]; status != 0) {
                scan.statuses[first + i] = status;
            }
        }
    }
    return scan;
}

} // namespace xolhost
