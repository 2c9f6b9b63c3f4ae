// What systemd hears of supervision, received on a real AF_UNIX datagram
// socket made here: the messages reach a socket named by path or in the
// abstract namespace, and the keep-alives come from the supervising loop
// alone, so a step that hangs stops them and they come back when it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "sinks/service_status.h"
#include "supervision/supervisor.h"

namespace xolhost {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// A bound datagram socket, as the service manager holds one.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : name_(name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name.front() == '@') {
            address.sun_path[0] = 0;
        }
        auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                             (name.front() == '@' ? 0 : 1));
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    }
    ~NotifySocket() {
        ::close(fd_);
        if (name_.front() != '@') {
            ::unlink(name_.c_str());
        }
    }
    bool bound() const { return bound_; }
    // The next message, or an empty text after `limit`.
    std::string receive(std::chrono::milliseconds limit) {
        pollfd watch{fd_, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(limit.count())) <= 0) {
            return {};
        }
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

bool WaitFor(const std::function<bool()>& condition) {
    const auto until = Steady::now() + 10s;
    while (!condition()) {
        if (Steady::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string SocketPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + "-" + std::to_string(::getpid())))
        .string();
}

TEST(ServiceManager, ReachesSocketsByPathAndInTheAbstractNamespace) {
    for (const std::string& name :
         {SocketPath("xol-notify"), "@xol-notify-" + std::to_string(::getpid())}) {
        NotifySocket socket(name);
        ASSERT_TRUE(socket.bound()) << name;
        ServiceManager manager(name, 0us);
        ASSERT_TRUE(manager.notify("READY=1\nSTATUS=first scan\n")) << name;
        EXPECT_EQ(socket.receive(2s), "READY=1\nSTATUS=first scan\n") << name;
    }
    EXPECT_FALSE(ServiceManager().notify("READY=1\n"));
    EXPECT_FALSE(ServiceManager(SocketPath("xol-nobody"), 0us).notify("READY=1\n"));
}

// Scans that complete at once until told to hang, and hang until let go.
class HangingPanel : public SupervisedPanel {
public:
    ScanResult scan() override {
        std::unique_lock lock(mutex_);
        if (hang_) {
            hanging_ = true;
            wake_.wait(lock, [this] { return !hang_; });
        }
        ScanResult scan;
        scan.result = RC_DONE;
        scan.statuses = {{17, ZS_CODE1}};
        return scan;
    }
    CountResult readCount(char) override { return {RC_DONE, 3, {}}; }
    CommandResult write(const std::string&, uint16_t) override { return {RC_DONE, {}}; }
    bool channelOpen() const override { return true; }
    bool openChannel() override { return true; }
    void closeChannel() override {}

    void hang(bool on) {
        {
            std::lock_guard lock(mutex_);
            hang_ = on;
            hanging_ = hanging_ && on;
        }
        wake_.notify_all();
    }
    bool hanging() {
        std::lock_guard lock(mutex_);
        return hanging_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool hang_ = false;
    bool hanging_ = false;
};

// Receives for `span`; the keep-alives and the longest time between two.
struct KeepAlives {
    int count = 0;
    std::chrono::milliseconds longestGap{0};
    std::vector<std::string> messages;
};

KeepAlives Listen(NotifySocket& socket, std::chrono::milliseconds span) {
    KeepAlives heard;
    const auto end = Steady::now() + span;
    auto last = Steady::now();
    while (Steady::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now());
        std::string message = socket.receive(std::max(left, 1ms));
        auto now = Steady::now();
        if (message.find("WATCHDOG=1") != std::string::npos) {
            ++heard.count;
            heard.longestGap =
                std::max(heard.longestGap,
                         std::chrono::duration_cast<std::chrono::milliseconds>(now - last));
            last = now;
        }
        if (!message.empty()) {
            heard.messages.push_back(message);
        }
    }
    return heard;
}

TEST(ServiceStatus, AStuckStepStopsTheKeepAlivesUntilItEnds) {
    const std::string name = SocketPath("xol-watchdog");
    NotifySocket socket(name);
    ASSERT_TRUE(socket.bound());
    // Steps a second apart: between them the loop's waiting keeps the
    // watchdog fed every quarter of its 800 ms.
    ServiceStatus status(ServiceManager(name, 800ms), true);
    HangingPanel panel;
    SupervisionSettings settings;
    settings.interval = 1000ms;
    Supervisor supervisor(panel, settings);
    supervisor.addSink(status);
    supervisor.whileWaiting([&] { status.alive(); });
    CommandQueue queue;
    std::atomic<bool> stop{false};
    std::thread loop([&] { supervisor.run(queue, [&] { return stop.load(); }); });

    KeepAlives running = Listen(socket, 2500ms);
    panel.hang(true);
    ASSERT_TRUE(WaitFor([&] { return panel.hanging(); }));
    // What was sent before the step hung is no news.
    while (!socket.receive(0ms).empty()) {
    }
    KeepAlives stuck = Listen(socket, 2000ms);
    panel.hang(false);
    KeepAlives after = Listen(socket, 1500ms);
    stop = true;
    loop.join();

    ASSERT_FALSE(running.messages.empty());
    EXPECT_EQ(running.messages.front().rfind("READY=1\nSTATUS=line open; last scan ", 0), 0u)
        << running.messages.front();
    EXPECT_NE(running.messages.front().find("1 zone in a status; 1 unacknowledged"),
              std::string::npos)
        << running.messages.front();
    // At least twice per watchdog period while it runs; a loaded machine
    // may delay one, never by the whole period.
    EXPECT_GE(running.count, 5);
    EXPECT_LT(running.longestGap, 800ms);
    EXPECT_EQ(stuck.count, 0) << "keep-alives while the step hung";
    EXPECT_GE(after.count, 2) << "no keep-alives once the step ended";
}

} // namespace
} // namespace xolhost
