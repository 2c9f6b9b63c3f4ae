// The host's site file reader on arbitrary texts: it answers a Site or
// throws UsageError naming the file, nothing else. A site it accepts names
// zones 0..9999 and status codes 0..15 with texts that are not empty, and
// points by their upper-case address; each name is found again through the
// lookups the commands use, and none replaced another.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/exit_codes.h"
#include "present/site.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool PointAddressForm(const std::string& address) {
    if (address.empty() || std::string_view("PAQTLXO").find(address[0]) == std::string::npos) {
        return false;
    }
    const std::size_t digits = address[0] == 'O' ? 6 : 4;
    return address.size() == digits + 1 &&
           std::all_of(address.begin() + 1, address.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

void CheckSite(const xolhost::Site& site) {
    for (const auto& [zone, name] : site.zones) {
        Require(zone >= 0 && zone <= 9999);
        Require(!name.empty());
        Require(site.zoneName(zone) == &name);
    }
    for (const auto& [code, meaning] : site.codes) {
        Require(code >= 0 && code <= 15);
        Require(!meaning.empty());
        Require(site.codeName(code) == &meaning);
    }
    for (const auto& [address, name] : site.points) {
        Require(PointAddressForm(address));
        Require(!name.empty());
        // Found in either case, as the user types it.
        std::string lower = address;
        lower[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[0])));
        Require(site.pointName(lower) == &name);
    }
    // A zone address without a point of its own is named by its zone.
    for (const auto& [zone, name] : site.zones) {
        const std::string address = fmt::format("P{:04}", zone);
        if (!site.points.contains(address)) {
            Require(site.pointName(address) == &name);
        }
    }
}

// Every entry of the file is in the site: none replaced another silently.
void CheckNothingDropped(std::string_view text, const xolhost::Site& site) {
    const nlohmann::json root = nlohmann::json::parse(text);
    auto entries = [&](const char* key) { return root.contains(key) ? root[key].size() : 0; };
    Require(site.zones.size() == entries("zones"));
    Require(site.codes.size() == entries("codes"));
    Require(site.points.size() == entries("points"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    xolhost::Site site;
    try {
        site = xolhost::ParseSite(text, "site.json");
    } catch (const xolhost::UsageError& e) {
        Require(std::string_view(e.what()).find("site.json") != std::string_view::npos);
        return 0;
    }
    CheckSite(site);
    CheckNothingDropped(text, site);
    return 0;
}
