#include "codec/frame_decode.h"

#include <xolest/xolest.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "codec/control_values.h"
#include "codec/frame_build.h"
#include "codec/text.h"

namespace cis {

namespace {

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

// Control point kinds by the code letter of an 11-byte command.
char KindOfShortTemplate(char code) {
    switch (code) {
    case 'P':
        return PK_CONTROL_L;
    case 'T':
        return PK_CONTROL_T;
    case 'S':
        return PK_CONTROL_Q;
    case 'A':
        return PK_CONTROL_A;
    default:
        return 0;
    }
}

std::string Address(char kind, int group, int number) {
    char text[32];
    if (kind == PK_GROUP_ZONE) {
        std::snprintf(text, sizeof text, "O%02d%04d", group, number);
    } else {
        std::snprintf(text, sizeof text, "%c%04d", kind, number);
    }
    return text;
}

// "@X", the action letter, the code letter, the number fields, checksum, CR.
Frame DecodeTemplate(std::string_view frame) {
    Frame out;
    out.kind = FrameKind::UnknownRequest;
    std::string_view body = frame.substr(1, frame.size() - 4);
    char kind = 0;
    if (frame.size() == 11 && AllDigits(body.substr(3, 4))) {
        kind = KindOfShortTemplate(body[2]);
        out.number = Decimal(body.substr(3, 4));
    } else if (frame.size() == 13 && body[2] == 'Z' && body.substr(3, 2) == "00" &&
               AllDigits(body.substr(5, 4))) {
        kind = PK_CONTROL_X;
        out.number = Decimal(body.substr(5, 4));
    } else if (frame.size() == 15 && body[2] == 'O' && AllDigits(body.substr(3, 2)) &&
               body.substr(5, 2) == "00" && AllDigits(body.substr(7, 4))) {
        kind = PK_GROUP_ZONE;
        out.group = Decimal(body.substr(3, 2));
        out.number = Decimal(body.substr(7, 4));
    }
    if (kind == 0) {
        out.number = 0;
        out.group = 0;
        return out;
    }
    out.kind = FrameKind::TemplateCommand;
    out.which = kind;
    out.address = Address(kind, out.group, out.number);
    out.letter = body[1];
    out.value = ValueOfLetter(static_cast<unsigned char>(kind), out.letter);
    out.checksummed = true;
    out.checksumGood = FrameChecksumGood(frame);
    return out;
}

Frame DecodeThreeByteRequest(char letter) {
    Frame out;
    out.kind = FrameKind::UnknownRequest;
    switch (letter) {
    case 'S':
        out.kind = FrameKind::StartRequest;
        break;
    case '!':
        out.kind = FrameKind::NextRequest;
        break;
    case 'D':
    case 'R':
        out.kind = FrameKind::LetterCommand;
        out.which = letter;
        break;
    case 'O':
        out.kind = FrameKind::LetterCommand;
        out.which = PK_SYSTEM_S;
        break;
    default:
        break;
    }
    return out;
}

bool IsCountFrame(std::string_view frame) {
    return frame[1] == 'P' && (frame[2] == 'A' || frame[2] == 'D');
}

char CountOfFrame(std::string_view frame) {
    return frame[2] == 'A' ? PK_COUNT_C : PK_COUNT_N;
}

bool FramedByAtAndCr(std::string_view frame) {
    return frame.size() >= 3 && frame.front() == '@' && frame.back() == '\r';
}

void JudgeChecksum(Frame& out, std::string_view frame) {
    out.checksummed = true;
    out.checksumGood = DriverChecksumGood(frame);
}

} // namespace

Frame DecodeRequest(std::string_view frame) {
    Frame out;
    out.kind = FrameKind::UnknownRequest;
    if (!FramedByAtAndCr(frame)) {
        return out;
    }
    if (frame.size() == 3) {
        return DecodeThreeByteRequest(frame[1]);
    }
    if (frame.size() == 4 && IsCountFrame(frame)) {
        out.kind = FrameKind::CountQuery;
        out.which = CountOfFrame(frame);
        return out;
    }
    if (frame.size() >= 11 && frame[1] == 'X') {
        return DecodeTemplate(frame);
    }
    return out;
}

Frame DecodeReply(std::string_view frame) {
    Frame out;
    if (!FramedByAtAndCr(frame)) {
        return out;
    }
    if (frame.size() == SHORT_REPLY_SIZE) {
        out.kind = frame[1] == 'Z' ? FrameKind::EndReply : FrameKind::CommandAnswer;
        out.which = frame[1];
        return out;
    }
    if (frame.size() == COUNT_REPLY_SIZE && IsCountFrame(frame)) {
        out.kind = FrameKind::CountReply;
        out.which = CountOfFrame(frame);
        JudgeChecksum(out, frame);
        if (!DriverDecimal(frame.substr(COUNT_FIELD_AT, COUNT_FIELD_WIDTH), out.value)) {
            out.value = -1;
        }
        return out;
    }
    if (frame.size() == STATUS_RECORD_SIZE && frame[1] != 'Z') {
        out.kind = FrameKind::StatusRecord;
        JudgeChecksum(out, frame);
        out.selector = frame[RECORD_SELECTOR_AT];
        out.statusCode = frame[RECORD_STATUS_AT] & 0x0F;
        int zone = 0;
        out.zone = DriverDecimal(frame.substr(RECORD_ZONE_AT, RECORD_ZONE_WIDTH), zone)
                       ? static_cast<uint16_t>(zone)
                       : 0;
        return out;
    }
    if (frame.size() >= 5) {
        JudgeChecksum(out, frame);
    }
    return out;
}

std::string DescribeRequest(const Frame& request) {
    switch (request.kind) {
    case FrameKind::StartRequest:
        return "start request";
    case FrameKind::NextRequest:
        return "next request";
    case FrameKind::CountQuery:
        return std::string("count query !") + request.which;
    case FrameKind::LetterCommand:
        return std::string("system command !") + request.which;
    case FrameKind::TemplateCommand:
        return "command " + request.address + " value " + std::to_string(request.value) +
               " (letter " + request.letter + "), checksum " +
               (request.checksumGood ? "good" : "bad");
    default:
        return "unknown request";
    }
}

bool FrameChecksumGood(std::string_view frame) {
    if (frame.size() < 5) {
        return false;
    }
    const int high = HexDigit(frame[frame.size() - 3]);
    const int low = HexDigit(frame[frame.size() - 2]);
    if (high < 0 || low < 0) {
        return false;
    }
    return (high * 16 + low) == FrameChecksum(frame);
}

bool DriverChecksumGood(std::string_view frame) {
    const std::size_t n = frame.size();
    if (n < 5) {
        return false;
    }
    const int high = HexDigit(frame[n - 3]);
    if (high < 0) {
        return false;
    }
    const int low = HexDigit(frame[n - 2]);
    const int field = low < 0 ? high : high * 16 + low;
    return static_cast<uint8_t>(field) == FrameChecksum(frame);
}

bool DriverDecimal(std::string_view field, int& value) {
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    bool any = false;
    int number = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        number = number * 10 + (field[i] - '0');
        any = true;
    }
    if (any) {
        value = negative ? -number : number;
    }
    return any;
}

