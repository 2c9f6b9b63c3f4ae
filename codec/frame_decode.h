// The frames on the panel line read both ways: the requests the driver sends
// (as the simulated panel and the host's line decoder read them) and the
// panel's answers, read as the driver reads them, so that the host can tell
// what the driver made of each one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/frame_layout.h"

namespace cis {

enum class FrameKind : uint8_t {
    // Sent by the driver.
    StartRequest,    // "@S\r"
    NextRequest,     // "@!\r"
    CountQuery,      // "@PA\r" (!C), "@PD\r" (!N)
    LetterCommand,   // "@D\r", "@R\r", "@O\r" (!D, !R, !S)
    TemplateCommand, // "@X" + letter + code + number fields + checksum + CR
    UnknownRequest,
    // Sent by the panel.
    StatusRecord,  // 14 bytes
    EndReply,      // "@Z\r"
    CountReply,    // 10 bytes
    CommandAnswer, // "@!\r", "@U\r", "@?\r" and any other byte
    Malformed,     // starts with '@', ends with CR, fits no layout
};

struct Frame {
    FrameKind kind = FrameKind::Malformed;
    bool checksummed = false;
    bool checksumGood = false;
    // CountQuery, CountReply: 'C' or 'N'. LetterCommand: the point kind (D, R
    // or S). TemplateCommand: the point kind (L, T, Q, A, O, X).
    // CommandAnswer, EndReply: the byte at offset 1.
    char which = 0;
    char letter = 0;     // TemplateCommand: the action letter
    int value = -1;      // TemplateCommand: the value the letter stands for; CountReply: the count
    int number = 0;      // TemplateCommand: the number (kind O: the zone)
    int group = 0;       // TemplateCommand, kind O
    std::string address; // TemplateCommand: as a host writes it (L0012, O031250)
    // StatusRecord, read as the driver reads it.
    char selector = 0;
    int statusCode = -1;
    int zone = -1; // 0 when the field holds no digit
};

// One frame from the driver, "@" to CR. A template command's checksum is
// judged as the panel judges it: two hex digits, either case.
Frame DecodeRequest(std::string_view frame);
// One frame from the panel, "@" to CR; checksums are judged by the driver's rule.
Frame DecodeReply(std::string_view frame);
// A request in words: "start request", "count query !C", "command L0012
// value 2 (letter E), checksum good".
std::string DescribeRequest(const Frame& request);

// True when the frame's two checksum digits (upper or lower case) match its
// body. A field that is not two hexadecimal digits never matches.
bool FrameChecksumGood(std::string_view frame);
// The driver's checksum rule: the sum of bytes 1..n-4 modulo 256 against
// the field at n-3, n-2, which must start with a hex digit (a second digit
// that is not one leaves a one-digit field).
bool DriverChecksumGood(std::string_view frame);
// A decimal field read as the driver reads it: leading white space, a sign,
// digits. False when it holds no digit.
bool DriverDecimal(std::string_view field, int& value);

// What the driver does with a status record it reads.
enum class RecordUse : uint8_t { Applied, BadChecksum, IllegalZone, Filtered };
RecordUse DriverUseOfRecord(std::string_view record);
// The status bit (ZS_*) a status code sets; 0 when the driver ignores the code.
uint16_t StatusBitOfCode(int code);

} // namespace cis
