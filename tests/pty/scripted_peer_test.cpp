// The scripted peer on its own: how it cuts the driver's bytes into request
// frames and how it answers them, seen from the driver's end of the line.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "pty.h"
#include "scripted_peer.h"

namespace {

using namespace std::chrono_literals;
using xolsim::PeerStep;
namespace peer = xolsim::peer;

class ScriptedPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until the line stays quiet for `quiet`.
    std::string Collect(std::chrono::milliseconds quiet = 150ms) {
        std::string got;
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) {
                return got;
            }
            char chunk[64];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) {
                return got;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
    }

    xolsim::PtyPair pty;
    int fd = -1;
};

TEST(PeerFrames, ChecksumsAndLengthsAreThePanels) {
    EXPECT_EQ(peer::Frame("XEP0012"), "@XEP0012B0\r");
    EXPECT_EQ(peer::StatusRecord("0012", '1').size(), 14u);
    EXPECT_EQ(peer::CountReply("0042").size(), 10u);
    const std::string good = peer::CountReply("0042");
    const std::string bad = peer::BadChecksum(good);
    EXPECT_EQ(bad.substr(0, 7), good.substr(0, 7));
    EXPECT_NE(bad.substr(7, 2), good.substr(7, 2));
    for (const char* head : {"@S", "@!", "@D", "@R", "@O"}) {
        EXPECT_EQ(peer::RequestLength(head), 3u) << head;
    }
    EXPECT_EQ(peer::RequestLength("@PA"), 4u);
    EXPECT_EQ(peer::RequestLength("@XEP"), 11u);
    EXPECT_EQ(peer::RequestLength("@XDZ"), 13u);
    EXPECT_EQ(peer::RequestLength("@XRO"), 15u);
    EXPECT_EQ(peer::RequestLength("@X"), 0u);
    EXPECT_EQ(peer::RequestLength("#S"), 0u);
}

TEST_F(ScriptedPeerTest, CutsRequestsOutOfOneBurstAndAnswersInOrder) {
    xolsim::ScriptedPeer panel(pty.master());
    panel.expect({PeerStep::Reply("one"), PeerStep::Silence(), PeerStep::Reply("three")});
    Send("@S\r@PA\r@XEP0012B0\rjunk\r@!");
    ASSERT_TRUE(panel.waitForRequests(4, 2s));
    EXPECT_EQ(panel.requests(),
              (std::vector<std::string>{"@S\r", "@PA\r", "@XEP0012B0\r", "junk\r"}));
    EXPECT_EQ(panel.partial(), "@!");
    EXPECT_EQ(Collect(), "onethree");
    EXPECT_EQ(panel.pendingSteps(), 0u);
}

TEST_F(ScriptedPeerTest, PiecesLeftoversAndTheResponder) {
    xolsim::ScriptedPeer panel(pty.master());
    panel.expect(PeerStep::InPieces("abcdef", {2, 2}, 20ms));
    panel.expect(PeerStep::WithLeftover("xyz", "!!"));
    panel.otherwise([](const std::string& request) { return PeerStep::Reply("<" + request); });
    Send("@S\r");
    EXPECT_EQ(Collect(), "abcdef");
    Send("@!\r");
    EXPECT_EQ(Collect(), "xyz!!");
    Send("@D\r");
    EXPECT_EQ(Collect(), "<@D\r");
    EXPECT_EQ(panel.requestCount(), 3u);
}

TEST_F(ScriptedPeerTest, StopsPromptlyInTheMiddleOfALateReply) {
    auto panel = std::make_unique<xolsim::ScriptedPeer>(pty.master());
    panel->expect(PeerStep::Late("never", 10s));
    Send("@S\r");
    ASSERT_TRUE(panel->waitForRequests(1, 2s));
    const auto started = std::chrono::steady_clock::now();
    panel.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(Collect(50ms), "");
}

} // namespace