uint16_t StatusBitOfCode(int code) {
    static constexpr std::array<uint16_t, 16> BITS{
        0, ZS_CODE1, ZS_CODE2, ZS_CODE3, 0, 0, 0, ZS_CODE7, ZS_CODE8, 0, 0, 0, 0, 0, 0, 0};
    return code >= 0 && code < 16 ? BITS[static_cast<std::size_t>(code)] : 0;
}

RecordUse DriverUseOfRecord(std::string_view record) {
    // A record that does not begin with '@' and end with CR is damaged,
    // whatever its checksum says.
    if (record.size() != STATUS_RECORD_SIZE || record.front() != '@' || record.back() != '\r' ||
        !DriverChecksumGood(record)) {
        return RecordUse::BadChecksum;
    }
    int zone = 0;
    if (!DriverDecimal(record.substr(RECORD_ZONE_AT, RECORD_ZONE_WIDTH), zone)) {
        zone = 0;
    }
    zone = static_cast<uint16_t>(zone);
    if (zone == 0 || zone > ZONE_COUNT) {
        return RecordUse::IllegalZone;
    }
    const int selector = record[RECORD_SELECTOR_AT] & 0x0F;
    if (selector == 1 || selector == 3 || StatusBitOfCode(record[RECORD_STATUS_AT] & 0x0F) == 0) {
        return RecordUse::Filtered;
    }
    return RecordUse::Applied;
}

} // namespace cis
