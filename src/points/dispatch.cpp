// PLACEHOLDER: replaced by the point dispatch work.
#include "points/dispatch.h"
namespace xol {
int32_t ReadPoint(const DriverRequest&) { return RC_REFUSED; }
int32_t ReadBlock(const DriverRequest&) { return RC_REFUSED; }
int32_t WritePoint(const DriverRequest&) { return RC_REFUSED; }
} // namespace xol
