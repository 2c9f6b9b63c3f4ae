#include "protocol/control_command.h"

#include <array>
#include <span>

#include "protocol/exchange.h"
#include "protocol/frame.h"

namespace xol {

namespace {

constexpr char NOT_ACCEPTED = 0;

// The panel's three-byte answer: offset 1 is the answer, once "@" and CR
// show that the read was in step with the panel's frame.
using CommandReply = std::array<uint8_t, COMMAND_REPLY_LENGTH>;

bool Framed(std::span<const uint8_t> answer) {
    return CisFramed(answer.data(), static_cast<uint32_t>(answer.size()));
}

// "@", the command letter, CR: no number, no checksum.
using LetterCommand = std::array<uint8_t, 3>;

// One row of the command table. Every frame is "@X", the letter the value
// selects, the row's code letter, then its number fields, the checksum and CR.
enum class Layout : uint8_t {
    Number,     // the number in four digits: "@X?P0012CC\r"
    ZeroNumber, // "00" and the number in four digits: "@X?Z000042CC\r"
    GroupZone,  // group in two digits, "00", zone in four: "@X?O05000123CC\r"
};

struct TemplateCommand {
    uint32_t kind;
    char code;
    Layout layout;
    uint32_t length;
    std::array<char, 4> letters; // by value; NOT_ACCEPTED where the value is refused
};

constexpr std::array<TemplateCommand, 6> COMMAND_TABLE{{
    // "@XEP%.4dCC\r"
    {PK_CONTROL_L, 'P', Layout::Number, 11, {NOT_ACCEPTED, NOT_ACCEPTED, 'E', 'D'}},
    // "@XET%.4dCC\r"
    {PK_CONTROL_T, 'T', Layout::Number, 11, {NOT_ACCEPTED, NOT_ACCEPTED, 'E', 'D'}},
    // "@XAS%.4dCC\r"
    {PK_CONTROL_Q, 'S', Layout::Number, 11, {'R', 'A', 'E', 'D'}},
    // "@XAA%.4dCC\r"
    {PK_CONTROL_A, 'A', Layout::Number, 11, {'R', 'A', 'E', 'D'}},
    // "@XAO%.2d00%.4dCC\r"
    {PK_GROUP_ZONE, 'O', Layout::GroupZone, 15, {'R', 'A', NOT_ACCEPTED, NOT_ACCEPTED}},
    // "@XDZ00%.4dCC\r"
    {PK_CONTROL_X, 'Z', Layout::ZeroNumber, 13, {'D', 'E', NOT_ACCEPTED, NOT_ACCEPTED}},
}};

constexpr uint32_t MAX_NUMBER = 9999; // four digits
constexpr uint32_t MAX_GROUP = 99;    // two digits

const TemplateCommand* FindCommand(uint32_t kind) {
    for (const TemplateCommand& command : COMMAND_TABLE) {
        if (command.kind == kind) {
            return &command;
        }
    }
    return nullptr;
}

// Writes value in exactly `width` decimal digits, leading zeros added; the
// caller has checked that it fits.
uint8_t* PutDecimal(uint8_t* out, uint32_t value, uint32_t width) {
    for (uint32_t i = width; i > 0; --i) {
        out[i - 1] = static_cast<uint8_t>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// Builds the frame into `frame`; 0 when the number does not fit the row's
// fields (such a number would push the checksum out of its place).
uint32_t BuildFrame(const TemplateCommand& command, char letter, uint32_t number,
                    std::span<uint8_t, COMMAND_FRAME_MAX> frame) {
    uint8_t* out = frame.data();
    *out++ = '@';
    *out++ = 'X';
    *out++ = static_cast<uint8_t>(letter);
    *out++ = static_cast<uint8_t>(command.code);
    switch (command.layout) {
    case Layout::Number:
        if (number > MAX_NUMBER) {
            return 0;
        }
        out = PutDecimal(out, number, 4);
        break;
    case Layout::ZeroNumber:
        if (number > MAX_NUMBER) {
            return 0;
        }
        out = PutDecimal(out, 0, 2);
        out = PutDecimal(out, number, 4);
        break;
    case Layout::GroupZone: {
        // Bits 24-31 carry nothing.
        const uint32_t group = (number >> 16) & 0xFFu;
        const uint32_t zone = number & 0xFFFFu;
        if (group > MAX_GROUP || zone > MAX_NUMBER) {
            return 0;
        }
        out = PutDecimal(out, group, 2);
        out = PutDecimal(out, 0, 2);
        out = PutDecimal(out, zone, 4);
        break;
    }
    }
    const uint8_t sum = CisChecksum(frame.data(), command.length);
    *out++ = static_cast<uint8_t>(HEX_DIGITS[sum >> 4]);
    *out++ = static_cast<uint8_t>(HEX_DIGITS[sum & 0x0Fu]);
    *out++ = '\r';
    return static_cast<uint32_t>(out - frame.data());
}

} // namespace

int32_t SendTemplateCommand(const PointRequest& request) {
    const TemplateCommand* command = FindCommand(request.kind);
    if (command == nullptr || request.data == nullptr) {
        return RC_REFUSED;
    }
    const uint16_t value = static_cast<const PointValue*>(request.data)->value;
    if (value >= command->letters.size() || command->letters[value] == NOT_ACCEPTED) {
        return RC_REFUSED;
    }
    std::array<uint8_t, COMMAND_FRAME_MAX> frame{};
    const uint32_t length = BuildFrame(*command, command->letters[value], request.number, frame);
    if (length != command->length) {
        return RC_REFUSED;
    }
    CommandReply reply{};
    return AskWithRetries(std::span<const uint8_t>(frame.data(), length), reply, COMMAND_TRIES,
                          [](std::span<const uint8_t> answer) {
                              if (!Framed(answer)) {
                                  return Verdict{false, RC_FAILED};
                              }
                              switch (answer[1]) {
                              case '!':
                                  return Verdict{true, RC_DONE};
                              case 'U':
                                  return Verdict{true, RC_REFUSED};
                              default:
                                  // Not understood, perhaps: send again.
                                  return Verdict{false, RC_FAILED};
                              }
                          });
}

int32_t SendLetterCommand(uint32_t kind) {
    uint8_t letter = 0;
    switch (kind) {
    case PK_SYSTEM_D:
        letter = 'D';
        break;
    case PK_SYSTEM_R:
        letter = 'R';
        break;
    case PK_SYSTEM_S:
        letter = 'O';
        break;
    default:
        return RC_REFUSED;
    }
    const LetterCommand frame{'@', letter, '\r'};
    CommandReply reply{};
    // The first framed answer decides: only "?" refuses. A misframed one
    // (noise before "@?" reads as "x@?") is never taken for done.
    return AskWithRetries(frame, reply, COMMAND_TRIES, [](std::span<const uint8_t> answer) {
        if (!Framed(answer)) {
            return Verdict{false, RC_FAILED};
        }
        return Verdict{true, answer[1] == '?' ? RC_REFUSED : RC_DONE};
    });
}

} // namespace xol
