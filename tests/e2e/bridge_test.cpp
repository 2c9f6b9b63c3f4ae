// The driver through a serial-over-network bridge as sites deploy it: ser2net
// serves the simulated panel's pseudo-terminal on a local TCP port, and socat
// gives the driver a local pseudo-terminal connected to it. A scan, counts and
// commands cross the bridge; stopping the bridge mid-scan fails the call, and
// once the bridge is back the channel opens and serves again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "module/driver.h"
#include "panel.h"
#include "process.h"
#include "scenario.h"
#include "support/two_zones.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

xolhost::DriverModule& Module() {
    static xolhost::DriverModule module(XOL_MODULE_PATH);
    return module;
}

// A TCP port on the loopback that nothing listens on just now.
int FreeLocalPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    close(s);
    return ntohs(address.sin_port);
}

bool Listening(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

template <typename Ready>
bool WaitFor(Ready ready, std::chrono::milliseconds limit = 5s) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return ready();
}

xolsim::Scenario Zones() {
    xolsim::Scenario scenario = xoltest::TwoZones();
    for (uint16_t zone = 100; zone <= 400; zone += 3) {
        scenario.zones[zone] = {3};
    }
    return scenario;
}

// ser2net on a panel's pseudo-terminal, and socat's local end of it under
// /dev (the driver takes names of at most 11 characters under /dev).
class Bridge {
public:
    explicit Bridge(const std::string& panelDevice)
        : dir_(fs::temp_directory_path() / ("xolbridge-" + std::to_string(getpid()))),
          port_(FreeLocalPort()), link_("xb" + std::to_string(getpid() % 100000)) {
        fs::create_directories(dir_);
        std::ofstream(dir_ / "ser2net.yaml")
            << "connection: &panel\n"
            << "    accepter: tcp,127.0.0.1," << port_ << "\n"
            << "    connector: serialdev," << panelDevice << ",2400e81,local\n";
        ser2net_ = std::make_unique<xoltest::Process>(
            std::vector<std::string>{"ser2net", "-n", "-c", (dir_ / "ser2net.yaml").string(), "-P",
                                     (dir_ / "ser2net.pid").string()});
        ready_ = WaitFor([this] { return Listening(port_); }) && startLocalEnd();
    }
    ~Bridge() {
        stopLocalEnd();
        ser2net_.reset();
        fs::remove_all(dir_);
    }

    bool ready() const { return ready_; }
    const std::string& portName() const { return link_; }

    // socat exits and removes its pseudo-terminal, as when a bridge goes down.
    void stopLocalEnd() {
        if (socat_) {
            socat_->signal(SIGTERM);
            socat_->wait(5s);
            socat_.reset();
        }
    }
    bool startLocalEnd() {
        socat_ = std::make_unique<xoltest::Process>(
            std::vector<std::string>{"socat", "pty,raw,echo=0,link=/dev/" + link_,
                                     "tcp:127.0.0.1:" + std::to_string(port_)});
        return WaitFor([this] { return fs::exists("/dev/" + link_); });
    }

private:
    fs::path dir_;
    int port_;
    std::string link_;
    std::unique_ptr<xoltest::Process> ser2net_;
    std::unique_ptr<xoltest::Process> socat_;
    bool ready_ = false;
};

xolhost::Point Checked(xolhost::Channel& channel, const std::string& address) {
    xolhost::Point point;
    EXPECT_EQ(channel.check(address, point), RC_DONE) << address;
    return point;
}

TEST(Bridge, ServesTheDriverAndRecoversFromAnOutage) {
    xolsim::FaultOptions paced;
    paced.bitRate = 2400; // a report of about 100 records takes seconds
    xolsim::PtyPanel panel(Zones(), paced);
    Bridge bridge(panel.devicePath());
    ASSERT_TRUE(bridge.ready()) << "ser2net or socat did not start";

    xolhost::Channel channel(Module());
    xolhost::LineSettings line;
    line.port = bridge.portName();
    line.timeout = 50; // a bridge adds latency
    line.settings = {2400, 8, 0, 2};
    ASSERT_EQ(channel.open(line), RC_DONE);
    const xolhost::Point scan = Checked(channel, "!Z");
    uint16_t value = 0;
    ASSERT_EQ(channel.read(scan, value), RC_DONE);
    ASSERT_EQ(channel.read(Checked(channel, "P0012"), value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE1 | ZS_CODE7);
    ASSERT_EQ(channel.read(Checked(channel, "P0400"), value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE3);
    ASSERT_EQ(channel.read(Checked(channel, "!C"), value), RC_DONE);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(channel.write(Checked(channel, "L0012"), 2), RC_DONE);
    EXPECT_EQ(channel.write(Checked(channel, "L0012"), 3), RC_REFUSED);

    // The bridge goes down mid-scan: the scan fails, the snapshot stays.
    std::thread outage([&] {
        std::this_thread::sleep_for(700ms);
        bridge.stopLocalEnd();
    });
    const auto start = Clock::now();
    EXPECT_EQ(channel.read(scan, value), RC_FAILED);
    outage.join();
    EXPECT_LT(Clock::now() - start, 20s);
    ASSERT_EQ(channel.read(Checked(channel, "P0400"), value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE3);

    // Back up: the channel opens again and a whole scan crosses.
    ASSERT_TRUE(bridge.startLocalEnd());
    EXPECT_EQ(channel.close(), RC_DONE);
    ASSERT_EQ(channel.open(line), RC_DONE);
    EXPECT_EQ(channel.read(scan, value), RC_DONE);
    ASSERT_EQ(channel.read(Checked(channel, "P0040"), value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE8);
}

} // namespace
