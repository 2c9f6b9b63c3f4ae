// Events as people and programs read them: one line of text, or a JSON
// object with the event's name, its fields, its sequence number and time.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "supervision/events.h"

namespace xolhost {

struct Site;

// "change", "scan_failed", ...: the stable name of an event's kind.
const char* EventName(const EventBody& body);
// {"event": "change", "seq": 12, "time": "...", "zone": 17, ...}
nlohmann::json EventJson(const Event& event, const Site* site, bool utc);
// "P0017  0x09 -> 0x08  ZS_CODE7  cleared: ZS_CODE1", "the panel answers again"
std::string EventText(const Event& event, const Site* site, bool utc);

} // namespace xolhost
