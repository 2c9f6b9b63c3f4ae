// Bytes and words as the tools show them: frames written visibly, hex dumps,
// and the distance behind every "did you mean".
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace cis {

// CR, the backslash and other control bytes written visibly ("\r", "\\", "\x00").
std::string Printable(std::string_view bytes);
// Bytes as space-separated upper-case hex pairs; more than `max` end in " …".
std::string HexBytes(std::string_view bytes, std::size_t max = 16);
// The value of one hexadecimal digit (either case), -1 if it is none.
int HexDigit(char c);
// Edits (insert, delete, change a byte) from one word to the other; case counts.
std::size_t EditDistance(std::string_view a, std::string_view b);
// The word of `known` a misspelt `word` most likely meant, case aside: at
// most two edits away, and fewer edits than that word has letters (two for
// one-letter words). Empty when none is that near.
std::string_view NearestWord(std::string_view word, std::span<const std::string_view> known);

} // namespace cis
