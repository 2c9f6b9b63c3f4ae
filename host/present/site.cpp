#include "present/site.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

#include "codec/input_file.h"
#include "codec/json_input.h"
#include "platform/exit_codes.h"

namespace xolhost {

namespace {

using nlohmann::json;

// No site names so many things.
constexpr uint64_t MAX_SITE_BYTES = 4 * cis::MIB;

[[noreturn]] void Fail(const std::string& origin, const std::string& where,
                       const std::string& problem) {
    throw UsageError(
        fmt::format("site file {}: {}{}{}", origin, where, where.empty() ? "" : ": ", problem));
}

std::string Upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// Keys of "zones" and "codes" are decimal numbers in a range.
int NumberKey(const std::string& origin, const std::string& where, const std::string& key,
              int last) {
    bool digits = !key.empty() && key.size() <= 4 &&
                  std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
    int number = digits ? std::stoi(key) : -1;
    if (number < 0 || number > last) {
        Fail(origin, where, fmt::format("\"{}\" is not a number 0..{}", key, last));
    }
    return number;
}

std::string Text(const std::string& origin, const std::string& where, const json& value) {
    if (!value.is_string() || value.get<std::string>().empty()) {
        Fail(origin, where, "must be a text that is not empty");
    }
    return value.get<std::string>();
}

// Two keys for one thing ("12" and "0012", "l0012" and "L0012") would let
// the second name replace the first unseen: it is refused.
template <typename Key>
void NotNamedYet(const std::map<Key, std::string>& names, const Key& key, const std::string& origin,
                 const std::string& where, const char* what) {
    if (names.contains(key)) {
        Fail(origin, where, fmt::format("{} {} is already named", what, key));
    }
}

// A control or zone point address: a letter and four digits, or O and six.
bool LooksLikeAddress(const std::string& address) {
    if (address.size() < 5 || !std::isalpha(static_cast<unsigned char>(address[0]))) {
        return false;
    }
    std::size_t digits = address[0] == 'O' ? 6 : 4;
    return address.size() == digits + 1 &&
           std::all_of(address.begin() + 1, address.end(),
                       [](char c) { return c >= '0' && c <= '9'; }) &&
           std::string("PAQTLXO").find(address[0]) != std::string::npos;
}

} // namespace

const std::string* Site::zoneName(int zone) const {
    auto at = zones.find(zone);
    return at == zones.end() ? nullptr : &at->second;
}

const std::string* Site::codeName(int code) const {
    auto at = codes.find(code);
    return at == codes.end() ? nullptr : &at->second;
}

const std::string* Site::codeClass(int code) const {
    auto at = classes.find(code);
    return at == classes.end() || at->second.empty() ? nullptr : &at->second;
}

const std::string* Site::pointName(std::string_view address) const {
    std::string key = Upper(address);
    auto at = points.find(key);
    if (at != points.end()) {
        return &at->second;
    }
    if (key.size() == 5 && key[0] == 'P') {
        int zone = 0;
        for (char c : key.substr(1)) {
            if (c < '0' || c > '9') {
                return nullptr;
            }
            zone = zone * 10 + (c - '0');
        }
        return zoneName(zone);
    }
    return nullptr;
}

namespace {

// A status code as {"name": "fire alarm", "class": "alarm"}.
void ReadCode(const std::string& origin, const std::string& where, const json& entry,
              std::string& name, std::string& kind) {
    for (const auto& [field, value] : entry.items()) {
        if (field == "name") {
            name = Text(origin, where + ".name", value);
        } else if (field == "class") {
            kind = Text(origin, where + ".class", value);
            if (std::find(std::begin(STATUS_CLASSES), std::end(STATUS_CLASSES), kind) ==
                std::end(STATUS_CLASSES)) {
                Fail(origin, where + ".class",
                     "must be alarm, fault, supervisory, disabled or other");
            }
        } else {
            Fail(origin, where + "." + field, "unknown key (known: name, class)");
        }
    }
    if (name.empty()) {
        Fail(origin, where, "needs a name");
    }
}

} // namespace

Site ParseSite(std::string_view text, const std::string& origin) {
    json root;
    try {
        root = cis::ParseJsonInput(text);
    } catch (const cis::DuplicateKey& e) {
        throw UsageError(fmt::format("site file {}: {}", origin, e.what()));
    } catch (const json::exception& e) {
        Fail(origin, "", fmt::format("not valid JSON ({})", e.what()));
    }
    if (!root.is_object()) {
        Fail(origin, "", "must be a JSON object");
    }
    Site site;
    for (const auto& [key, value] : root.items()) {
        if (key == "$schema") {
            continue;
        }
        if (key == "site") {
            site.name = Text(origin, key, value);
        } else if (key == "zones" || key == "codes" || key == "points") {
            if (!value.is_object()) {
                Fail(origin, key, "must be an object");
            }
            for (const auto& [name, entry] : value.items()) {
                std::string where = key + "." + name;
                if (key == "codes" && entry.is_object()) {
                    int code = NumberKey(origin, where, name, 15);
                    NotNamedYet(site.codes, code, origin, where, "code");
                    ReadCode(origin, where, entry, site.codes[code], site.classes[code]);
                    continue;
                }
                std::string label = Text(origin, where, entry);
                if (key == "zones") {
                    int zone = NumberKey(origin, where, name, 9999);
                    NotNamedYet(site.zones, zone, origin, where, "zone");
                    site.zones[zone] = label;
                } else if (key == "codes") {
                    int code = NumberKey(origin, where, name, 15);
                    NotNamedYet(site.codes, code, origin, where, "code");
                    site.codes[code] = label;
                } else {
                    std::string address = Upper(name);
                    if (!LooksLikeAddress(address)) {
                        Fail(origin, where, "is not a point address such as L0012 or O031250");
                    }
                    NotNamedYet(site.points, address, origin, where, "point");
                    site.points[address] = label;
                }
            }
        } else {
            Fail(origin, key, "unknown key (known: site, zones, codes, points)");
        }
    }
    return site;
}

Site LoadSite(const std::string& path) {
    std::string problem;
    std::optional<std::string> text = cis::ReadInputFile(path, MAX_SITE_BYTES, problem);
    if (!text) {
        throw UsageError(fmt::format("--site {}: {}", path, problem));
    }
    return ParseSite(*text, path);
}

int CodeOfStatusBit(unsigned bit) {
    switch (bit) {
    case 0x01:
        return 1;
    case 0x02:
        return 2;
    case 0x04:
        return 3;
    case 0x08:
        return 7;
    case 0x10:
        return 8;
    default:
        return 0;
    }
}

} // namespace xolhost
