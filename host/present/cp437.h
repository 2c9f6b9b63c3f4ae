// Code page 437 text (the driver's banner) for a UTF-8 terminal.
#pragma once

#include <string>
#include <string_view>

namespace xolhost {

// Every byte becomes the character code page 437 gives it. Bytes below 0x20
// and 0x7F stay control characters (the banner's line feeds stay line feeds).
std::string Cp437ToUtf8(std::string_view text);

} // namespace xolhost
