// Point address checks: the address grammar and the kind and number each
// valid text stands for. Pure text work: no port, no context.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

constexpr uint32_t ADDRESS_LENGTH = 7;
constexpr int32_t BLOCK_MAX_COUNT = 1000;
constexpr uint32_t PRESET_A = 0;
constexpr uint32_t PRESET_B = 255;
constexpr uint32_t PRESET_C = 16;

int32_t CheckPoint(const DriverRequest& request); // code 3
int32_t CheckBlock(const DriverRequest& request); // code 4

// The checks on a bare record, for callers that hold no request.
int32_t CheckPointDefinition(PointDefinition& definition);
int32_t CheckBlockDefinition(PointDefinition& definition);

} // namespace xol
