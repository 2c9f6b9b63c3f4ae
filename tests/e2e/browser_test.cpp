// The serve page in a real browser: xolhost serve against the simulator,
// headless Chromium driven through chromedriver. One case follows an alarm
// from the panel to the band, the title, the tone and the operator's
// acknowledgement in the journal, and checks the grid, the search, the
// narrow layout, the CSV export and the command token; one has the panel
// fall silent and come back, and the server go away; one pages back
// through a long journal and prints.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "browser.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;
using xoltest::Browser;
using xoltest::FreePort;

// Zone 40 enters an alarm ten seconds in and stays in it.
const char* SCENARIO = R"({
  "name": "browser",
  "zones": [
    { "zone": 3, "codes": [2] }, { "zone": 17, "codes": [1, 7] }, { "zone": 250, "codes": [8] },
    { "zone": 1204, "codes": [3] }, { "zone": 6299, "codes": [7] }
  ],
  "counts": { "C": 2, "N": 5 },
  "controls": { "default": "accept" },
  "events": [ { "at": 10, "zone": 40, "codes": [1] } ]
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

const char* SITE =
    R"({ "site": "Test hall", "zones": { "17": "stairwell east", "40": "hall north" },
                        "codes": { "1": { "name": "fire", "class": "alarm" },
                                   "2": { "name": "fault", "class": "fault" } } })";

struct Folder {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("xol_browser_" + std::to_string(::getpid()));
    Folder() {
        std::filesystem::create_directories(path / "profile");
        std::ofstream(path / "scenario.json") << SCENARIO;
        std::ofstream(path / "still.json") << STILL;
        std::ofstream(path / "site.json") << SITE;
        xoltest::WriteSecret(path / "token", "s3cret-token\n");
        xoltest::WriteSecret(path / "read-token", "r3ad;t=k%n\n");
    }
    ~Folder() { std::filesystem::remove_all(path); }
};

xoltest::BrowserSetup BrowserIn(const Folder& dir) {
    return {XOL_CHROMIUM, XOL_CHROMEDRIVER, (dir.path / "profile").string(),
            XOL_SCREENSHOT ".chromedriver.log"};
}

