// Count queries: the two counts (kinds C and N) the panel reports.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

constexpr uint32_t COUNT_QUERY_TRIES = 3;
constexpr uint32_t COUNT_REPLY_LENGTH = 10;

// Asks "@PA\r" for kind C, "@PD\r" for any other kind. On RC_DONE the
// request's PointValue.value holds the count's low 16 bits; otherwise it is
// left as it was. Only the last try's outcome counts: RC_FAILED when its
// reply did not arrive whole, RC_REFUSED when it arrived but failed its
// checksum or held no count. A request without a PointValue is refused
// without traffic.
[[nodiscard]] int32_t RunCountQuery(const PointRequest& request);

} // namespace xol
