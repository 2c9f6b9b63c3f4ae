// xol_scenario: a host that drives the driver module through one fixed
// scenario against the panel simulator (tests/windows/panel.json) and prints
// every result in a form that does not depend on the platform. The Windows
// suite runs it on the DLL under Wine and on the Linux module, and compares
// the two outputs case by case; each case also checks its own results.
//
// usage: xol_scenario MODULE PORT_A PORT_B MISSING SYNC_DIR [--skip CASE]...
//
// PORT_A and PORT_B lead to simulators; MISSING names no port. Port names
// and the log texts that carry them print as <a>, <b> and <missing>. Where
// the scenario needs its far end changed, the program writes
// SYNC_DIR/<n>-<step>.req and waits for SYNC_DIR/<n>-<step>.ack:
//   repoint-a  PORT_A now leads to a new simulator
//   stop-a     PORT_A's simulator has stopped
#include <xolest/xolest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define XOL_SINK_CALL __cdecl
#else
#include <dlfcn.h>
#include <unistd.h>
#define XOL_SINK_CALL
#endif

namespace {

using KeldorSink = void(XOL_SINK_CALL*)(int cls, const char* text, void* user);
using KeldorSetSink = void(XOL_SINK_CALL*)(KeldorSink sink, void* user);

XolMainFunction g_xolMain = nullptr;
std::string g_portA, g_portB, g_missing, g_syncDir;
std::vector<std::string> g_log;
const char* g_case = "";
int g_caseFailures = 0;
int g_step = 0;

std::string Masked(std::string text) {
    const std::pair<const std::string*, const char*> names[] = {
        {&g_portA, "<a>"}, {&g_portB, "<b>"}, {&g_missing, "<missing>"}};
    for (const auto& [name, mask] : names) {
        for (size_t at = text.find(*name); at != std::string::npos;
             at = text.find(*name, at + std::strlen(mask))) {
            text.replace(at, name->size(), mask);
        }
    }
    return text;
}

void XOL_SINK_CALL CollectLog(int cls, const char* text, void*) {
    g_log.push_back("class " + std::to_string(cls) + " \"" + Masked(text) + "\"");
}

void SleepMs(unsigned ms) {
#ifdef _WIN32
    Sleep(ms);
#else
    usleep(ms * 1000);
#endif
}

// Loads the module and routes the logging library's messages to CollectLog.
bool LoadModule(const char* path) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) {
        std::printf("load: error %lu\n", GetLastError());
        return false;
    }
    g_xolMain = reinterpret_cast<XolMainFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "XolMain")));
    HMODULE keldor = GetModuleHandleA("KELDOR.dll");
    auto setSink = keldor == nullptr ? nullptr
                                     : reinterpret_cast<KeldorSetSink>(reinterpret_cast<void*>(
                                           GetProcAddress(keldor, "KeldorSetSink")));
#else
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::printf("load: %s\n", dlerror());
        return false;
    }
    g_xolMain = reinterpret_cast<XolMainFunction>(dlsym(module, "XolMain"));
    void* keldor = dlopen("libkeldor.so.1", RTLD_NOW | RTLD_NOLOAD);
    auto setSink = keldor == nullptr
                       ? nullptr
                       : reinterpret_cast<KeldorSetSink>(dlsym(keldor, "KeldorSetSink"));
#endif
    if (g_xolMain == nullptr || setSink == nullptr) {
        std::printf("load: XolMain or the logging library's KeldorSetSink not found\n");
        return false;
    }
    setSink(CollectLog, nullptr);
    return true;
}

void Print(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("%s: %s\n", g_case, Masked(text).c_str());
}

void Expect(bool ok, const char* what) {
    if (!ok) {
        Print("FAILED: %s", what);
        ++g_caseFailures;
    }
}

// Prints the log lines that arrived since the last call; true when exactly
// `expected` (or none, for null) arrived.
bool TakeLog(const char* expected = nullptr) {
    for (const std::string& line : g_log) {
        Print("log %s", line.c_str());
    }
    const bool ok = expected == nullptr
                        ? g_log.empty()
                        : g_log.size() == 1 && g_log[0].find(expected) != std::string::npos;
    g_log.clear();
    return ok;
}

// Asks the script to change the far end and waits until it has.
void Sync(const char* step) {
    const std::string base = g_syncDir + "/" + std::to_string(++g_step) + "-" + step;
    if (FILE* request = std::fopen((base + ".req").c_str(), "w")) {
        std::fclose(request);
    }
    for (int i = 0; i < 3000; ++i) {
        if (FILE* ack = std::fopen((base + ".ack").c_str(), "r")) {
            std::fclose(ack);
            return;
        }
        SleepMs(10);
    }
    Expect(false, "no answer from the script");
}