// xolhost serve on a free port, waited for: `panel` is --simulate FILE or
// --port DEVICE.
std::unique_ptr<xoltest::Process> StartServe(const Folder& dir, std::vector<std::string> panel,
                                             int port, std::vector<std::string> extra) {
    std::vector<std::string> argv{XOLHOST_PATH};
    argv.insert(argv.end(), panel.begin(), panel.end());
    const std::vector<std::string> serve{"--site",
                                         (dir.path / "site.json").string(),
                                         "--timeout",
                                         "1s",
                                         "serve",
                                         "--listen",
                                         "127.0.0.1:" + std::to_string(port),
                                         "--interval",
                                         "0.5",
                                         "--token-file",
                                         (dir.path / "token").string()};
    argv.insert(argv.end(), serve.begin(), serve.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto host = std::make_unique<xoltest::Process>(argv);
    EXPECT_TRUE(xoltest::Healthy(port)) << host->errSoFar();
    return host;
}

std::string Url(int port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

// The top of the page, as an operator first sees it.
void SavePng(Browser& browser, const std::string& path) {
    browser.run("window.scrollTo(0, 0)");
    std::string png = browser.screenshot();
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    std::ofstream(path, std::ios::binary) << png;
}

// A fetch from the page: [status, body text].
json Fetch(Browser& browser, const std::string& url, const std::string& options = "{}") {
    return browser.run("const done = arguments[arguments.length - 1];"
                       "fetch(" +
                           json(url).dump() + ", " + options +
                           ").then((r) => r.text().then((t) => done([r.status, t])));",
                       true);
}

// The grid: each zone's class as a pattern, a notch in the second class's
// colour where there are several bits, the site's name on hover; the search
// finds a zone by name, scrolls it into the grid's view and shows its
// history.
void GridAndSearch(Browser& browser) {
    json cells =
        browser.run("const c = (z) => document.querySelector(`#grid [data-zone=\"${z}\"]`);"
                    "return [3, 17, 250, 1204, 6299, 1].map((z) => c(z).className);");
    EXPECT_EQ(cells, json({"z c-fault", "z c-alarm many and-unclassified", "z c-unclassified",
                           "z c-unclassified", "z c-unclassified", "z"}));
    EXPECT_EQ(browser.run("return document.querySelector('#grid [data-zone=\"17\"]').title"),
              "P0017 stairwell east: ZS_CODE1 (fire) ZS_CODE7 [alarm, unclassified]");
    EXPECT_EQ(browser.run("return [...document.querySelectorAll('#grid .row')].slice(11, 13)"
                          ".map((r) => r.textContent)"),
              json({"1100", "1200"}));
    EXPECT_EQ(browser.run("return document.getElementById('countN').textContent"), "5");

    browser.run("document.getElementById('search').value = '6299';"
                "document.getElementById('find').requestSubmit();");
    EXPECT_TRUE(browser.waitFor(
        "const c = document.querySelector('#grid [data-zone=\"6299\"]').getBoundingClientRect();"
        "const box = document.getElementById('gridBox').getBoundingClientRect();"
        "return c.top >= box.top && c.bottom <= box.bottom && "
        "document.querySelector('#grid [data-zone=\"6299\"]').classList.contains('found');",
        10s));
    browser.run("document.getElementById('search').value = 'stairwell';"
                "document.getElementById('find').requestSubmit();");
    EXPECT_TRUE(browser.waitFor("return document.getElementById('detailTitle').textContent === "
                                "'P0017 stairwell east' && "
                                "document.querySelectorAll('#detailEvents li').length > 0 && "
                                "document.querySelector('#detailEvents li').textContent"
                                ".includes('P0017')",
                                10s))
        << browser.run("return document.getElementById('detail').textContent");
}

// Opted in to sound and notification, the new alarm reaches the band with
// its location, the title counter, a tone and a notification.
void AlarmArrives(Browser& browser, xoltest::Process& host) {
    browser.devtools("Browser.grantPermissions", {{"permissions", {"notifications"}},
                                                  {"origin", browser.run("return origin")}});
    browser.run("document.getElementById('alertsOn').click()");
    ASSERT_EQ(browser.run("return localStorage.getItem('xolAlerts')"), "1");
    ASSERT_TRUE(browser.waitFor("return document.querySelector("
                                "'.k-alarm li.unacked[data-zone=\"40\"]') !== null",
                                45s))
        << host.errSoFar();
    EXPECT_EQ(browser.run("return document.querySelector('.k-alarm li[data-zone=\"40\"] .loc')"
                          ".textContent"),
              "hall north");
    EXPECT_EQ(browser.run("return getComputedStyle(document.querySelector("
                          "'.k-alarm li.unacked')).fontSize"),
              "22px");
    EXPECT_TRUE(browser.waitFor("return document.title === '(2) xolhost - Test hall'", 10s))
        << browser.run("return document.title");
    EXPECT_TRUE(browser.waitFor("return document.body.dataset.tones >= 1 && "
                                "document.body.dataset.notifications >= 1",
                                10s))
        << browser.run("return [document.body.dataset.tones, Notification.permission]");
    EXPECT_EQ(browser.run("return document.querySelector('#grid [data-zone=\"40\"]').className"),
              "z c-alarm");
    EXPECT_TRUE(browser.waitFor(
        "return document.querySelector('#events li[data-live][data-zone=\"40\"].alarm') !== null",
        10s));
}

// Acknowledged through the band's button: the counter drops and the
// journal holds the operator's acknowledgement of that event.
void AcknowledgeAlarm(Browser& browser) {
    const json seq =
        browser.run("return Number(document.querySelector('.k-alarm li[data-zone=\"40\"]')"
                    ".dataset.seq)");
    browser.run(
        "document.getElementById('operator').value = 'ann';"
        "document.getElementById('ctoken').value = 's3cret-token';"
        "document.querySelector('.k-alarm li[data-zone=\"40\"] button[data-seq]').click();");
    EXPECT_TRUE(browser.waitFor("return document.title === '(1) xolhost - Test hall' && "
                                "document.querySelector('.k-alarm li.acked[data-zone=\"40\"]') "
                                "!== null",
                                10s))
        << browser.run("return document.title + ': ' + "
                       "document.getElementById('ackResult').textContent");
    json reply = Fetch(browser, "/api/events?event=acknowledged");
    ASSERT_EQ(reply[0], 200) << reply;
    json events = json::parse(reply[1].get<std::string>())["events"];
    ASSERT_EQ(events.size(), 1u) << events;
    EXPECT_EQ(events[0]["acknowledged"], json({seq})) << events;
    EXPECT_EQ(events[0]["operator"], "ann");
}

// At 390 px: nothing scrolls sideways, the band and the events come before
// the grid, and alarm text stays large.
void NarrowLayout(Browser& browser) {
    browser.resize(390, 800);
    EXPECT_TRUE(browser.waitFor("return innerWidth <= 400", 10s));
    json layout = browser.run(
        "const top = (id) => document.getElementById(id).getBoundingClientRect().top;"
        "const d = document.documentElement;"
        "return {fits: d.scrollWidth <= d.clientWidth,"
        " bandFirst: top('alarmBand') < top('eventsBox') && top('eventsBox') < top('gridBox'),"
        " alarmPx: parseFloat(getComputedStyle(document.querySelector('.k-alarm .entry'))"
        ".fontSize)};");
    EXPECT_EQ(layout["fits"], true) << layout;
    EXPECT_EQ(layout["bandFirst"], true) << layout;
    EXPECT_GE(layout["alarmPx"].get<double>(), 14.0) << layout;
    browser.resize(1400, 900);
}

// The ids of the CSV that the page's link names.
std::set<uint64_t> CsvIds(Browser& browser) {
    json reply = Fetch(browser, browser.run("return document.getElementById('csv').href"));
    EXPECT_EQ(reply[0], 200) << reply;
    std::istringstream lines(reply[1].get<std::string>());
    std::string line;
    std::getline(lines, line); // the header
    std::set<uint64_t> ids;
    while (std::getline(lines, line)) {
        ids.insert(std::stoull(line.substr(0, line.find(','))));
    }
    return ids;
}

std::set<uint64_t> ListedIds(Browser& browser) {
    return browser
        .run("return [...document.querySelectorAll('#events li')]"
             ".map((li) => Number(li.dataset.id))")
        .get<std::set<uint64_t>>();
}

// The CSV link holds the events listed, with the list's filter too.
void CsvHoldsTheList(Browser& browser) {
    std::set<uint64_t> listed = ListedIds(browser);
    ASSERT_GE(listed.size(), 8u);
    std::set<uint64_t> exported = CsvIds(browser);
    for (uint64_t id : listed) {
        EXPECT_TRUE(exported.contains(id)) << id;
    }
    browser.run("document.getElementById('fzone').value = '40';"
                "document.getElementById('fclass').value = 'alarm';"
                "document.getElementById('filters').requestSubmit();");
    ASSERT_TRUE(browser.waitFor("return document.querySelectorAll('#events li').length === 1 && "
                                "document.getElementById('csv').href.includes('zone=40')",
                                10s));
    EXPECT_EQ(CsvIds(browser), ListedIds(browser));
    browser.run("document.getElementById('fclear').click()");
    EXPECT_TRUE(browser.waitFor("return document.querySelectorAll('#events li').length > 1", 10s));
}

// Commands: refused without the token or with a wrong one, done with it.
void Commands(Browser& browser) {
    const std::string body = ", body: JSON.stringify({address: 'L0012', value: 2})}";
    EXPECT_EQ(Fetch(browser, "/api/command", "{method: 'POST'" + body)[0], 401);
    EXPECT_EQ(Fetch(browser, "/api/command",
                    "{method: 'POST', headers: {Authorization: 'Bearer wrong'}" + body)[0],
              401);
    EXPECT_EQ(Fetch(browser, "/api/command",
                    "{method: 'POST', headers: {Authorization: 'Bearer s3cret-token'}" + body)[0],
              200);
}

// A server that wants the read token: the page asks for it once and keeps
// it for the session as a cookie, which every request then carries. Against
// a panel that changes nothing, "acknowledge all" takes every waiting zone
// off the band's list of unacknowledged ones.
void ReadTokenAndAcknowledgeAll(Browser& browser, int port) {
    browser.open(Url(port));
    ASSERT_TRUE(browser.waitFor("return !document.getElementById('readAuth').hidden", 30s));
    EXPECT_EQ(Fetch(browser, "/api/status")[0], 401);
    browser.run("document.getElementById('rtoken').value = 'r3ad;t=k%n';"
                "document.getElementById('readAuth').requestSubmit();");
    ASSERT_TRUE(browser.waitFor("return document.body.dataset.ready === '1' && "
                                "document.querySelectorAll('#classes li.unacked').length === 5",
                                30s));
    EXPECT_EQ(browser.run("return [document.cookie, document.getElementById('readAuth').hidden]"),
              json({"xol_read=r3ad%3Bt%3Dk%25n", true}));
    EXPECT_EQ(browser.run("return document.title"), "(1) xolhost - Test hall");
    EXPECT_EQ(browser.run("return [...document.querySelectorAll('#classes section')]"
                          ".map((s) => s.dataset.klass)"),
              json({"alarm", "fault", "unclassified"}));
    browser.run("document.getElementById('operator').value = 'ann';"
                "document.getElementById('ctoken').value = 's3cret-token';"
                "document.getElementById('ackAll').click()");
    EXPECT_TRUE(browser.waitFor("return document.title === 'xolhost - Test hall' && "
                                "document.querySelectorAll('#classes li.unacked').length === 0 "
                                "&& document.querySelectorAll('#classes li.acked').length === 5",
                                10s));
    EXPECT_EQ(browser.run("return sessionStorage.getItem('xolOperator')"), "ann");
}

TEST(Browser, AlarmReachesTheBandAndIsAcknowledgedOnAnyScreen) {
    Folder dir;
    const int port = FreePort();
    auto host = StartServe(dir, {"--simulate", (dir.path / "scenario.json").string()}, port,
                           {"--allow-commands", "--journal", (dir.path / "journal.db").string()});
    ASSERT_FALSE(HasFailure());
    {
        Browser browser(BrowserIn(dir));
        browser.open(Url(port));
        ASSERT_TRUE(
            browser.waitFor("return document.body.dataset.ready === '1' && "
                            "document.getElementById('lastScan').textContent !== 'none yet'",
                            30s));
        GridAndSearch(browser);
        AlarmArrives(browser, *host);
        SavePng(browser, XOL_SCREENSHOT);
        AcknowledgeAlarm(browser);
        NarrowLayout(browser);
        CsvHoldsTheList(browser);
        Commands(browser);

        const int stillPort = FreePort();
        auto still = StartServe(dir, {"--simulate", (dir.path / "still.json").string()}, stillPort,
                                {"--read-token-file", (dir.path / "read-token").string()});
        ReadTokenAndAcknowledgeAll(browser, stillPort);
        still->signal(SIGTERM);
        xoltest::Finished ended = still->wait(20s);
        EXPECT_NE(ended.err.find("acknowledgement from 127.0.0.1: all waiting events by ann: done"),
                  std::string::npos)
            << ended.err;
    }
    host->signal(SIGTERM);
    xoltest::Finished end = host->wait(20s);
    EXPECT_EQ(end.exitCode, 0) << end.err;
    EXPECT_NE(end.err.find("L0012 <- 2: refused: no valid token"), std::string::npos) << end.err;
    EXPECT_NE(end.err.find("L0012 <- 2: done"), std::string::npos) << end.err;
}

// More events than a page and the board hold: "older" pages back through
// the journal to the first event, each once and newest first. The print
// view holds the heading and the alarm band, and nothing else.
TEST(Browser, HistoryPagesBackToTheFirstEventAndPrintsTheBand) {
    Folder dir;
    json many = {{"name", "many"}, {"zones", json::array()}};
    for (int zone = 1; zone <= 1100; ++zone) {
        many["zones"].push_back({{"zone", zone}, {"codes", {2}}});
    }
    std::ofstream(dir.path / "many.json") << many.dump();
    const int port = FreePort();
    auto host = StartServe(dir, {"--simulate", (dir.path / "many.json").string()}, port,
                           {"--journal", (dir.path / "journal.db").string()});
    ASSERT_FALSE(HasFailure());
    Browser browser(BrowserIn(dir));
    browser.open(Url(port));
    ASSERT_TRUE(browser.waitFor("return document.body.dataset.ready === '1' && "
                                "document.querySelectorAll('#events li').length === 200",
                                30s));
    const std::string shown = "document.querySelectorAll('#events li').length";
    for (int page = 0; page < 10 && browser.run("return $('older').disabled") == false; ++page) {
        const std::string before = browser.run("return " + shown).dump();
        browser.run("$('older').click()");
        ASSERT_TRUE(
            browser.waitFor("return " + shown + " > " + before + " || $('older').disabled", 10s));
    }
    std::vector<uint64_t> ids = browser
                                    .run("return [...document.querySelectorAll('#events li')]"
                                         ".map((li) => Number(li.dataset.id))")
                                    .get<std::vector<uint64_t>>();
    ASSERT_GT(ids.size(), 1100u);
    EXPECT_EQ(ids.back(), 1u);
    EXPECT_EQ(ids.front(), ids.size()) << "an event missing or listed twice";
    EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend()));

    browser.devtools("Emulation.setEmulatedMedia", {{"media", "print"}});
    browser.run("dispatchEvent(new Event('beforeprint'))");
    json printed =
        browser.run("const seen = (id) => $(id).getClientRects().length > 0;"
                    "return [$('printHead').textContent, seen('alarmBand'), seen('gridBox'),"
                    " seen('eventsBox'), seen('ackBar'), $('alarmBand').textContent];");
    EXPECT_TRUE(printed[0].get<std::string>().starts_with(
        "xolhost - Test hall: alarms and faults, printed "))
        << printed;
    EXPECT_EQ(json({printed[1], printed[2], printed[3], printed[4]}),
              json({true, false, false, false}))
        << printed;
    EXPECT_TRUE(xoltest::Contains(printed[5].get<std::string>(), "and 1000 more")) << printed;
}

