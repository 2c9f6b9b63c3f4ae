// The question-and-answer rule that control commands and count queries share:
// the same frame is sent up to a number of times, back to back, and each
// answer that arrives whole is judged by the caller. The status scan follows
// its own rule (it restarts from its start request) and does not use this.
#pragma once

#include <cstdint>
#include <span>
#include <xolest/xolest.h>

#include "protocol/frame.h"

namespace xol {

// What one answer that arrived whole means to the operation that asked.
struct Verdict {
    bool settled;   // true: the operation ends with `result`
    int32_t result; // the operation's result; when not settled, what this try counts as
};

// Discards input until the line has been quiet for `quietTimeouts` read
// time-outs in a row, at most EXCHANGE_DRAIN_LIMIT bytes. Used after retries
// so that a late answer to an earlier try cannot be read as the answer to
// the next request.
void DiscardLateAnswers(uint32_t quietTimeouts);
constexpr uint32_t EXCHANGE_DRAIN_LIMIT = 1200;

// Sends `frame` up to `tries` times and returns the first settled verdict's
// result. A try whose answer does not arrive whole counts as RC_FAILED; when
// no try settles, the last try's count is returned.
//
// A settled answer on the first try costs nothing more. One that settles a
// later try may be the late answer to an earlier try, whose own answer is
// still to come: the line must be quiet for two time-outs before returning.
// When no try settles, the line must be quiet for one time-out.
template <typename Judge>
[[nodiscard]] int32_t AskWithRetries(std::span<const uint8_t> frame, std::span<uint8_t> answer,
                                     uint32_t tries, Judge judge) {
    int32_t outcome = RC_FAILED;
    for (uint32_t attempt = 0; attempt < tries; ++attempt) {
        // What the send reports is not examined: the read that follows decides.
        (void)CisSend(frame.data(), static_cast<uint32_t>(frame.size()));
        if (!CisReceive(answer.data(), static_cast<uint32_t>(answer.size()))) {
            outcome = RC_FAILED;
            continue;
        }
        const Verdict verdict = judge(std::span<const uint8_t>(answer));
        if (verdict.settled) {
            if (attempt > 0) {
                DiscardLateAnswers(2);
            }
            return verdict.result;
        }
        outcome = verdict.result;
    }
    DiscardLateAnswers(1);
    return outcome;
}

} // namespace xol
