// The serve page's cost of a large update: a simulated panel whose 1000
// zones enter an alarm in one scan (and leave it in a later one), xolhost
// serve with its journal, and the page in headless Chromium through
// chromedriver. Per update: the time from the events on the server (their
// time stamps) to the page having painted the last zone's new state, and
// the page's script time for the update (its event handlers and timers,
// timed by a wrapper put in before the page loads, less what it spends
// while idle), and the page's own part: from the first message of the
// update to the paint (script, the list's batching, style, layout).
// Prints Markdown rows; judges no figure.
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "browser.h"
#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using nlohmann::json;
using xoltest::FreePort;

constexpr int ZONES = 1000;
constexpr double FIRST_CHANGE_S = 12; // time for the page to load first
constexpr double ROUND_S = 8;

int ZoneOf(int k) {
    return 1 + 6 * k; // spread over the grid's rows
}

// 1000 zones in an alarm at once, all clear again, and so on.
void WriteScenario(const std::filesystem::path& path, int rounds) {
    json events = json::array();
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < ZONES; ++k) {
            events.push_back({{"at", FIRST_CHANGE_S + ROUND_S * round},
                              {"zone", ZoneOf(k)},
                              {"codes", round % 2 == 0 ? json({1}) : json::array()}});
        }
    }
    json scenario = {{"name", "bench_page"},
                     {"zones", {{{"zone", 6299}, {"codes", {2}}}}},
                     {"counts", {{"C", 0}, {"N", 0}}},
                     {"events", events}};
    std::ofstream(path) << scenario.dump();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : (values[(n - 1) / 2] + values[n / 2]) / 2;
}

// Before the page's own script: every event handler and timer callback
// adds its time to window.__scriptMs; the event of zone 1 (the first of
// an update, whose events come before its zones and status) handled after
// window.__firstAt is set to 0 notes its time there.
const char* TIME_HANDLERS = R"(
window.__scriptMs = 0;
window.__firstAt = -1;
const timed = (f) => function (...args) {
  const t = performance.now();
  if (window.__firstAt === 0 && args[0] instanceof MessageEvent && args[0].type === 'event' &&
      args[0].data.includes('"P0001"')) {
    window.__firstAt = t;
  }
  try { return f.apply(this, args); } finally { window.__scriptMs += performance.now() - t; }
};
const add = EventTarget.prototype.addEventListener;
EventTarget.prototype.addEventListener = function (type, f, options) {
  return add.call(this, type, typeof f === 'function' ? timed(f) : f, options);
};
const later = window.setTimeout;
window.setTimeout = (f, ms, ...args) => later(typeof f === 'function' ? timed(f) : f, ms, ...args);
)";

// The running total of the page's script time, in ms.
struct Work {
    double script = 0;
    Steady::time_point at;
};

Work Metrics(xoltest::Browser& browser) {
    return {browser.run("return window.__scriptMs").get<double>(), Steady::now()};
}

struct Sample {
    double latencyMs = 0;
    double scriptMs = 0;
    double pageMs = 0;
};

