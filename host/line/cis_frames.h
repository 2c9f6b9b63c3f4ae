// The frames on the panel line as this program reads them, both ways: what
// the driver sends and what the panel answers, decoded for the trace and the
// line figures. Checksums are judged by the same rule as the driver's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace xolhost {

constexpr std::size_t CIS_STATUS_RECORD_SIZE = 14;
constexpr std::size_t CIS_COUNT_REPLY_SIZE = 10;
constexpr std::size_t CIS_ANSWER_SIZE = 3;
constexpr int CIS_LAST_ZONE = 6299;

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
    // CommandAnswer: the answer byte.
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

Frame DecodeRequest(std::string_view frame);
Frame DecodeReply(std::string_view frame);

// The driver's checksum rule: the sum of bytes 1..n-4 modulo 256 against
// the field at n-3, n-2, which must start with a hex digit (a second digit
// that is not one leaves a one-digit field).
bool CisChecksumGood(std::string_view frame);
// A decimal field read as the driver reads it: leading white space, a sign,
// digits. False when it holds no digit.
bool CisDecimal(std::string_view field, int& value);

// What a status record the driver accepts does with it.
enum class RecordUse : uint8_t { Applied, BadChecksum, IllegalZone, Filtered };
RecordUse DriverUseOfRecord(std::string_view record);
// The status bit a status code sets (0: the driver ignores the code).
uint16_t StatusBitOfCode(int code);

// CR and other control bytes written visibly ("\r", "\x00").
std::string Printable(std::string_view bytes);
// Bytes as space-separated hex pairs; more than `max` end in "…".
std::string HexBytes(std::string_view bytes, std::size_t max = 16);

} // namespace xolhost