// --- calls -----------------------------------------------------------------------

struct Context {
    std::vector<uint32_t> block; // zero-filled, as a host allocates it
    DriverContext* get() { return reinterpret_cast<DriverContext*>(block.data()); }
};

uint32_t g_contextSize = XOL_CONTEXT_SIZE;
Context g_main;

Context NewContext() {
    return Context{std::vector<uint32_t>((g_contextSize + 3) / 4, 0)};
}

int32_t Call(DriverContext* context, int32_t function, void* params) {
    DriverRequest request{};
    request.context = context;
    request.function = function;
    std::memset(request.host, 0xA5, sizeof request.host);
    request.params = params;
    return g_xolMain(&request);
}

// The kind and number a check gives an address, for the calls that follow.
PointRequest Point(const char* address) {
    PointDefinition definition{};
    definition.text = address;
    Expect(Call(nullptr, FC_CHECK_POINT, &definition) == RC_DONE, "address check");
    PointRequest point{};
    point.kind = definition.kind;
    point.number = static_cast<uint32_t>(definition.number);
    return point;
}

int32_t Read(const char* address, uint16_t* value, DriverContext* context = g_main.get()) {
    PointRequest point = Point(address);
    PointValue data{0x5A5A, 0xFFFF};
    point.data = &data;
    const int32_t rc = Call(context, FC_READ_POINT, &point);
    *value = data.value;
    Expect(data.host == 0x5A5A, "the value record's host word untouched");
    return rc;
}

int32_t Write(const char* address, uint16_t value) {
    PointRequest point = Point(address);
    PointValue data{0x5A5A, value};
    point.data = &data;
    return Call(g_main.get(), FC_WRITE_POINT, &point);
}

OpenRequest OpenAt(const std::string& name, const DriverInfo& info) {
    OpenRequest open{};
    std::snprintf(open.name, sizeof open.name, "%s", name.c_str());
    open.enabled = 1;
    open.timeout = info.defaultTimeout;
    open.settings = {info.defaultBaud, info.defaultDataBits, info.defaultStopBits,
                     info.defaultParity};
    return open;
}

void PrintChannel(DriverContext* context) {
    const PortConfig& config = context->config;
    Print("channel port=%s name=%s line=%u,%u,%u,%u flags=%u timeout=%u enabled=%u",
          context->port != 0 ? "open" : "none", config.name, config.settings.baud,
          config.settings.dataBits, config.settings.stopBits, config.settings.parity, config.flags,
          context->timeoutTicks, context->enabled);
}

uint32_t Fnv1a(const char* text) {
    uint32_t hash = 2166136261u;
    for (; *text != '\0'; ++text) {
        hash = (hash ^ static_cast<unsigned char>(*text)) * 16777619u;
    }
    return hash;
}

// --- the cases --------------------------------------------------------------------

DriverInfo g_info{};

void Describe() {
    const int32_t rc = Call(nullptr, FC_DESCRIBE_DRIVER, &g_info);
    const DriverInfo& i = g_info;
    Print("rc=%d code=%u name=%s banner=%zu/%08x context=%u timeout=%u line=%u,%u,%u,%u info=%u",
          rc, i.driverCode, i.shortName, std::strlen(i.banner), Fnv1a(i.banner), i.contextSize,
          i.defaultTimeout, i.defaultBaud, i.defaultDataBits, i.defaultStopBits, i.defaultParity,
          i.infoFlags);
    Expect(rc == RC_DONE && i.driverCode == 70 && std::strcmp(i.shortName, "EST") == 0 &&
               std::strlen(i.banner) == 379 && i.contextSize == XOL_CONTEXT_SIZE,
           "description");
    Expect(i.defaultTimeout == 4 && i.defaultBaud == 2400 && i.defaultDataBits == 8 &&
               i.defaultStopBits == 0 && i.defaultParity == 2 && i.infoFlags == 1,
           "defaults 2400 8E1, 40 ms");
    g_contextSize = i.contextSize;
    g_main = NewContext();
}

