// The serve page in a real browser: xolhost --simulate serve against a
// scenario with timed events, headless Chromium driven through chromedriver's
// HTTP interface. Checks the grid, a live event and a refused command, and
// saves a screenshot; then, against a panel whose statuses stay as they are,
// acknowledges through the page's band and shows stale statuses greyed.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "process.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;
using xoltest::FreePort;

std::string Base64Decode(const std::string& text) {
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                    : c >= 'a' && c <= 'z' ? c - 'a' + 26
                    : c >= '0' && c <= '9' ? c - '0' + 52
                    : c == '+'             ? 62
                    : c == '/'             ? 63
                                           : -1;
        if (value < 0) {
            continue;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

// The processes below `root`, from /proc, so that the browser chromedriver
// started can be ended by its own ids.
std::set<pid_t> Descendants(pid_t root) {
    std::map<pid_t, pid_t> parents;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
        pid_t pid = std::atoi(entry->d_name);
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        if (pid <= 0 || !std::getline(stat, text) || text.rfind(')') == std::string::npos) {
            continue;
        }
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        std::istringstream rest(text.substr(text.rfind(')') + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        parents[pid] = parent;
    }
    if (proc != nullptr) {
        ::closedir(proc);
    }
    std::set<pid_t> found;
    for (bool grew = true; grew;) {
        grew = false;
        for (auto [pid, parent] : parents) {
            if ((parent == root || found.contains(parent)) && found.insert(pid).second) {
                grew = true;
            }
        }
    }
    return found;
}

// A program started with its output in a file, killed by its id at the end.
class Spawned {
public:
    Spawned(std::vector<std::string> argv, const std::string& log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> args;
        for (auto& arg : argv) {
            args.push_back(arg.data());
        }
        args.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Spawned() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// One chromedriver and the headless Chromium it starts; both end with it.
class Browser {
public:
    Browser(const std::string& profile, const std::string& log)
        : port_(FreePort()),
          driver_({XOL_CHROMEDRIVER, "--port=" + std::to_string(port_), "--log-level=WARNING"},
                  log),
          client_("127.0.0.1", port_) {
        if (driver_.pid() < 0) {
            throw std::runtime_error("cannot start " XOL_CHROMEDRIVER);
        }
        client_.set_read_timeout(60, 0);
        try {
            for (auto until = Clock::now() + 30s; Clock::now() < until;
                 std::this_thread::sleep_for(100ms)) {
                if (auto ready = client_.Get("/status"); ready && ready->status == 200) {
                    break;
                }
            }
            json capabilities = {
                {"capabilities",
                 {{"alwaysMatch",
                   {{"goog:chromeOptions",
                     {{"binary", XOL_CHROMIUM},
                      {"args",
                       {"--headless", "--no-sandbox", "--disable-background-networking",
                        "--disable-dev-shm-usage", "--disable-crash-reporter",
                        "--user-data-dir=" + profile, "--window-size=1400,900"}}}}}}}}};
            json answer = call("POST", "/session", capabilities);
            session_ = answer.value("sessionId", "");
            if (session_.empty()) {
                throw std::runtime_error("no browser session: " + answer.dump());
            }
        } catch (...) {
            end();
            throw;
        }
    }
    ~Browser() { end(); }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    json call(const std::string& method, const std::string& path, const json& body = nullptr) {
        auto result = method == "GET" ? client_.Get(path)
                                      : client_.Post(path, body.is_null() ? "{}" : body.dump(),
                                                     "application/json");
        if (!result) {
            throw std::runtime_error("chromedriver did not answer " + path);
        }
        return json::parse(result->body).value("value", json());
    }
    json session(const std::string& method, const std::string& path, const json& body = nullptr) {
        return call(method, "/session/" + session_ + path, body);
    }
    // A script's value; `async` scripts end by calling their last argument.
    json run(const std::string& script, bool async = false) {
        return session("POST", async ? "/execute/async" : "/execute/sync",
                       {{"script", script}, {"args", json::array()}});
    }
    // Runs `script` until it returns true, at most `limit`.
    bool waitFor(const std::string& script, std::chrono::seconds limit) {
        for (auto until = Clock::now() + limit; Clock::now() < until;
             std::this_thread::sleep_for(200ms)) {
            if (run(script) == true) {
                return true;
            }
        }
        return false;
    }

private:
    // Closes the session (the browser quits), kills by id whatever of the
    // browser is still below chromedriver, then chromedriver; its owner
    // reaps it.
    void end() {
        if (!session_.empty()) {
            client_.Delete("/session/" + session_);
            session_.clear();
        }
        for (pid_t pid : Descendants(driver_.pid())) {
            ::kill(pid, SIGKILL);
        }
        ::kill(driver_.pid(), SIGKILL);
    }

    int port_;
    Spawned driver_;
    httplib::Client client_;
    std::string session_;
};

const char* SCENARIO = R"({
  "name": "browser",
  "zones": [
    { "zone": 3, "codes": [2] }, { "zone": 17, "codes": [1, 7] }, { "zone": 250, "codes": [8] },
    { "zone": 1204, "codes": [3] }, { "zone": 6299, "codes": [7] }
  ],
  "counts": { "C": 2, "N": 5 },
  "controls": { "default": "accept" },
  "events": [
    { "at": 6, "zone": 40, "codes": [1] }, { "at": 12, "zone": 40, "codes": [8] },
    { "at": 18, "zone": 40, "codes": [2] }, { "at": 24, "zone": 40, "codes": [3] },
    { "at": 30, "zone": 40, "codes": [7] }, { "at": 40, "zone": 40, "codes": [1] }
  ]
})";

// The same zones, and nothing changes.
const char* STILL = R"({
  "name": "still",
  "zones": [
    { "zone": 3, "codes": [2] }, { "zone": 17, "codes": [1, 7] }, { "zone": 250, "codes": [8] },
    { "zone": 1204, "codes": [3] }, { "zone": 6299, "codes": [7] }
  ],
  "counts": { "C": 2, "N": 5 }
})";

const char* SITE = R"({ "site": "Test hall", "zones": { "17": "stairwell east" },
                        "codes": { "1": { "name": "fire", "class": "alarm" },
                                   "2": { "name": "fault", "class": "fault" } } })";

