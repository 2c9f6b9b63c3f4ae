// The panel's side of the CIS frames: what the simulated panel sends, and
// how it reads what the driver sends. Written independently of the driver's
// frame layer, so that tests can hold one against the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xolsim {

constexpr std::size_t STATUS_RECORD_SIZE = 14;
constexpr std::size_t COUNT_REPLY_SIZE = 10;
constexpr std::size_t SHORT_REPLY_SIZE = 3;

// Sum of the body bytes (everything between the leading "@" and the two
// checksum digits before the final CR) modulo 256. Frames shorter than five
// bytes carry no checksum and give 0.
uint8_t FrameChecksum(std::string_view frame);
// True when the frame's two checksum digits (upper or lower case) match its
// body. A field that is not two hexadecimal digits never matches.
bool FrameChecksumGood(std::string_view frame);
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

// What the panel makes of one frame from the driver.
enum class RequestKind {
    StartScan,  // "@S\r"
    NextRecord, // "@!\r"
    Letter,     // "@D\r", "@R\r", "@O\r": system commands
    CountQuery, // "@PA\r" (C), "@PD\r" (N)
    Template,   // checksummed control commands
    Unknown,
};

struct Request {
    RequestKind kind = RequestKind::Unknown;
    // Letter: the point kind (D, R or S). CountQuery: C or N. Template: the
    // point kind L, T, Q, A, O or X.
    char pointKind = 0;
    char letter = 0; // Template: the action letter at offset 2
    int value = -1;  // Template: the value that letter stands for, -1 if none
    int number = 0;  // Template: the number (kind O: the zone)
    int group = 0;   // Template, kind O: the group
    bool checksumOk = true;
    // Template: the point's address as a host writes it (L0012, O031250).
    std::string address;
};

// Decodes one frame that starts with "@" and ends with CR.
Request ParseRequest(std::string_view frame);

// The value that an action letter stands for on a control point of the given
// kind, or -1 when that kind has no such letter.
int ValueOfLetter(char pointKind, char letter);

// The frame with CR and other control bytes written visibly ("\r", "\x00").
std::string Printable(std::string_view bytes);

} // namespace xolsim
