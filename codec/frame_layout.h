// The sizes and fields of the panel's answers, shared by the frame builder
// and the decoder.
#pragma once

#include <cstddef>

namespace cis {

constexpr std::size_t STATUS_RECORD_SIZE = 14; // "@S" ... checksum, CR
constexpr std::size_t COUNT_REPLY_SIZE = 10;   // "@PA" or "@PD", four characters, checksum, CR
constexpr std::size_t SHORT_REPLY_SIZE = 3;    // the end reply and command answers: "@Z\r"

// Fields of a status record: the selector, the status code ('0' + code) and
// the zone in four characters.
constexpr std::size_t RECORD_SELECTOR_AT = 2;
constexpr std::size_t RECORD_STATUS_AT = 4;
constexpr std::size_t RECORD_ZONE_AT = 7;
constexpr std::size_t RECORD_ZONE_WIDTH = 4;
// The count field of a count reply.
constexpr std::size_t COUNT_FIELD_AT = 3;
constexpr std::size_t COUNT_FIELD_WIDTH = 4;

} // namespace cis
