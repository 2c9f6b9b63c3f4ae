#include "line/cis_frames.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace xolhost {

namespace {

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

// Control point kinds by the code letter of an 11-byte command.
char KindOfShortTemplate(char code) {
    switch (code) {
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

int ValueOfLetter(char kind, char letter) {
    if (kind == 'X') {
        return letter == 'D' ? 0 : letter == 'E' ? 1 : -1;
    }
    constexpr std::string_view ORDER = "RAED";
    auto at = ORDER.find(letter);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

Frame DecodeTemplate(std::string_view frame) {
    Frame out;
    out.kind = FrameKind::UnknownRequest;
    std::string_view body = frame.substr(1, frame.size() - 4);
    char kind = 0;
    if (frame.size() == 11 && AllDigits(body.substr(3, 4))) {
        kind = KindOfShortTemplate(body[2]);
        out.number = Decimal(body.substr(3, 4));
        out.address = fmt::format("{}{:04d}", kind, out.number);
    } else if (frame.size() == 13 && body[2] == 'Z' && body.substr(3, 2) == "00" &&
               AllDigits(body.substr(5, 4))) {
        kind = 'X';
        out.number = Decimal(body.substr(5, 4));
        out.address = fmt::format("X{:04d}", out.number);
    } else if (frame.size() == 15 && body[2] == 'O' && AllDigits(body.substr(3, 2)) &&
               body.substr(5, 2) == "00" && AllDigits(body.substr(7, 4))) {
        kind = 'O';
        out.group = Decimal(body.substr(3, 2));
        out.number = Decimal(body.substr(7, 4));
        out.address = fmt::format("O{:02d}{:04d}", out.group, out.number);
    }
    if (kind == 0) {
        out.address.clear();
        return out;
    }
    out.kind = FrameKind::TemplateCommand;
    out.which = kind;
    out.letter = body[1];
    out.value = ValueOfLetter(kind, out.letter);
    out.checksummed = true;
    out.checksumGood = CisChecksumGood(frame);
    return out;
}

} // namespace

bool CisChecksumGood(std::string_view frame) {
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
    unsigned sum = 0;
    for (std::size_t i = 1; i + 3 < n; ++i) {
        sum += static_cast<unsigned char>(frame[i]);
    }
    return static_cast<uint8_t>(field) == static_cast<uint8_t>(sum);
}

bool CisDecimal(std::string_view field, int& value) {
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

Frame DecodeRequest(std::string_view frame) {
    Frame out;
    out.kind = FrameKind::UnknownRequest;
    if (frame.size() < 3 || frame.front() != '@' || frame.back() != '\r') {
        return out;
    }
    if (frame.size() == 3) {
        switch (frame[1]) {
        case 'S':
            out.kind = FrameKind::StartRequest;
            break;
        case '!':
            out.kind = FrameKind::NextRequest;
            break;
        case 'D':
        case 'R':
            out.kind = FrameKind::LetterCommand;
            out.which = frame[1];
            break;
        case 'O':
            out.kind = FrameKind::LetterCommand;
            out.which = 'S';
            break;
        default:
            break;
        }
        return out;
    }
    if (frame.size() == 4 && frame[1] == 'P' && (frame[2] == 'A' || frame[2] == 'D')) {
        out.kind = FrameKind::CountQuery;
        out.which = frame[2] == 'A' ? 'C' : 'N';
        return out;
    }
    if (frame.size() >= 11 && frame[1] == 'X') {
        return DecodeTemplate(frame);
    }
    return out;
}

Frame DecodeReply(std::string_view frame) {
    Frame out;
    if (frame.size() < 3 || frame.front() != '@' || frame.back() != '\r') {
        return out;
    }
    if (frame.size() == CIS_ANSWER_SIZE) {
        out.kind = frame[1] == 'Z' ? FrameKind::EndReply : FrameKind::CommandAnswer;
        out.which = frame[1];
        return out;
    }
    if (frame.size() == CIS_COUNT_REPLY_SIZE && frame[1] == 'P' &&
        (frame[2] == 'A' || frame[2] == 'D')) {
        out.kind = FrameKind::CountReply;
        out.which = frame[2] == 'A' ? 'C' : 'N';
        out.checksummed = true;
        out.checksumGood = CisChecksumGood(frame);
        if (!CisDecimal(frame.substr(3, 4), out.value)) {
            out.value = -1;
        }
        return out;
    }
    if (frame.size() == CIS_STATUS_RECORD_SIZE && frame[1] != 'Z') {
        out.kind = FrameKind::StatusRecord;
        out.checksummed = true;
        out.checksumGood = CisChecksumGood(frame);
        out.selector = frame[2];
        out.statusCode = frame[4] & 0x0F;
        out.zone = 0;
        int zone = 0;
        if (CisDecimal(frame.substr(7, 4), zone)) {
            out.zone = static_cast<uint16_t>(zone);
        }
        return out;
    }
    if (frame.size() >= 5) {
        out.checksummed = true;
        out.checksumGood = CisChecksumGood(frame);
    }
    return out;
}

uint16_t StatusBitOfCode(int code) {
    static constexpr std::array<uint16_t, 16> BITS{0,    0x01, 0x02, 0x04, 0, 0, 0, 0x08,
                                                   0x10, 0,    0,    0,    0, 0, 0, 0};
    return code >= 0 && code < 16 ? BITS[static_cast<std::size_t>(code)] : 0;
}

RecordUse DriverUseOfRecord(std::string_view record) {
    if (record.size() != CIS_STATUS_RECORD_SIZE || !CisChecksumGood(record)) {
        return RecordUse::BadChecksum;
    }
    int zone = 0;
    if (!CisDecimal(record.substr(7, 4), zone)) {
        zone = 0;
    }
    zone = static_cast<uint16_t>(zone);
    if (zone == 0 || zone > CIS_LAST_ZONE) {
        return RecordUse::IllegalZone;
    }
    const int selector = record[2] & 0x0F;
    if (selector == 1 || selector == 3 || StatusBitOfCode(record[4] & 0x0F) == 0) {
        return RecordUse::Filtered;
    }
    return RecordUse::Applied;
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
            text += fmt::format("\\x{:02X}", byte);
        }
    }
    return text;
}

std::string HexBytes(std::string_view bytes, std::size_t max) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += fmt::format("{:02X}", static_cast<unsigned char>(bytes[i]));
    }
    if (bytes.size() > max) {
        text += " …";
    }
    return text;
}

} // namespace xolhost
