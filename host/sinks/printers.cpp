#include "sinks/printers.h"

#include <fmt/format.h>

#include "present/output.h"
#include "present/timestamps.h"
#include "sinks/event_forms.h"

namespace xolhost {

void EventPrinter::event(const Event& event) {
    if (out_.jsonMode()) {
        out_.printJson(EventJson(event, out_.site(), utc_));
    } else if (!std::holds_alternative<event::Interrupted>(event.body)) {
        // The command that stops on an interrupt says so itself.
        out_.printLine(fmt::format("{}  {}", Rfc3339(event.time, utc_, 3, ' '),
                                   EventText(event, out_.site(), utc_)));
    }
}

void EventPrinter::state(const SupervisionState& state) {
    if (state.journalFailing == journalFailing_) {
        return;
    }
    journalFailing_ = state.journalFailing;
    if (journalFailing_) {
        out_.warning("journal failing: events are shown but kept in memory only, until the "
                     "journal takes them again");
    } else {
        out_.progress("the journal works again: the events it missed are written");
    }
}

void ProgressPrinter::event(const Event& event) {
    const EventBody& body = event.body;
    if (std::holds_alternative<event::ChannelClosed>(body) ||
        std::holds_alternative<event::ChannelReopened>(body) ||
        std::holds_alternative<event::Command>(body)) {
        out_.progress(EventText(event, out_.site(), false));
    }
}

} // namespace xolhost
