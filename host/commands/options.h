// The command line of xolhost: its options and commands, their help with
// examples, and the checks that turn a mistyped line into a clear message.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace xolhost {

struct Options {
    std::string command;

    // Global options.
    std::string module;
    std::string port;
    std::optional<uint32_t> timeout; // units of 10 ms
    std::optional<uint32_t> baud;
    std::optional<uint16_t> dataBits;
    std::optional<uint16_t> stopBits; // the driver's code: 0 one, 1 one and a half, 2 two
    std::optional<uint16_t> parity;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    bool json = false;
    bool utc = false;
    bool strict = false;
    bool direct = false;
    bool trace = false;
    std::string traceFile;
    std::string recordFile;
    std::string siteFile;
    std::optional<std::string> simulate; // empty text: the built-in demo
    bool tracePanel = false;

    // Command options.
    std::vector<std::string> addresses;
    std::string address;
    std::optional<int32_t> count;
    bool noScan = false;
    int32_t value = 0; // 0..65535
    double interval = 2.0;
    int scans = 0;
    bool counts = false;
    std::string listen = "127.0.0.1:8080";
    // The journal (monitor, serve, journal).
    std::string journalFile;
    bool noJournal = false;
    std::string panelId;
    std::optional<int> keepDays;
    // The outputs (monitor, serve).
    std::string mqttUrl;
    std::string mqttCa;
    std::string mqttUser;
    std::string mqttPasswordFile;
    std::string mqttPrefix = "xolest";
    bool mqttCommands = false;
    std::optional<std::string> haDiscovery; // empty text: "homeassistant"
    std::string modbus;
    // journal: which events, and how.
    std::string since;
    std::string until;
    std::optional<int> zone;
    std::string eventKind;
    bool unacknowledged = false;
    std::string format = "text";
    bool checkJournal = false;
    bool allowCommands = false;
    std::string tokenFile;
    std::vector<std::string> allowedHosts;
    std::string readTokenFile;
    std::string tlsCert;
    std::string tlsKey;
    std::string corsOrigin;
    // --config: the file, and where each setting came from ("file" or
    // "command line"), by its key in the file ("port", "mqtt.url").
    std::string configFile;
    std::map<std::string, std::string> settingOrigins;
};

// Parses the command line. An exit code when the program should end at once
// (help, version, bad usage: the message is printed), else nothing.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options);

// Warnings for options given where they have no effect.
std::vector<std::string> IgnoredOptions(const Options& options);

// Parses a time-out: ticks of 10 ms ("4"), or milliseconds ("40ms") or
// seconds ("0.5s"), rounded up to whole ticks. An error text when it is not
// one (empty on success).
std::string ParseTimeout(const std::string& text, uint32_t& ticks);

// The command nearest to a misspelt word, or an empty text.
std::string NearestCommand(const std::string& word);

} // namespace xolhost