// While the panel is silent the fault band says since when and from when
// the statuses are, the grid is marked unconfirmed, and the channel opened
// again is no recovery; the band goes only with a completed scan. A page
// whose server has gone says so too.
TEST(Browser, SilentPanelShowsTheFaultBandUntilAScanCompletes) {
    Folder dir;
    // Two scans of six records, then fifteen requests unanswered: the
    // channel is closed, opened again, and still gets no answer.
    xoltest::Process panel({XOLPANEL_PATH, "--silent-after", "12", "--silent-for", "15",
                            (dir.path / "still.json").string()});
    const std::string device = panel.readLine(5s);
    ASSERT_FALSE(device.empty()) << panel.errSoFar();
    const int port = FreePort();
    auto host = StartServe(dir, {"--port", device}, port, {});
    Browser browser(BrowserIn(dir));
    browser.open(Url(port));
    ASSERT_TRUE(browser.waitFor("return !document.getElementById('faultBand').hidden", 60s))
        << host->errSoFar();
    json shown = browser.run("return [document.getElementById('faultBand').textContent,"
                             " document.getElementById('grid').className,"
                             " document.getElementById('unconfirmedLabel').hidden,"
                             " document.title, document.getElementById('lastScan').textContent,"
                             " (status.no_answer_since || '').slice(11, 19)]");
    // The first failed scan's time, from the server, and the last completed one's.
    const std::regex band("communication faultno answer from the panel since ([0-9:]{8}); "
                          "statuses shown are from ([0-9:]{8})\\.");
    std::smatch match;
    const std::string text = shown[0].get<std::string>();
    ASSERT_TRUE(std::regex_match(text, match, band)) << shown;
    EXPECT_EQ(match[1], shown[5]) << shown;
    EXPECT_EQ(match[2], shown[4]) << shown;
    EXPECT_EQ(shown[1], "unconfirmed");
    EXPECT_EQ(shown[2], false);
    EXPECT_EQ(shown[3], "(1) NO ANSWER - xolhost - Test hall");
    SavePng(browser, XOL_FAULT_SCREENSHOT);

    ASSERT_TRUE(browser.waitFor(
        "return document.querySelector('#events li[data-event=\"channel_reopened\"]') !== null",
        60s))
        << host->errSoFar();
    // The same fault, with the same times: the channel opened again is no recovery.
    EXPECT_EQ(browser.run("return [document.getElementById('faultBand').textContent,"
                          " document.getElementById('channel').textContent]"),
              json({text, "no answer"}));
    ASSERT_TRUE(browser.waitFor("return document.getElementById('faultBand').hidden", 60s));
    EXPECT_NE(browser.run("return document.getElementById('lastScan').textContent"), shown[4]);
    EXPECT_EQ(browser.run("return [document.getElementById('grid').className,"
                          " document.getElementById('channel').textContent,"
                          " document.querySelector('#events li[data-event=\"scan_recovered\"]')"
                          " !== null]"),
              json({"", "open", true}));

    host->signal(SIGTERM);
    EXPECT_TRUE(browser.waitFor("return document.getElementById('faultBand').textContent"
                                ".includes('no contact with xolhost since')",
                                30s));
    EXPECT_EQ(host->wait(20s).exitCode, 0);
}

} // namespace
