// The small scenario most simulator and end-to-end tests run against: zones
// 12 (codes 1 and 7) and 40 (code 8), counts C 42 and N 7, L0012 refusing
// value 3, and the system command R refused.
#pragma once

#include "scenario.h"

namespace xoltest {

inline xolsim::Scenario TwoZones() {
    // Zone 40 comes first on purpose: the panel reports in zone order
    // whatever order the file lists them in.
    return xolsim::ParseScenario(R"({
        "zones": [{"zone": 40, "codes": [8]}, {"zone": 12, "codes": [1, 7]}],
        "counts": {"C": 42, "N": 7},
        "controls": {"points": {"L0012": {"refuse": [3]}}},
        "system": {"R": "refused"}})");
}

} // namespace xoltest
