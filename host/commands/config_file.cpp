#include "commands/config_file.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <toml++/toml.h>

#include <algorithm>
#include <filesystem>
#include <istream>
#include <optional>

#include "codec/input_file.h"
#include "codec/text.h"
#include "commands/command_table.h"
#include "commands/config_keys.h"
#include "commands/options.h"

namespace xolhost {

namespace {

// A configuration is a page of text: a file much larger is not one.
constexpr uint64_t MAX_CONFIG_BYTES = cis::MIB;

[[noreturn]] void Refuse(const std::string& file, const std::string& where,
                         const std::string& what) {
    throw CLI::ConfigError(fmt::format("{}: {}: {}", file, where, what));
}

std::string TypeName(const toml::node& node) {
    switch (node.type()) {
    case toml::node_type::string:
        return "text";
    case toml::node_type::integer:
        return "a whole number";
    case toml::node_type::floating_point:
        return "a number";
    case toml::node_type::boolean:
        return "true or false";
    case toml::node_type::array:
        return "a list";
    case toml::node_type::table:
        return "a table";
    default:
        return "a date or time";
    }
}

// Checks one value and turns it into what the option takes on the command
// line. Nothing for a value that gives nothing (a flag set to false).
class ValueReader {
public:
    ValueReader(const std::string& file, const ConfigKey& key, const toml::node& node)
        : file_(file), where_(key.path()), key_(key), node_(node) {}

    std::optional<std::vector<std::string>> read() const;

private:
    [[noreturn]] void fail(const std::string& what) const { Refuse(file_, where_, what); }
    [[noreturn]] void wrongType(const std::string& wanted) const {
        fail(fmt::format("must be {}, not {}", wanted, TypeName(node_)));
    }
    std::string text() const;
    std::string path(bool mustExist) const;
    std::string integer() const;
    std::string seconds() const;
    std::string timeout() const;
    std::string stopBits() const;
    std::string parity() const;
    std::vector<std::string> hosts() const;
    std::optional<std::string> textOrFlag(bool isPath) const;