void Addresses() {
    constexpr int32_t UNTOUCHED = -7;
    struct Row {
        const char* text;
        int32_t count; // < 0: a point check, else a block check of this many zones
        int32_t rc;
        char kind;
        int32_t number;
    };
    const Row rows[] = {
        {"P0017", -1, RC_DONE, 'P', 17},
        {"p0250", -1, RC_DONE, 'P', 250},
        {"P6299   ", -1, RC_DONE, 'P', 6299},
        {"P6300", -1, RC_REFUSED, 0, 0},
        {"P00171", -1, RC_REFUSED, 0, 0},
        {"K0001", -1, RC_REFUSED, 0, 0},
        {"A0012", -1, RC_DONE, 'A', 12},
        {"x0042", -1, RC_DONE, 'X', 42},
        {"O031250", -1, RC_DONE, 'O', (3 << 16) | 1250},
        {"O037000", -1, RC_REFUSED, 0, 0},
        {"!Z", -1, RC_DONE, 'Z', UNTOUCHED},
        {"!n", -1, RC_DONE, 'N', UNTOUCHED},
        {"P0001", 1000, RC_DONE, 'P', 1},
        {"P0001", 1001, RC_REFUSED, 0, 0},
        {"A0001", 10, RC_REFUSED, 0, 0},
    };
    for (const Row& row : rows) {
        PointDefinition d{};
        d.text = row.text;
        d.count = row.count < 0 ? 0 : row.count;
        d.number = UNTOUCHED;
        const int32_t rc = Call(nullptr, row.count < 0 ? FC_CHECK_POINT : FC_CHECK_BLOCK, &d);
        Print("'%s'/%d rc=%d kind=%u number=%d presets=%u,%u,%u", row.text, row.count, rc, d.kind,
              d.number, d.presetA, d.presetB, d.presetC);
        Expect(rc == row.rc, "result");
        if (row.rc == RC_DONE) {
            Expect(d.kind == static_cast<uint32_t>(row.kind) && d.number == row.number,
                   "kind and number");
            Expect(d.presetA == 0 && d.presetB == 255 && d.presetC == 16, "presets");
        }
    }
}

void Open() {
    OpenRequest open = OpenAt(g_portA, g_info);
    const int32_t rc = Call(g_main.get(), FC_OPEN_CHANNEL, &open);
    Print("rc=%d", rc);
    PrintChannel(g_main.get());
    const DriverContext& c = *g_main.get();
    Expect(rc == RC_DONE && c.port != 0 && g_portA == c.config.name, "open at the defaults");
    Expect(c.config.settings.baud == 2400 && c.config.settings.parity == 2 && c.config.flags == 8 &&
               c.timeoutTicks == 4 && c.enabled == 1,
           "the context records the channel");
    Expect(TakeLog(), "no log line");
}

struct ZoneRow {
    const char* address;
    uint16_t status;
};
const ZoneRow ZONES[] = {{"P0003", 2}, {"P0017", 9}, {"P0250", 16}, {"P1204", 4},
                         {"P6299", 8}, {"P0001", 0}, {"P0012", 0}};

void ReadZones() {
    for (const ZoneRow& row : ZONES) {
        uint16_t value = 0;
        const int32_t rc = Read(row.address, &value);
        Print("%s rc=%d status=%u", row.address, rc, value);
        Expect(rc == RC_DONE && value == row.status, "zone status");
    }
}

void Scan() {
    uint16_t value = 0;
    int32_t rc = Read("!Z", &value);
    Print("read !Z rc=%d value=%u", rc, value);
    Expect(rc == RC_DONE && value == 0, "scan by read");
    Expect(TakeLog("Got Illegal zone address (6300)"), "the zone past the last is logged");
    ReadZones();
    rc = Write("!Z", 0);
    Print("write !Z rc=%d", rc);
    Expect(rc == RC_DONE, "scan by write");
    Expect(TakeLog("Got Illegal zone address (6300)"), "logged again");
}

void Block() {
    struct Row {
        const char* address;
        int32_t count;
    };
    for (const Row& row : {Row{"P0001", 20}, Row{"P6290", 20}, Row{"P0017", 0}}) {
        std::vector<uint16_t> words(static_cast<size_t>(row.count) + 1, 0xBEEF);
        PointRequest point = Point(row.address);
        point.count = row.count;
        point.data = words.data();
        const int32_t rc = Call(g_main.get(), FC_READ_BLOCK, &point);
        std::string nonzero;
        for (int32_t i = 0; i < row.count; ++i) {
            if (words[static_cast<size_t>(i)] != 0) {
                nonzero +=
                    " +" + std::to_string(i) + "=" + std::to_string(words[static_cast<size_t>(i)]);
            }
        }
        Print("%s x%d rc=%d%s guard=%04x", row.address, row.count, rc, nonzero.c_str(),
              words.back());
        Expect(rc == RC_DONE && words.back() == 0xBEEF, "block read within its count");
    }
}

