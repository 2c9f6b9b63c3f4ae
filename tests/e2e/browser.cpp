#include "browser.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/loopback.h"

extern char** environ;

namespace xoltest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

// A port no one listens on now, for chromedriver.
int AnyFreePort() {
    const int port = FreePort();
    if (port == 0) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    return port;
}

} // namespace

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

bool Healthy(int port, std::chrono::seconds limit) {
    httplib::Client api("127.0.0.1", port);
    for (auto until = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        if (auto health = api.Get("/healthz"); health && health->status == 200) {
            return true;
        }
    }
    return false;
}

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

Spawned::Spawned(std::vector<std::string> argv, const std::string& log) {
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

Spawned::~Spawned() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

Browser::Browser(const BrowserSetup& setup)
    : port_(AnyFreePort()),
      driver_({setup.chromedriver, "--port=" + std::to_string(port_), "--log-level=WARNING"},
              setup.log),
      client_("127.0.0.1", port_) {
    if (driver_.pid() < 0) {
        throw std::runtime_error("cannot start " + setup.chromedriver);
    }
    client_.set_read_timeout(60, 0);
    try {
        for (auto until = Clock::now() + 30s; Clock::now() < until;
             std::this_thread::sleep_for(100ms)) {
            if (auto ready = client_.Get("/status"); ready && ready->status == 200) {
                break;
            }
        }
        const std::string size = std::to_string(setup.width) + "," + std::to_string(setup.height);
        json capabilities = {
            {"capabilities",
             {{"alwaysMatch",
               {{"goog:chromeOptions",
                 {{"binary", setup.chromium},
                  {"args",
                   {"--headless", "--no-sandbox", "--disable-background-networking",
                    "--disable-dev-shm-usage", "--disable-crash-reporter",
                    "--autoplay-policy=no-user-gesture-required",
                    "--user-data-dir=" + setup.profile, "--window-size=" + size}}}}}}}}};
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

Browser::~Browser() {
    end();
}

json Browser::call(const std::string& method, const std::string& path, const json& body) {
    auto result = method == "GET" ? client_.Get(path)
                  : method == "DELETE"
                      ? client_.Delete(path)
                      : client_.Post(path, body.is_null() ? "{}" : body.dump(), "application/json");
    if (!result) {
        throw std::runtime_error("chromedriver did not answer " + path);
    }
    return json::parse(result->body).value("value", json());
}

json Browser::session(const std::string& method, const std::string& path, const json& body) {
    return call(method, "/session/" + session_ + path, body);
}

void Browser::open(const std::string& url) {
    session("POST", "/url", {{"url", url}});
}

json Browser::run(const std::string& script, bool async) {
    return session("POST", async ? "/execute/async" : "/execute/sync",
                   {{"script", script}, {"args", json::array()}});
}

bool Browser::waitFor(const std::string& script, std::chrono::seconds limit) {
    for (auto until = Clock::now() + limit; Clock::now() < until;
         std::this_thread::sleep_for(200ms)) {
        if (run(script) == true) {
            return true;
        }
    }
    return false;
}

void Browser::resize(int width, int height) {
    session("POST", "/window/rect", {{"width", width}, {"height", height}});
}

json Browser::devtools(const std::string& command, const json& params) {
    return session("POST", "/goog/cdp/execute", {{"cmd", command}, {"params", params}});
}

std::string Browser::screenshot() {
    return Base64Decode(session("GET", "/screenshot").get<std::string>());
}

// Closes the session (the browser quits), kills by id whatever of the
// browser is still below chromedriver, then chromedriver; its owner reaps it.
void Browser::end() {
    if (!session_.empty()) {
        client_.Delete("/session/" + session_);
        session_.clear();
    }
    for (pid_t pid : Descendants(driver_.pid())) {
        ::kill(pid, SIGKILL);
    }
    ::kill(driver_.pid(), SIGKILL);
}

} // namespace xoltest
