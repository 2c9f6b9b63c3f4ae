// The forms the journal's events take outside it: the time arguments that
// choose them ("2h" ago, or an RFC 3339 time) and the CSV lines they are
// exported as, the same for `xolhost journal` and serve's export.
#pragma once

#include <optional>
#include <string>

#include "journal/journal.h"

namespace xolhost {

// "2h", "30min", "45s", "7d" ago, or an RFC 3339 time; nothing, with the
// reason in `problem`, when the text is neither.
std::optional<WallClock::time_point> ParseTimeArgument(const std::string& text,
                                                       std::string& problem);

// The CSV header line and one event as a CSV line (RFC 4180 quoting). A text
// field that a spreadsheet would take for a formula (=, +, -, @ first) is
// written with a leading apostrophe.
extern const char* const EVENT_CSV_HEADER;
std::string CsvLine(const StoredEvent& e);

} // namespace xolhost
