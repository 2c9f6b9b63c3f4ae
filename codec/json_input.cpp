#include "codec/json_input.h"

#include <set>
#include <vector>

namespace cis {

namespace {

using nlohmann::json;

// An object or array being parsed: the keys seen so far, or the place of
// the element being parsed.
struct Level {
    bool object = false;
    std::set<std::string> keys;
    std::string key;       // the member being parsed
    std::size_t index = 0; // the element being parsed
};

// "zones", "events[2].codes": where the innermost level stands.
std::string PlaceOf(const std::vector<Level>& levels) {
    std::string place;
    for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
        if (levels[i].object) {
            place += (place.empty() ? "" : ".") + levels[i].key;
        } else {
            place += "[" + std::to_string(levels[i].index) + "]";
        }
    }
    return place;
}

std::string Message(const std::string& place, const std::string& key) {
    std::string quoted = json(key).dump(-1, ' ', false, json::error_handler_t::replace);
    return (place.empty() ? "" : place + ": ") + "duplicate key " + quoted;
}

} // namespace

DuplicateKey::DuplicateKey(const std::string& place, const std::string& key)
    : std::runtime_error(Message(place, key)), place_(place), key_(key) {}

json ParseJsonInput(std::string_view text) {
    std::vector<Level> levels;
    auto track = [&levels](int, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
            levels.push_back({true, {}, {}, 0});
            break;
        case json::parse_event_t::array_start:
            levels.push_back({false, {}, {}, 0});
            break;
        case json::parse_event_t::key: {
            Level& object = levels.back();
            std::string key = parsed.get<std::string>();
            if (!object.keys.insert(key).second) {
                throw DuplicateKey(PlaceOf(levels), key);
            }
            object.key = std::move(key);
            break;
        }
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            levels.pop_back();
            [[fallthrough]];
        case json::parse_event_t::value:
            // An element of an array is done: the next one has the next index.
            if (!levels.empty() && !levels.back().object) {
                ++levels.back().index;
            }
            break;
        }
        return true;
    };
    return json::parse(text, track);
}

} // namespace cis
