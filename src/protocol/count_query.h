// Count queries: the two counts (kinds C and N) the panel reports.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

// On RC_DONE the request's PointValue.value holds the count.
int32_t RunCountQuery(const PointRequest& request);

} // namespace xol
