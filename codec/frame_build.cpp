// Standard library only: the unit tests link these frames into builds that
// have none of the tools' libraries (32-bit, no simulator).
#include "codec/frame_build.h"

#include <cstdio>

namespace cis {

namespace {

// The value as two upper-case hex digits, written at `at`.
void PutHex(char* at, uint8_t value) {
    constexpr char DIGITS[] = "0123456789ABCDEF";
    at[0] = DIGITS[value >> 4];
    at[1] = DIGITS[value & 0x0F];
}

// A number as four decimal digits, a minus sign counting as one of them.
std::string FourDigits(int value) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d", value);
    return text;
}

} // namespace

uint8_t FrameChecksum(std::string_view frame) {
    if (frame.size() < 5) {
        return 0;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i + 3 < frame.size(); ++i) {
        sum += static_cast<unsigned char>(frame[i]);
    }
    return static_cast<uint8_t>(sum & 0xFFu);
}

std::string CorruptChecksum(std::string frame) {
    if (frame.size() < 5) {
        return frame;
    }
    PutHex(&frame[frame.size() - 3], static_cast<uint8_t>(FrameChecksum(frame) + 0x11));
    return frame;
}

std::string ChecksummedFrame(std::string_view body) {
    std::string frame = "@";
    frame += body;
    frame += "00\r";
    PutHex(&frame[frame.size() - 3], FrameChecksum(frame));
    return frame;
}

std::string StatusRecord(uint16_t zone, uint8_t statusCode, char selector) {
    return StatusRecord(FourDigits(zone % 10000), static_cast<char>('0' + (statusCode & 0x0F)),
                        selector);
}

std::string StatusRecord(std::string_view zoneText, char status, char selector, char spare,
                         char kind) {
    // Offset 1 'S' (never 'Z', which would read as the end reply), 2 the
    // selector, 3 the spare byte, 4 the status code as '0' + code, 5-6 "00",
    // 7-10 the zone, normally four decimal digits.
    std::string body{kind, selector, spare, status, '0', '0'};
    body += zoneText;
    return ChecksummedFrame(body);
}

std::string EndReply() {
    return "@Z\r";
}

std::string CountReply(char which, int value) {
    return CountReply(which, FourDigits(value));
}

std::string CountReply(char which, std::string_view countText) {
    std::string body{'P', which == 'C' ? 'A' : 'D'};
    body += countText;
    return ChecksummedFrame(body);
}

std::string CommandReply(char answer) {
    return std::string{'@', answer, '\r'};
}

} // namespace cis
