// The values a control point takes when written and the action letters that
// stand for them in the panel's template commands, one table for the host and
// the simulator. The driver keeps its own table: the simulator checks it.
#pragma once

#include <cstdint>
#include <string>

namespace cis {

// The values a point of this kind takes when written, as "2 (E) or 3 (D)";
// "any value" for !D, !R, !S and !Z; empty for kinds that cannot be written.
std::string ValuesText(uint32_t kind); // kind: a PK_* value from xolest.h
bool KindTakesValue(uint32_t kind, uint16_t value);
int ValueOfLetter(uint32_t kind, char letter);     // -1 when the kind has no such letter
char LetterOfValue(uint32_t kind, uint16_t value); // 0 when none

} // namespace cis
