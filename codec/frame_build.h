// The panel's frames as the simulator and the test doubles send them:
// checksummed frames, status records, end, count and command replies.
// Written independently of the driver's frame layer, so that tests can hold
// one against the other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/frame_layout.h"

namespace cis {

// Sum of the body bytes (everything between the leading "@" and the two
// checksum digits before the final CR) modulo 256. Frames shorter than five
// bytes carry no checksum and give 0.
uint8_t FrameChecksum(std::string_view frame);
// The frame with its checksum digits replaced by a wrong, well-formed value.
std::string CorruptChecksum(std::string frame);

// "@" + body + two upper-case hex digits + CR.
std::string ChecksummedFrame(std::string_view body);

// A 14-byte status record for one zone and one status code (0..15). The
// selector sits at offset 2; the panel's own records use '0'.
std::string StatusRecord(uint16_t zone, uint8_t statusCode, char selector = '0');
// The same record from its fields as they are written, for records the
// panel would not send (zone fields that are not four digits, bare status
// bytes): offset 1 `kind`, 2 the selector, 3 `spare`, 4 `status`, 7-10
// `zoneText`.
std::string StatusRecord(std::string_view zoneText, char status, char selector = '0',
                         char spare = '0', char kind = 'S');
// The 3-byte end of a status report.
std::string EndReply();
// The 10-byte answer to a count query: which is 'C' or 'N', value -999..9999.
std::string CountReply(char which, int value);
// The same with its count field as written (four characters, not
// necessarily a number).
std::string CountReply(char which, std::string_view countText);
// The 3-byte answer to a command: '!' done, 'U' refused (template commands),
// '?' refused (letter commands), or any other byte.
std::string CommandReply(char answer);

} // namespace cis