// Waits (inside the page) for the last zone of the round to show its new
// state and be painted; answers that moment and the time stamp of the
// zone's event on the server, both as Unix milliseconds, and the page's
// own part in ms.
const char* AWAIT_SHOWN = R"(
const done = arguments[arguments.length - 1];
const cell = document.querySelector('#grid [data-zone="%ZONE%"]'), want = %WANT%;
window.__firstAt = 0;
const shown = () => requestAnimationFrame(() => setTimeout(() => {
  const at = Date.now(), own = performance.now() - window.__firstAt;
  fetch('/api/events?limit=1&zone=%ZONE%').then((r) => r.json())
    .then((d) => done([at, Date.parse(d.events[0].time), own]));
}));
if (cell.classList.contains('c-alarm') === want) shown();
else new MutationObserver((m, o) => {
  if (cell.classList.contains('c-alarm') === want) { o.disconnect(); shown(); }
}).observe(cell, {attributes: true});
)";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// One update: an idle second for the page's own rate of work, then the
// change, waited for.
Sample Round(xoltest::Browser& browser, int round) {
    Work idle = Metrics(browser);
    std::this_thread::sleep_for(1s);
    Work before = Metrics(browser);
    const std::string script =
        Replace(Replace(AWAIT_SHOWN, "%ZONE%", std::to_string(ZoneOf(ZONES - 1))), "%WANT%",
                round % 2 == 0 ? "true" : "false");
    json times = browser.run(script, true);
    std::this_thread::sleep_for(300ms); // what the update left to do (the event list)
    Work after = Metrics(browser);
    const double idleSpan = std::chrono::duration<double>(before.at - idle.at).count();
    const double span = std::chrono::duration<double>(after.at - before.at).count();
    Sample sample;
    if (!times.is_array() || times.size() != 3) {
        std::fprintf(stderr, "bench_page: round %d: %s\n", round, times.dump().c_str());
        return sample;
    }
    sample.latencyMs = times[0].get<double>() - times[1].get<double>();
    sample.scriptMs = (after.script - before.script) -
                      (before.script - idle.script) * span / std::max(idleSpan, 1e-3);
    sample.pageMs = times[2].get<double>();
    return sample;
}

std::vector<Sample> Measure(const std::filesystem::path& folder, int rounds) {
    WriteScenario(folder / "scenario.json", rounds);
    std::ofstream(folder / "site.json")
        << R"({"site": "bench", "codes": {"1": {"name": "fire", "class": "alarm"}}})";
    std::filesystem::create_directories(folder / "profile");
    const int port = FreePort();
    xoltest::Spawned host({XOLHOST_PATH, "--simulate", (folder / "scenario.json").string(),
                           "--site", (folder / "site.json").string(), "serve", "--listen",
                           "127.0.0.1:" + std::to_string(port), "--interval", "0.5", "--journal",
                           (folder / "journal.db").string()},
                          (folder / "xolhost.log").string());
    std::vector<Sample> samples;
    if (host.pid() < 0 || !xoltest::Healthy(port)) {
        std::fprintf(stderr, "bench_page: xolhost serve did not start\n");
        return samples;
    }
    xoltest::Browser browser({XOL_CHROMIUM, XOL_CHROMEDRIVER, (folder / "profile").string(),
                              (folder / "chromedriver.log").string(), 1400, 900});
    browser.session("POST", "/timeouts", {{"script", 60000}});
    browser.devtools("Page.addScriptToEvaluateOnNewDocument", {{"source", TIME_HANDLERS}});
    browser.open("http://127.0.0.1:" + std::to_string(port) + "/");
    for (auto until = Steady::now() + 30s; Steady::now() < until;
         std::this_thread::sleep_for(200ms)) {
        if (browser.run("return document.body.dataset.ready === '1'") == true) {
            break;
        }
    }
    for (int round = 0; round < rounds; ++round) {
        samples.push_back(Round(browser, round));
    }
    return samples;
}

void Print(const char* what, const std::vector<double>& values) {
    std::printf("| Page, 1000 zones changing in one scan: %s, median / worst of %zu, ms | %.0f / "
                "%.0f | | | |\n",
                what, values.size(), Median(values),
                values.empty() ? 0 : *std::max_element(values.begin(), values.end()));
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    const auto folder =
        std::filesystem::current_path() / ("xol_bench_page_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::vector<Sample> samples;
    try {
        samples = Measure(folder, quick ? 2 : 8);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_page: %s\n", e.what());
    }
    std::filesystem::remove_all(folder);
    std::vector<double> latency, script, page;
    for (const Sample& s : samples) {
        latency.push_back(s.latencyMs);
        script.push_back(s.scriptMs);
        page.push_back(s.pageMs);
    }
    Print("the events on the server to the page painted", latency);
    Print("the page's script time for the update", script);
    Print("the page's part, its first message to the paint", page);
    return samples.empty() || latency.front() <= 0 ? 1 : 0;
}
