// The printers of events: every event on standard output, a line each (text
// with its time, or JSON), and the notes on standard error that serve gives
// of what changes for the channel and of commands. Both say on standard
// error when the journal starts or stops failing.
#pragma once

#include "supervision/events.h"

namespace xolhost {

class Output;

class EventPrinter : public EventSink {
public:
    EventPrinter(Output& out, bool utc) : out_(out), utc_(utc) {}
    void event(const Event& event) override;
    // Says on standard error when the journal starts or stops failing.
    void state(const SupervisionState& state) override;

private:
    Output& out_;
    bool utc_;
    bool journalFailing_ = false;
};

class ProgressPrinter : public EventSink {
public:
    explicit ProgressPrinter(Output& out) : out_(out) {}
    void event(const Event& event) override;
    void state(const SupervisionState& state) override;

private:
    Output& out_;
    bool journalFailing_ = false;
};

} // namespace xolhost
