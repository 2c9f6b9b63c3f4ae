// Control commands: template commands for kinds L, T, Q, A, O, X and letter
// commands for kinds D, R, S.
#pragma once

#include <cstdint>
#include <xolest/xolest.h>

namespace xol {

constexpr uint32_t COMMAND_TRIES = 3;
constexpr uint32_t COMMAND_REPLY_LENGTH = 3;
// The longest command frame (kind O).
constexpr uint32_t COMMAND_FRAME_MAX = 15;

// Sends the kind's template command with the letter the written value
// selects. RC_REFUSED without any traffic for a kind without a template, a
// value the kind does not accept, a number that does not fit its field, or
// no PointValue.
[[nodiscard]] int32_t SendTemplateCommand(const PointRequest& request);
// Sends the one-letter command of kind D, R or S; any other kind is refused
// without traffic.
[[nodiscard]] int32_t SendLetterCommand(uint32_t kind);

} // namespace xol
