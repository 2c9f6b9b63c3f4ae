// Point reads and writes: each kind bound to its operation.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

int32_t ReadPoint(const DriverRequest& request);  // code 5
int32_t ReadBlock(const DriverRequest& request);  // code 6
int32_t WritePoint(const DriverRequest& request); // code 7

} // namespace xol