// xolhost --simulate serve on a free port, waited for.
std::unique_ptr<xoltest::Process> StartServe(const std::filesystem::path& dir, const char* scenario,
                                             int port, std::vector<std::string> access) {
    std::vector<std::string> argv{XOLHOST_PATH,
                                  "--simulate",
                                  (dir / scenario).string(),
                                  "--site",
                                  (dir / "site.json").string(),
                                  "--timeout",
                                  "1s",
                                  "serve",
                                  "--listen",
                                  "127.0.0.1:" + std::to_string(port),
                                  "--interval",
                                  "0.5"};
    argv.insert(argv.end(), access.begin(), access.end());
    auto host = std::make_unique<xoltest::Process>(argv);
    httplib::Client api("127.0.0.1", port);
    bool up = false;
    for (auto until = Clock::now() + 30s; !up && Clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        auto health = api.Get("/healthz");
        up = health && health->status == 200;
    }
    EXPECT_TRUE(up) << host->errSoFar();
    return host;
}

// On the page of a panel that changes nothing: the band lists the waiting
// events, the alarm first; acknowledging the alarm takes the counter off
// the title, "acknowledge all" empties the band. A stale status greys the
// grid and says since when.
void AcknowledgeThroughThePage(Browser& browser, int port) {
    browser.session("POST", "/url", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
    ASSERT_TRUE(browser.waitFor("return document.body.dataset.ready === '1' && "
                                "document.querySelectorAll('#unacked li').length === 5",
                                30s));
    EXPECT_EQ(browser.run("return document.title"), "(1) xolhost - Test hall");
    EXPECT_EQ(browser.run("return [...document.querySelectorAll('#unacked li')].map((li) => "
                          "li.className + ' ' + li.firstChild.textContent).slice(0, 2)"),
              json({"alarm P0017", " P0003"}));
    EXPECT_EQ(browser.run("return [...document.querySelectorAll('#unacked li.alarm span')]"
                          ".map((s) => s.textContent).filter((t) => !t.startsWith('since'))"),
              json({"P0017", "stairwell east", "ZS_CODE1 (fire) ZS_CODE7"}));
    EXPECT_EQ(browser.run("return document.getElementById('auth').hidden"), false);

    browser.run("document.getElementById('operator').value = 'ann';"
                "document.getElementById('ctoken').value = 's3cret-token';"
                "document.querySelector('#unacked li.alarm button').click();");
    EXPECT_TRUE(browser.waitFor("return document.title === 'xolhost - Test hall' && "
                                "document.querySelectorAll('#unacked li').length === 4",
                                10s))
        << browser.run("return document.title + ': ' + "
                       "document.getElementById('ackResult').textContent");
    browser.run("document.getElementById('ackAll').click()");
    EXPECT_TRUE(browser.waitFor("return document.getElementById('band').hidden && "
                                "document.querySelectorAll('#unacked li').length === 0",
                                10s));
    EXPECT_EQ(browser.run("return sessionStorage.getItem('xolOperator')"), "ann");

    json stale = browser.run(
        "const done = arguments[arguments.length - 1];"
        "fetch('/api/status').then((r) => r.json()).then((s) => {"
        "  s.stale = true; s.unconfirmed_since = '2026-01-02T03:04:05Z'; showStatus(s);"
        "  const line = document.getElementById('staleLine');"
        "  done([document.getElementById('grid').className, line.hidden, line.textContent]);"
        "});",
        true);
    EXPECT_EQ(stale, json({"stale", false, "not confirmed since 2026-01-02T03:04:05Z"}));
}

TEST(Browser, PageShowsZonesLiveEventsAndRefusesCommandsWithoutToken) {
    auto dir =
        std::filesystem::temp_directory_path() / ("xol_browser_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "profile");
    std::ofstream(dir / "scenario.json") << SCENARIO;
    std::ofstream(dir / "still.json") << STILL;
    std::ofstream(dir / "site.json") << SITE;
    std::ofstream(dir / "token") << "s3cret-token\n";

    const int port = FreePort();
    auto host = StartServe(dir, "scenario.json", port,
                           {"--allow-commands", "--token-file", (dir / "token").string()});
    ASSERT_FALSE(HasFailure());
    {
        Browser browser((dir / "profile").string(), XOL_SCREENSHOT ".chromedriver.log");
        browser.session("POST", "/url",
                        {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
        ASSERT_TRUE(
            browser.waitFor("return document.body.dataset.ready === '1' && "
                            "document.getElementById('lastScan').textContent !== 'none yet'",
                            30s));

        // The grid: each zone's colour by its bits, a mark where there are
        // several, the site's name on hover, the counts.
        json cells = browser.run("const c = (z) => document.querySelector(`[data-zone=\"${z}\"]`);"
                                 "return [3, 17, 250, 1204, 6299, 1].map((z) => c(z).className);");
        EXPECT_EQ(cells, json({"b2", "b1 many", "b16", "b4", "b8", ""}));
        EXPECT_EQ(browser.run("return document.querySelector('[data-zone=\"17\"]').title"),
                  "P0017 stairwell east: ZS_CODE1 (fire) ZS_CODE7");
        EXPECT_EQ(browser.run("return document.getElementById('countN').textContent"), "5");
        EXPECT_EQ(browser.run("return document.getElementById('channel').textContent"), "open");

        // The name filter dims every zone but the one named.
        EXPECT_EQ(browser.run("const f = document.getElementById('fname'); f.value = 'stairwell';"
                              "f.dispatchEvent(new Event('input'));"
                              "const shown = document.querySelectorAll('#grid i:not(.dim)');"
                              "const zones = [...shown].map((c) => c.dataset.zone);"
                              "f.value = ''; f.dispatchEvent(new Event('input')); return zones;"),
                  json({"17"}));

        // A change the scenario makes later reaches the open page by itself,
        // in the event list and in the grid.
        ASSERT_TRUE(browser.waitFor(
            "return document.querySelector('#events li[data-live][data-event=\"change\"]') "
            "!== null",
            45s))
            << host->errSoFar();
        EXPECT_TRUE(browser.waitFor(
            "return document.querySelector('[data-zone=\"40\"]').className !== ''", 10s));
        json newest = browser.run("return document.querySelector('#events li').textContent");
        EXPECT_TRUE(newest.get<std::string>().find("P0040") != std::string::npos) << newest;

        // Commands: refused without the token or with a wrong one, done
        // with it. Each try is logged.
        const char* post = "const done = arguments[arguments.length - 1];"
                           "fetch('/api/command', {method: 'POST', headers: %s,"
                           " body: JSON.stringify({address: 'L0012', value: 2})})"
                           ".then((r) => r.json().then((b) => done([r.status, b.result])));";
        auto send = [&](const std::string& headers) {
            std::string script = post;
            script.replace(script.find("%s"), 2, headers);
            return browser.run(script, true);
        };
        EXPECT_EQ(send("{}"), json({401, "refused"}));
        EXPECT_EQ(send("{Authorization: 'Bearer wrong'}"), json({401, "refused"}));
        EXPECT_EQ(send("{Authorization: 'Bearer s3cret-token'}"), json({200, "done"}));

        // Zone colours show in the artefact's picture.
        std::string png = Base64Decode(browser.session("GET", "/screenshot").get<std::string>());
        ASSERT_GT(png.size(), 1000u);
        EXPECT_EQ(png.substr(1, 3), "PNG");
        std::ofstream(XOL_SCREENSHOT, std::ios::binary) << png;

        // Acknowledging needs the token file, not --allow-commands.
        const int stillPort = FreePort();
        auto still =
            StartServe(dir, "still.json", stillPort, {"--token-file", (dir / "token").string()});
        AcknowledgeThroughThePage(browser, stillPort);
        still->signal(SIGTERM);
        xoltest::Finished ended = still->wait(20s);
        EXPECT_NE(ended.err.find("acknowledgement from 127.0.0.1: event 2 by ann: done"),
                  std::string::npos)
            << ended.err;
    }
    host->signal(SIGTERM);
    xoltest::Finished end = host->wait(20s);
    EXPECT_EQ(end.exitCode, 0) << end.err;
    EXPECT_NE(end.err.find("L0012 <- 2: refused: no valid token"), std::string::npos) << end.err;
    EXPECT_NE(end.err.find("L0012 <- 2: done"), std::string::npos) << end.err;
    EXPECT_NE(end.err.find("serving ended by SIGTERM"), std::string::npos) << end.err;
    std::filesystem::remove_all(dir);
}

} // namespace
