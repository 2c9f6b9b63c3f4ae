#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace xoltest {

Process::Process(const std::vector<std::string>& argv) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The child starts with the signals a shell would give it, whatever
    // this test process blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    // Each program keeps its state (xolhost's default journal) in a folder
    // of its own, so that no run sees what an earlier one left.
    char folder[] = "/tmp/xol_state_XXXXXX";
    if (::mkdtemp(folder) != nullptr) {
        stateFolder_ = folder;
    }
    std::vector<std::string> variables = {"XDG_STATE_HOME=" + stateFolder_};
    for (char** v = environ; *v != nullptr; ++v) {
        if (std::strncmp(*v, "XDG_STATE_HOME=", 15) != 0 &&
            std::strncmp(*v, "STATE_DIRECTORY=", 16) != 0) {
            variables.emplace_back(*v);
        }
    }
    std::vector<char*> environment;
    for (auto& v : variables) {
        environment.push_back(v.data());
    }
    environment.push_back(nullptr);
    int failed =
        ::posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (failed != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv.front());
    }
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
    if (!stateFolder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(stateFolder_, ignored);
    }
}

void Process::drain(int timeoutMs) {
    pollfd watch[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(watch, 2, timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    for (auto& w : watch) {
        if ((w.revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = ::read(w.fd, buffer, sizeof buffer);
            if (n > 0) {
                (w.fd == out_ ? outText_ : errText_).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
}

std::string Process::readLine(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (outText_.find('\n', lineAt_) == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        drain(20);
    }
    auto end = outText_.find('\n', lineAt_);
    if (end == std::string::npos) {
        return {};
    }
    std::string line = outText_.substr(lineAt_, end - lineAt_);
    lineAt_ = end + 1;
    return line;
}

std::string Process::errSoFar() {
    drain(0);
    return errText_;
}

void Process::signal(int number) {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

Finished Process::wait(std::chrono::milliseconds limit) {
    Finished result;
    auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    bool ended = false;
    while (!ended) {
        drain(20);
        pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            ended = true;
        } else if (std::chrono::steady_clock::now() > until) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            ended = true;
        }
    }
    pid_ = -1;
    // What the program wrote last is still in the pipes.
    for (int i = 0; i < 50; ++i) {
        std::size_t before = outText_.size() + errText_.size();
        drain(10);
        if (outText_.size() + errText_.size() == before) {
            break;
        }
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = outText_.substr(lineAt_);
    result.err = errText_;
    return result;
}

Finished Run(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    Process process(argv);
    return process.wait(limit);
}

Finished RunXolhost(std::vector<std::string> args) {
    args.insert(args.begin(), XOLHOST_PATH);
    return Run(args);
}

Finished RunXolhostOn(const std::string& device, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", device});
    return RunXolhost(std::move(args));
}

nlohmann::json ParseJson(const std::string& text) {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        ADD_FAILURE() << "not JSON: " << text;
        return nlohmann::json::object();
    }
    return parsed;
}

std::vector<nlohmann::json> ParseJsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(ParseJson(line));
    }
    return lines;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string WriteSecret(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
    return path;
}

} // namespace xoltest
