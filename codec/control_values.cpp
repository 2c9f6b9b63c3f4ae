#include "codec/control_values.h"

#include <xolest/xolest.h>

#include <array>
#include <string_view>

namespace cis {

namespace {

constexpr char NONE = 0;

// One row per writable kind: the letter of each value 0..3, NONE where the
// value is refused. Kinds that send a bare letter take any value.
struct KindValues {
    uint32_t kind;
    bool anyValue;
    std::array<char, 4> letters;
};

constexpr std::array<KindValues, 10> VALUE_TABLE{{
    {PK_CONTROL_L, false, {NONE, NONE, 'E', 'D'}},
    {PK_CONTROL_T, false, {NONE, NONE, 'E', 'D'}},
    {PK_CONTROL_Q, false, {'R', 'A', 'E', 'D'}},
    {PK_CONTROL_A, false, {'R', 'A', 'E', 'D'}},
    {PK_GROUP_ZONE, false, {'R', 'A', NONE, NONE}},
    {PK_CONTROL_X, false, {'D', 'E', NONE, NONE}},
    {PK_SYSTEM_D, true, {}},
    {PK_SYSTEM_R, true, {}},
    {PK_SYSTEM_S, true, {}},
    {PK_SCAN, true, {}},
}};

const KindValues* FindKind(uint32_t kind) {
    for (const KindValues& row : VALUE_TABLE) {
        if (row.kind == kind) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

std::string ValuesText(uint32_t kind) {
    const KindValues* row = FindKind(kind);
    if (row == nullptr) {
        return {};
    }
    if (row->anyValue) {
        return "any value";
    }
    std::string text;
    std::size_t left = 0;
    for (char letter : row->letters) {
        left += letter != NONE ? 1 : 0;
    }
    for (std::size_t value = 0; value < row->letters.size(); ++value) {
        if (row->letters[value] == NONE) {
            continue;
        }
        --left;
        text += std::to_string(value) + " (" + row->letters[value] + ")";
        text += left > 1 ? ", " : left == 1 ? " or " : "";
    }
    return text;
}

bool KindTakesValue(uint32_t kind, uint16_t value) {
    const KindValues* row = FindKind(kind);
    if (row == nullptr) {
        return false;
    }
    return row->anyValue || LetterOfValue(kind, value) != NONE;
}

int ValueOfLetter(uint32_t kind, char letter) {
    const KindValues* row = FindKind(kind);
    if (row == nullptr || letter == NONE) {
        return -1;
    }
    std::string_view letters{row->letters.data(), row->letters.size()};
    auto at = letters.find(letter);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

char LetterOfValue(uint32_t kind, uint16_t value) {
    const KindValues* row = FindKind(kind);
    if (row == nullptr || value >= row->letters.size()) {
        return NONE;
    }
    return row->letters[value];
}

} // namespace cis
