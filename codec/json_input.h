// JSON as the tools take it in (site files, scenarios, recordings, serve's
// command bodies): the library's parser, except that an object that holds a
// key twice is refused. The library would keep the last one silently, and a
// zone named twice in a site file is a mistake to be shown, not a choice.
#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <string_view>

namespace cis {

// what(): "zones: duplicate key \"12\"", or "duplicate key \"12\"" in the
// outermost object.
class DuplicateKey : public std::runtime_error {
public:
    DuplicateKey(const std::string& place, const std::string& key);
    // Where the object stands: "zones", "events[2]", "" for the outermost.
    const std::string& place() const { return place_; }
    const std::string& key() const { return key_; }

private:
    std::string place_;
    std::string key_;
};

// Parses as nlohmann::json::parse(text) does, with its exceptions for a
// text that is no JSON; throws DuplicateKey for a key given twice.
nlohmann::json ParseJsonInput(std::string_view text);

} // namespace cis
