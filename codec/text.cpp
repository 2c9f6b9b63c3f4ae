#include "codec/text.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace cis {

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

void AppendHex(std::string& text, unsigned char byte) {
    text += HEX_DIGITS[byte >> 4];
    text += HEX_DIGITS[byte & 0x0F];
}

} // namespace

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
            text += "\\x";
            AppendHex(text, byte);
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
        AppendHex(text, static_cast<unsigned char>(bytes[i]));
    }
    if (bytes.size() > max) {
        text += " …";
    }
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

std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            std::size_t change = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, change});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string_view NearestWord(std::string_view word, std::span<const std::string_view> known) {
    auto lower = [](std::string_view text) {
        std::string folded(text);
        for (char& c : folded) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return folded;
    };
    const std::string folded = lower(word);
    std::string_view nearest;
    std::size_t best = 3;
    for (std::string_view candidate : known) {
        std::size_t distance = EditDistance(folded, lower(candidate));
        if (distance < best && distance < std::max<std::size_t>(candidate.size(), 2)) {
            best = distance;
            nearest = candidate;
        }
    }
    return nearest;
}

} // namespace cis
