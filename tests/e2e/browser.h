// Headless Chromium driven through chromedriver's HTTP interface, and the
// programs a browser test or benchmark starts beside it, each ended by its
// own process id. Shared by the browser test and the page benchmark.
#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace xoltest {

std::string Base64Decode(const std::string& text);

// Whether xolhost serve on 127.0.0.1:port answers /healthz with 200 within
// `limit`.
bool Healthy(int port, std::chrono::seconds limit = std::chrono::seconds(30));

// The processes below `root`, from /proc.
std::set<pid_t> Descendants(pid_t root);

// A program started with its output in a file, killed by its id at the end.
class Spawned {
public:
    Spawned(std::vector<std::string> argv, const std::string& log);
    ~Spawned();
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

struct BrowserSetup {
    std::string chromium;
    std::string chromedriver;
    std::string profile; // a folder of its own
    std::string log;     // chromedriver's output
    int width = 1400;
    int height = 900;
};

// One chromedriver and the headless Chromium it starts; both end with it.
class Browser {
public:
    explicit Browser(const BrowserSetup& setup);
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    nlohmann::json call(const std::string& method, const std::string& path,
                        const nlohmann::json& body = nullptr);
    nlohmann::json session(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr);
    void open(const std::string& url);
    // A script's value; `async` scripts end by calling their last argument.
    nlohmann::json run(const std::string& script, bool async = false);
    // Runs `script` until it returns true, at most `limit`.
    bool waitFor(const std::string& script, std::chrono::seconds limit);
    // The window's outer size in CSS pixels.
    void resize(int width, int height);
    // A DevTools command through chromedriver (Performance.getMetrics, ...).
    nlohmann::json devtools(const std::string& command,
                            const nlohmann::json& params = nlohmann::json::object());
    // The page as PNG bytes.
    std::string screenshot();

private:
    void end();

    int port_;
    Spawned driver_;
    httplib::Client client_;
    std::string session_;
};

} // namespace xoltest
