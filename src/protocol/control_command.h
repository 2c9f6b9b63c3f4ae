// Control commands: template commands for kinds L, T, Q, A, O, X and letter
// commands for kinds D, R, S.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

int32_t SendTemplateCommand(const PointRequest& request);
int32_t SendLetterCommand(uint32_t kind);

} // namespace xol
