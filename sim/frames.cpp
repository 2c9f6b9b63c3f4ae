// Standard library only: the unit tests link these frames into builds that
// have none of the tools' libraries (32-bit, no simulator).
#include "frames.h"

#include <algorithm>
#include <cstdio>

namespace xolsim {

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Decimal(std::string_view digits) {
    int value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

// Control point kinds by the letter at offset 3 of an 11-byte command.
char KindOfShortTemplate(char c) {
    switch (c) {
    case 'P':
        return 'L';
    case 'T':
        return 'T';
    case 'S':
        return 'Q';
    case 'A':
        return 'A';
    default:
        return 0;
    }
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

bool FrameChecksumGood(std::string_view frame) {
    if (frame.size() < 5) {
        return false;
    }
    int high = HexDigit(frame[frame.size() - 3]);
    int low = HexDigit(frame[frame.size() - 2]);
    if (high < 0 || low < 0) {
        return false;
    }
    return (high * 16 + low) == FrameChecksum(frame);
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

int ValueOfLetter(char pointKind, char letter) {
    if (pointKind == 'X') {
        return letter == 'D' ? 0 : letter == 'E' ? 1 : -1;
    }
    constexpr std::string_view order = "RAED";
    auto at = order.find(letter);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

Request ParseRequest(std::string_view frame) {
    Request request;
    if (frame.size() < 3 || frame.front() != '@' || frame.back() != '\r') {
        return request;
    }
    if (frame.size() == 3) {
        switch (frame[1]) {
        case 'S':
            request.kind = RequestKind::StartScan;
            break;
        case '!':
            request.kind = RequestKind::NextRecord;
            break;
        case 'D':
        case 'R':
            request.kind = RequestKind::Letter;
            request.pointKind = frame[1];
            break;
        case 'O':
            request.kind = RequestKind::Letter;
            request.pointKind = 'S';
            break;
        default:
            break;
        }
        return request;
    }
    if (frame.size() == 4) {
        if (frame[1] == 'P' && (frame[2] == 'A' || frame[2] == 'D')) {
            request.kind = RequestKind::CountQuery;
            request.pointKind = frame[2] == 'A' ? 'C' : 'N';
        }
        return request;
    }
    if (frame[1] != 'X') {
        return request;
    }
    std::string_view body = frame.substr(1, frame.size() - 4);
    char kind = 0;
    if (frame.size() == 11 && AllDigits(body.substr(3, 4))) {
        kind = KindOfShortTemplate(body[2]);
        request.number = Decimal(body.substr(3, 4));
        request.address = kind + FourDigits(request.number);
    } else if (frame.size() == 13 && body[2] == 'Z' && body.substr(3, 2) == "00" &&
               AllDigits(body.substr(5, 4))) {
        kind = 'X';
        request.number = Decimal(body.substr(5, 4));
        request.address = "X" + FourDigits(request.number);
    } else if (frame.size() == 15 && body[2] == 'O' && AllDigits(body.substr(3, 2)) &&
               body.substr(5, 2) == "00" && AllDigits(body.substr(7, 4))) {
        kind = 'O';
        request.group = Decimal(body.substr(3, 2));
        request.number = Decimal(body.substr(7, 4));
        char address[32];
        std::snprintf(address, sizeof address, "O%02d%04d", request.group, request.number);
        request.address = address;
    }
    if (kind == 0) {
        request.address.clear();
        return request;
    }
    request.kind = RequestKind::Template;
    request.pointKind = kind;
    request.letter = body[1];
    request.value = ValueOfLetter(kind, request.letter);
    request.checksumOk = FrameChecksumGood(frame);
    return request;
}

std::string Printable(std::string_view bytes) {
    std::string text;
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char hex[] = "\\x00";
            PutHex(&hex[2], byte);
            text += hex;
        }
    }
    return text;
}

} // namespace xolsim
