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

namespace {

// Says on standard error when the journal starts or stops failing.
void NoteJournal(Output& out, bool& failing, const SupervisionState& state) {
    if (state.journalFailing == failing) {
        return;
    }
    failing = state.journalFailing;
    if (failing) {
        out.warning("journal failing: events are shown but kept in memory only, until the "
                    "journal takes them again");
    } else {
        out.progress("the journal works again: the events it missed are written");
    }
}

} // namespace

void EventPrinter::state(const SupervisionState& state) {
    NoteJournal(out_, journalFailing_, state);
}

void ProgressPrinter::state(const SupervisionState& state) {
    NoteJournal(out_, journalFailing_, state);
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