void Counts() {
    const ZoneRow rows[] = {{"!N", 5}, {"!C", 2}};
    for (const ZoneRow& row : rows) {
        uint16_t value = 0;
        const int32_t rc = Read(row.address, &value);
        Print("%s rc=%d value=%u", row.address, rc, value);
        Expect(rc == RC_DONE && value == row.status, "count");
    }
}

void Commands() {
    struct Row {
        const char* address;
        uint16_t value;
        int32_t rc;
    };
    const Row rows[] = {
        {"A0012", 1, RC_DONE},    {"O031250", 1, RC_DONE},  {"L0012", 2, RC_DONE},
        {"!R", 0, RC_DONE},       {"!D", 0, RC_DONE},       {"X0042", 0, RC_REFUSED}, // the panel
        {"L0012", 3, RC_REFUSED}, {"!S", 0, RC_REFUSED},                              // the panel
        {"L0012", 0, RC_REFUSED}, {"A0012", 4, RC_REFUSED}, {"P0017", 1, RC_REFUSED}, // the driver
    };
    for (const Row& row : rows) {
        const int32_t rc = Write(row.address, row.value);
        Print("%s <- %u rc=%d", row.address, row.value, rc);
        Expect(rc == row.rc, "command result");
    }
    Print("purge rc=%d", Call(g_main.get(), FC_PURGE_INPUT, nullptr));
}

void Reopen() {
    Sync("repoint-a");
    const int32_t rc = Call(g_main.get(), FC_REOPEN_CHANNEL, nullptr);
    Print("rc=%d", rc);
    PrintChannel(g_main.get());
    Expect(rc == RC_DONE && g_main.get()->port != 0, "reopen");
    Counts();
}

// How long a failure takes differs by platform, so it goes to standard
// error, apart from the results.
int32_t Timed(const char* what, int32_t (*call)(const char*, uint16_t*), const char* address,
              uint16_t* value) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t rc = call(address, value);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::fprintf(stderr, "%s: %s %s took %lld ms\n", g_case, what, address,
                 static_cast<long long>(ms.count()));
    Print("%s %s rc=%d", what, address, rc);
    return rc;
}

void PanelGone() {
    Sync("stop-a");
    uint16_t value = 1;
    const auto read = [](const char* address, uint16_t* v) { return Read(address, v); };
    const auto write = [](const char* address, uint16_t* v) { return Write(address, *v); };
    Expect(Timed("read", read, "!N", &value) == RC_FAILED, "count fails with the panel gone");
    Expect(Timed("read", read, "!Z", &value) == RC_FAILED, "scan fails with the panel gone");
    value = 1;
    Expect(Timed("write", write, "A0012", &value) == RC_FAILED,
           "command fails with the panel gone");
    // Zones come from the last completed scan, not from the line.
    Expect(Read("P0017", &value) == RC_DONE && value == 9, "the snapshot stays");
    Expect(TakeLog(), "no log line");
}

void MissingPort() {
    Context other = NewContext();
    OpenRequest open = OpenAt(g_missing, g_info);
    const int32_t rc = Call(other.get(), FC_OPEN_CHANNEL, &open);
    Print("rc=%d", rc);
    PrintChannel(other.get());
    Expect(rc == RC_FAILED && other.get()->port == 0, "open fails, no port");
    Expect(TakeLog("XOLEST : Fail to open <missing>"), "one log line through the logging library");
}

void Recover() {
    Reopen();
    Scan();
}

void Reconfigure() {
    ReconfigureRequest request{};
    std::snprintf(request.name, sizeof request.name, "%s", g_portB.c_str());
    request.timeout = 10;
    request.settings = {19200, 8, 0, 1};
    const int32_t rc = Call(g_main.get(), FC_RECONFIGURE_CHANNEL, &request);
    Print("rc=%d", rc);
    PrintChannel(g_main.get());
    const DriverContext& c = *g_main.get();
    Expect(rc == RC_DONE && c.port != 0 && g_portB == c.config.name && c.timeoutTicks == 10 &&
               c.config.settings.baud == 19200 && c.config.settings.parity == 1,
           "reconfigured onto the second port");
    Counts();
    Scan();
}

