#include "protocol/exchange.h"

#include "core/context.h"
#include "protocol/frame.h"

namespace xol {

void DiscardLateAnswers(uint32_t quietTimeouts) {
    const DriverContext* context = CurrentContext();
    // With no read time-out there is no quiet to wait for; the next send
    // empties the input queue as always.
    if (context == nullptr || context->port == 0 || context->timeoutTicks == 0) {
        return;
    }
    // One byte at a time: a read that times out is one time-out of quiet, a
    // byte that arrives starts the count again.
    uint32_t quiet = 0;
    for (uint32_t drained = 0; quiet < quietTimeouts && drained < EXCHANGE_DRAIN_LIMIT;) {
        uint8_t byte = 0;
        if (CisReceive(&byte, 1)) {
            quiet = 0;
            ++drained;
        } else {
            ++quiet;
        }
    }
}

} // namespace xol