    const std::string& file_;
    std::string where_;
    const ConfigKey& key_;
    const toml::node& node_;
};

std::string ValueReader::text() const {
    const auto* value = node_.as_string();
    if (value == nullptr) {
        wrongType("text");
    }
    if (value->get().empty()) {
        fail("must not be empty");
    }
    return value->get();
}

// Relative to the configuration's own folder, so that a file works from any
// working folder (a service's is /).
std::string ValueReader::path(bool mustExist) const {
    std::filesystem::path given = text();
    if (given.is_relative()) {
        given = std::filesystem::absolute(file_).parent_path() / given;
    }
    std::string resolved = given.lexically_normal().string();
    if (mustExist) {
        if (std::string problem = cis::InputFileProblem(resolved, UINT64_MAX); !problem.empty()) {
            fail(fmt::format("{}: {}", resolved, problem));
        }
    }
    if (key_.kind == ConfigKind::Secret) {
        // A secret the file names is kept from other users.
        if (std::string problem = cis::SecretFileProblem(resolved); !problem.empty()) {
            fail(fmt::format("{}: {}", resolved, problem));
        }
    }
    return resolved;
}

std::string ValueReader::integer() const {
    const auto* value = node_.as_integer();
    if (value == nullptr) {
        wrongType("a whole number");
    }
    if (value->get() < key_.low || value->get() > key_.high) {
        fail(fmt::format("must be {}..{}, not {}", key_.low, key_.high, value->get()));
    }
    return std::to_string(value->get());
}

std::string ValueReader::seconds() const {
    std::optional<double> value = node_.value<double>();
    if (!node_.is_number() || !value) {
        wrongType("a number of seconds");
    }
    if (*value < static_cast<double>(key_.low) || *value > static_cast<double>(key_.high)) {
        fail(fmt::format("must be {}..{} seconds, not {}", key_.low, key_.high, *value));
    }
    return fmt::format("{}", *value);
}

std::string ValueReader::timeout() const {
    std::string given;
    if (const auto* ticks = node_.as_integer()) {
        given = std::to_string(ticks->get());
    } else if (const auto* text = node_.as_string()) {
        given = text->get();
    } else {
        wrongType("units of 10 ms (4) or a text such as \"40ms\" or \"0.5s\"");
    }
    uint32_t ticks = 0;
    if (std::string problem = ParseTimeout(given, ticks); !problem.empty()) {
        fail(problem);
    }
    return given;
}

std::string ValueReader::stopBits() const {
    std::string given;
    if (node_.is_number()) {
        given = fmt::format("{}", node_.value<double>().value_or(0));
    } else if (const auto* text = node_.as_string()) {
        given = text->get();
    } else {
        wrongType("1, 1.5 or 2");
    }
    if (given != "1" && given != "1.5" && given != "2") {
        fail(fmt::format("must be 1, 1.5 or 2, not {}", given));
    }
    return given;
}

std::string ValueReader::parity() const {
    static constexpr std::string_view NAMES[] = {"none", "odd", "even", "mark", "space"};
    std::string given = text();
    std::string lower = given;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (std::find(std::begin(NAMES), std::end(NAMES), lower) != std::end(NAMES)) {
        return lower;
    }
    std::string_view nearest = cis::NearestWord(given, NAMES);
    fail(nearest.empty()
             ? fmt::format("\"{}\" is no parity (none, odd, even, mark, space)", given)
             : fmt::format("\"{}\" is no parity (did you mean \"{}\"?)", given, nearest));
}

std::vector<std::string> ValueReader::hosts() const {
    const auto* list = node_.as_array();
    if (list == nullptr) {
        wrongType("a list of host names");
    }
    std::vector<std::string> names;
    for (const toml::node& item : *list) {
        const auto* name = item.as_string();
        if (name == nullptr || name->get().empty()) {
            fail("must be a list of host names, each a text");
        }
        names.push_back(name->get());
    }
    return names;
}

// true: the option without its value; false: not at all; a text: its value.
std::optional<std::string> ValueReader::textOrFlag(bool isPath) const {
    if (const auto* flag = node_.as_boolean()) {
        return flag->get() ? std::optional<std::string>("") : std::nullopt;
    }
    if (!node_.is_string()) {
        wrongType(isPath ? "true or a scenario file" : "true, false or a topic prefix");
    }
    return isPath ? path(true) : text();
}

std::optional<std::vector<std::string>> ValueReader::read() const {
    using Values = std::vector<std::string>;
    switch (key_.kind) {
    case ConfigKind::Text:
        return Values{text()};
    case ConfigKind::Path:
        return Values{path(false)};
    case ConfigKind::File:
    case ConfigKind::Secret:
        return Values{path(true)};
    case ConfigKind::Flag:
        if (!node_.is_boolean()) {
            wrongType("true or false");
        }
        return node_.value<bool>().value_or(false) ? std::optional(Values{"true"}) : std::nullopt;
    case ConfigKind::Integer:
        return Values{integer()};
    case ConfigKind::Seconds:
        return Values{seconds()};
    case ConfigKind::Timeout:
        return Values{timeout()};
    case ConfigKind::StopBits:
        return Values{stopBits()};
    case ConfigKind::Parity:
        return Values{parity()};
    case ConfigKind::Hosts:
        return hosts();
    case ConfigKind::Scenario:
    case ConfigKind::Discovery:
        if (auto value = textOrFlag(key_.kind == ConfigKind::Scenario)) {
            return Values{*value};
        }
        return std::nullopt;
    }
    return std::nullopt;
}

// Every key of the file is one of ours, every table one of the outputs'.
void CheckLayout(const toml::table& root, const std::string& file) {
    std::vector<std::string_view> known = ConfigKeyNames("");
    const auto tables = ConfigTables();
    known.insert(known.end(), tables.begin(), tables.end());
    for (auto&& [name, node] : root) {
        const std::string key(name.str());
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            std::string_view nearest = cis::NearestWord(key, known);
            Refuse(file, key,
                   nearest.empty() ? "unknown key"
                                   : fmt::format("unknown key (did you mean \"{}\"?)", nearest));
        }
        if (std::find(tables.begin(), tables.end(), key) == tables.end()) {
            continue;
        }
        const toml::table* table = node.as_table();
        if (table == nullptr) {
            Refuse(file, key, fmt::format("must be a table ([{}]), not {}", key, TypeName(node)));
        }
        const std::vector<std::string_view> keys = ConfigKeyNames(key);
        for (auto&& [inner, value] : *table) {
            const std::string innerKey(inner.str());
            if (std::find(keys.begin(), keys.end(), innerKey) != keys.end()) {
                continue;
            }
            std::string_view nearest = cis::NearestWord(innerKey, keys);
            Refuse(file, key + "." + innerKey,
                   nearest.empty() ? fmt::format("unknown key (known: {})", fmt::join(keys, ", "))
                                   : fmt::format("unknown key (did you mean \"{}\"?)", nearest));
        }
    }
}

// A value read from the file, bound for its option.
struct Pending {
    const ConfigKey* key;
    CLI::Option* option;
    CLI::App* owner; // the command the option belongs to; null: the program's
    std::vector<std::string> values;
};

class TomlConfig : public CLI::Config {
public:
    TomlConfig(CLI::App& app, Options& options) : app_(app), options_(options) {}

    std::string to_config(const CLI::App*, bool, bool, std::string) const override { return {}; }
    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;

private:
    std::vector<Pending> read(const toml::table& root, CLI::App* command) const;
    void checkTogether(const std::vector<Pending>& pending) const;

    CLI::App& app_;
    Options& options_;
};

toml::table ParseToml(std::istream& input, const std::string& file) {
    std::string text(MAX_CONFIG_BYTES + 1, '\0');
    input.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(input.gcount()));
    if (text.size() > MAX_CONFIG_BYTES) {
        throw CLI::ConfigError(
            fmt::format("{}: larger than {}", file, cis::SizeText(MAX_CONFIG_BYTES)));
    }
    try {
        return toml::parse(text, file);
    } catch (const toml::parse_error& e) {
        throw CLI::ConfigError(fmt::format("{}:{}:{}: {}", file, e.source().begin.line,
                                           e.source().begin.column, e.description()));
    }
}

