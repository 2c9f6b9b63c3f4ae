// Driver description (code 14) and the one declined operation (code 10).
#pragma once

#include <cstdint>
#include <string_view>
#include <xolest/xolest.h>

#include "core/host_log.h"

namespace xol {

constexpr uint32_t DRIVER_CODE = 70;
constexpr uint32_t DEFAULT_TIMEOUT = 4;
constexpr uint16_t DEFAULT_BAUD = 2400;
constexpr uint16_t DEFAULT_DATA_BITS = 8;
constexpr uint16_t DEFAULT_STOP_BITS = 0;
constexpr uint16_t DEFAULT_PARITY = 2;
constexpr uint32_t INFO_FLAGS = 1;

constexpr uint32_t BANNER_LENGTH = 379;

// The banner in code page 437, without its terminating NUL.
std::string_view Banner();

int32_t DescribeDriver(const DriverRequest& request);
int32_t NotServed(const DriverRequest& request);

} // namespace xol
