#include "points/address.h"

#include <array>
#include <string_view>

namespace xol {

namespace {

// Every check first copies the text here, folded to upper case and padded
// with spaces to seven characters.
std::array<char, ADDRESS_LENGTH> g_addressBuffer;

using AddressTemplate = std::array<std::string_view, ADDRESS_LENGTH>;

constexpr std::string_view DIGITS = "0123456789";

constexpr AddressTemplate NUMBERED_FORM{"PAXQTL", DIGITS, DIGITS, DIGITS, DIGITS, " ", " "};
constexpr AddressTemplate SYSTEM_FORM{"!", "ZRSDNC", " ", " ", " ", " ", " "};
constexpr AddressTemplate GROUP_FORM{"O", DIGITS, DIGITS, "0123456", DIGITS, DIGITS, DIGITS};

constexpr std::array<const AddressTemplate*, 3> ADDRESS_TEMPLATES{&NUMBERED_FORM, &SYSTEM_FORM,
                                                                  &GROUP_FORM};

constexpr char FoldUpper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x61 && byte <= 0x7F) ? static_cast<char>(byte - 0x20) : c;
}

// Copies at most seven characters. A longer text counts only when all that
// follows its seventh character is spaces (hosts pad fixed-width fields).
bool LoadAddress(const char* text) {
    size_t i = 0;
    for (; i < ADDRESS_LENGTH && text[i] != '\0'; ++i) {
        g_addressBuffer[i] = FoldUpper(text[i]);
    }
    for (size_t j = i; j < ADDRESS_LENGTH; ++j) {
        g_addressBuffer[j] = ' ';
    }
    for (const char* rest = text + i; *rest != '\0'; ++rest) {
        if (*rest != ' ') {
            return false;
        }
    }
    return true;
}

bool Fits(const AddressTemplate& form) {
    for (size_t i = 0; i < ADDRESS_LENGTH; ++i) {
        if (form[i].find(g_addressBuffer[i]) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// The template guarantees digits here.
int32_t Decimal(size_t first, size_t count) {
    int32_t value = 0;
    for (size_t i = first; i < first + count; ++i) {
        value = value * 10 + (g_addressBuffer[i] - '0');
    }
    return value;
}

} // namespace

int32_t CheckPointDefinition(PointDefinition& definition) {
    if (definition.text == nullptr || !LoadAddress(definition.text)) {
        return RC_REFUSED;
    }
    bool fits = false;
    for (const AddressTemplate* form : ADDRESS_TEMPLATES) {
        if (Fits(*form)) {
            fits = true;
            break;
        }
    }
    if (!fits) {
        return RC_REFUSED;
    }

    definition.presetA = PRESET_A;
    definition.presetB = PRESET_B;
    definition.presetC = PRESET_C;
    const char lead = g_addressBuffer[0];
    definition.kind = static_cast<uint32_t>(lead);

    switch (lead) {
    case '!':
        definition.kind = static_cast<uint32_t>(g_addressBuffer[1]);
        return RC_DONE;
    case PK_ZONE:
        definition.number = Decimal(1, 4);
        return definition.number > ZONE_COUNT ? RC_REFUSED : RC_DONE;
    case PK_GROUP_ZONE: {
        const int32_t zone = Decimal(3, 4);
        definition.number = zone;
        if (zone > ZONE_COUNT) {
            return RC_REFUSED;
        }
        const int32_t group = Decimal(1, 2);
        definition.number = zone | ((group & 0xFF) << 16);
        return RC_DONE;
    }
    default: // A, Q, T, L, X: no range of their own
        definition.number = Decimal(1, 4);
        return RC_DONE;
    }
}

int32_t CheckBlockDefinition(PointDefinition& definition) {
    if (CheckPointDefinition(definition) != RC_DONE) {
        return RC_REFUSED;
    }
    if (definition.kind != PK_ZONE || definition.count > BLOCK_MAX_COUNT) {
        return RC_REFUSED;
    }
    return RC_DONE;
}

int32_t CheckPoint(const DriverRequest& request) {
    return CheckPointDefinition(*static_cast<PointDefinition*>(request.params));
}

int32_t CheckBlock(const DriverRequest& request) {
    return CheckBlockDefinition(*static_cast<PointDefinition*>(request.params));
}

} // namespace xol