void Close() {
    for (int32_t code : {int{FC_CLOSE_CHANNEL}, int{FC_CLOSE_CHANNEL_ALT}}) {
        const int32_t rc = Call(g_main.get(), code, nullptr);
        Print("close %d rc=%d", code, rc);
        Expect(rc == RC_DONE && g_main.get()->port == 0, "closed");
    }
    uint16_t value = 0;
    Print("read !N when closed rc=%d", Read("!N", &value));
    OpenRequest disabled = OpenAt(g_portB, g_info);
    disabled.enabled = 0;
    const int32_t rc = Call(g_main.get(), FC_OPEN_CHANNEL, &disabled);
    Print("open disabled rc=%d", rc);
    PrintChannel(g_main.get());
    Expect(rc == RC_DONE && g_main.get()->port == 0 && g_main.get()->enabled == 0,
           "a disabled channel opens no port");
}

void Refusals() {
    for (int32_t code : {0, 8, 9, int{FC_NOT_SERVED}, 16, -1}) {
        const int32_t rc = Call(g_main.get(), code, nullptr);
        Print("code %d rc=%d", code, rc);
        Expect(rc == RC_REFUSED, "refused");
    }
    const int32_t noRequest = g_xolMain(nullptr);
    const int32_t noParams = Call(g_main.get(), FC_OPEN_CHANNEL, nullptr);
    const int32_t noContext = Call(nullptr, FC_READ_POINT, nullptr);
    Print("null request rc=%d, open without params rc=%d, read without context rc=%d", noRequest,
          noParams, noContext);
    Expect(noRequest == RC_REFUSED && noParams == RC_REFUSED && noContext == RC_REFUSED, "refused");
}

// The last two cases work on contexts of their own, so that skipping them
// changes nothing the other cases print.
void SameNameReconfigure() {
    Context own = NewContext();
    OpenRequest open = OpenAt(g_portB, g_info);
    Expect(Call(own.get(), FC_OPEN_CHANNEL, &open) == RC_DONE, "open");
    ReconfigureRequest request{};
    std::snprintf(request.name, sizeof request.name, "%s", g_portB.c_str());
    request.settings = {9600, 8, 0, 1};
    const int32_t rc = Call(own.get(), FC_RECONFIGURE_CHANNEL, &request);
    Print("rc=%d", rc);
    PrintChannel(own.get());
    Expect(own.get()->port != 0, "a port stays open");
    uint16_t value = 0;
    Expect(Read("!N", &value, own.get()) == RC_DONE && value == 5, "the channel still works");
    Expect(Call(own.get(), FC_CLOSE_CHANNEL, nullptr) == RC_DONE, "close");
}

void Exclusive() {
    Context first = NewContext();
    Context second = NewContext();
    OpenRequest open = OpenAt(g_portB, g_info);
    Expect(Call(first.get(), FC_OPEN_CHANNEL, &open) == RC_DONE, "first open");
    const int32_t rc = Call(second.get(), FC_OPEN_CHANNEL, &open);
    Print("second open rc=%d", rc);
    Expect(rc == RC_FAILED && second.get()->port == 0, "a port is open once");
    Expect(TakeLog("XOLEST : Fail to open <b>"), "logged");
    Expect(Call(first.get(), FC_CLOSE_CHANNEL, nullptr) == RC_DONE, "close");
}

struct Case {
    const char* name;
    void (*run)();
};

const Case CASES[] = {
    {"describe", Describe},
    {"addresses", Addresses},
    {"open", Open},
    {"scan", Scan},
    {"block", Block},
    {"counts", Counts},
    {"commands", Commands},
    {"reopen", Reopen},
    {"panel-gone", PanelGone},
    {"missing-port", MissingPort},
    {"recover", Recover},
    {"reconfigure", Reconfigure},
    {"close", Close},
    {"refusals", Refusals},
    {"same-name-reconfigure", SameNameReconfigure},
    {"exclusive", Exclusive},
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s MODULE PORT_A PORT_B MISSING SYNC_DIR [--skip CASE]...\n",
                     argv[0]);
        return 64;
    }
    g_portA = argv[2];
    g_portB = argv[3];
    g_missing = argv[4];
    g_syncDir = argv[5];
    std::set<std::string> skipped;
    for (int i = 6; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--skip") == 0) {
            skipped.insert(argv[i + 1]);
        }
    }
    if (!LoadModule(argv[1])) {
        return 2;
    }
    int failed = 0;
    for (const Case& c : CASES) {
        g_case = c.name;
        if (skipped.count(c.name) != 0) {
            Print("skipped");
            continue;
        }
        g_caseFailures = 0;
        c.run();
        if (!TakeLog()) {
            Expect(false, "unexpected log lines");
        }
        Print(g_caseFailures == 0 ? "ok" : "FAILED");
        failed += g_caseFailures == 0 ? 0 : 1;
        std::fflush(stdout);
    }
    return failed == 0 ? 0 : 1;
}