// The option a key sets for this command; null when the key means nothing
// to it (serve's keys to scan, the line's to describe).
CLI::Option* OptionFor(CLI::App& app, CLI::App& command, const ConfigKey& key, CLI::App*& owner) {
    const std::string name(key.option);
    owner = &command;
    if (CLI::Option* option = command.get_option_no_throw(name)) {
        return option;
    }
    owner = nullptr;
    const CommandSpec* entry = FindCommand(command.get_name());
    const bool panel = command.get_name() == "config" || (entry != nullptr && entry->needsPanel);
    return key.panelOnly && !panel ? nullptr : app.get_option_no_throw(name);
}

std::vector<Pending> TomlConfig::read(const toml::table& root, CLI::App* command) const {
    std::vector<Pending> pending;
    for (const ConfigKey& key : ConfigKeys()) {
        const toml::node* node =
            key.table.empty() ? root.get(key.name) : root.at_path(key.path()).node();
        if (node == nullptr) {
            continue;
        }
        // Every value is checked, whether this command takes it or not.
        std::optional<std::vector<std::string>> values =
            ValueReader(options_.configFile, key, *node).read();
        CLI::App* owner = nullptr;
        CLI::Option* option = command ? OptionFor(app_, *command, key, owner) : nullptr;
        if (!values || option == nullptr || option->count() > 0) {
            continue; // nothing to give, not for this command, or the command line gave it
        }
        const auto excluded = option->get_excludes();
        if (std::any_of(excluded.begin(), excluded.end(),
                        [](const CLI::Option* other) { return other->count() > 0; })) {
            continue; // the command line chose what excludes it
        }
        pending.push_back({&key, option, owner, std::move(*values)});
    }
    return pending;
}

// What the file gives must go together: nothing it gives excludes another
// of its values, and what a value needs is given too.
void TomlConfig::checkTogether(const std::vector<Pending>& pending) const {
    auto find = [&](const CLI::Option* option) {
        return std::find_if(pending.begin(), pending.end(),
                            [option](const Pending& p) { return p.option == option; });
    };
    for (const Pending& item : pending) {
        for (const CLI::Option* other : item.option->get_excludes()) {
            if (auto it = find(other); it != pending.end()) {
                Refuse(options_.configFile, item.key->path(),
                       fmt::format("excludes {}: give one of them", it->key->path()));
            }
        }
        for (const CLI::Option* needed : item.option->get_needs()) {
            if (needed->count() == 0 && find(needed) == pending.end()) {
                const auto names = needed->get_lnames();
                const ConfigKey* key =
                    names.empty() ? nullptr : FindConfigKey("--" + names.front());
                Refuse(options_.configFile, item.key->path(),
                       fmt::format("needs {}", key ? key->path() : needed->get_name()));
            }
        }
    }
}

std::vector<CLI::ConfigItem> TomlConfig::from_config(std::istream& input) const {
    const toml::table root = ParseToml(input, options_.configFile);
    CheckLayout(root, options_.configFile);
    std::vector<CLI::App*> commands = app_.get_subcommands();
    std::vector<Pending> pending = read(root, commands.empty() ? nullptr : commands.front());
    checkTogether(pending);
    std::vector<CLI::ConfigItem> items;
    for (Pending& item : pending) {
        CLI::ConfigItem config;
        if (item.owner != nullptr) {
            config.parents.push_back(item.owner->get_name());
        }
        config.name = std::string(item.key->option.substr(2));
        config.inputs = std::move(item.values);
        items.push_back(std::move(config));
        options_.settingOrigins[item.key->path()] = "file";
    }
    return items;
}

} // namespace

void AddConfigOption(CLI::App& app, Options& options) {
    app.set_config("--config", "",
                   "Read the options the command line leaves out from this TOML file")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [&options](std::string& path) {
                options.configFile = path;
                std::string problem = cis::InputFileProblem(path, MAX_CONFIG_BYTES);
                return problem.empty() ? problem : fmt::format("{}: {}", path, problem);
            },
            ""))
        ->trigger_on_parse();
    app.config_formatter(std::make_shared<TomlConfig>(app, options));
}

void NoteCommandLine(const CLI::App& app, Options& options) {
    const std::vector<CLI::App*> commands = app.get_subcommands();
    if (commands.empty()) {
        return;
    }
    for (const ConfigKey& key : ConfigKeys()) {
        const std::string name(key.option);
        const CLI::Option* option = commands.front()->get_option_no_throw(name);
        if (option == nullptr) {
            option = app.get_option_no_throw(name);
        }
        if (option != nullptr && option->count() > 0) {
            options.settingOrigins.try_emplace(key.path(), "command line");
        }
    }
}

} // namespace xolhost
