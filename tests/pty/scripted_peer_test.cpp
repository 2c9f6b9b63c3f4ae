// The scripted peer on its own: how it cuts the driver's bytes into request
// frames and how it answers them, seen from the driver's end of the line.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "codec/frame_build.h"
#include "codec/frame_decode.h"
#include "codec/text.h"
#include "line_io.h"
#include "pty.h"
#include "support/scripted_peer.h"

namespace {

using namespace std::chrono_literals;
using xoltest::PeerStep;
using xoltest::ScriptedPeer;

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
    void Send(const std::string& bytes) { ASSERT_TRUE(xolsim::WriteAll(fd, bytes)); }
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

TEST(PeerFrames, RequestLengthsAreThePanels) {
    // Whole requests as the driver sends them: the peer's cut falls at the
    // end of each, and the simulator's parser knows each one.
    const std::string requests[] = {
        "@S\r",
        "@!\r",
        "@D\r",
        "@R\r",
        "@O\r",
        "@PA\r",
        "@PD\r",
        cis::ChecksummedFrame("XEP0012"),
        cis::ChecksummedFrame("XDZ000042"),
        cis::ChecksummedFrame("XAO05000123"),
    };
    for (const std::string& request : requests) {
        SCOPED_TRACE(cis::Printable(request));
        EXPECT_EQ(ScriptedPeer::RequestLength(request), request.size());
        EXPECT_NE(cis::DecodeRequest(request).kind, cis::FrameKind::UnknownRequest);
    }
    // Judged by their first bytes alone.
    for (const char* head : {"@S", "@!", "@D", "@R", "@O"}) {
        EXPECT_EQ(ScriptedPeer::RequestLength(head), 3u) << head;
    }
    EXPECT_EQ(ScriptedPeer::RequestLength("@PA"), 4u);
    EXPECT_EQ(ScriptedPeer::RequestLength("@XEP"), 11u);
    EXPECT_EQ(ScriptedPeer::RequestLength("@XDZ"), 13u);
    EXPECT_EQ(ScriptedPeer::RequestLength("@XRO"), 15u);
    EXPECT_EQ(ScriptedPeer::RequestLength("@X"), 0u);
    EXPECT_EQ(ScriptedPeer::RequestLength("#S"), 0u);
}

TEST_F(ScriptedPeerTest, CutsRequestsOutOfOneBurstAndAnswersInOrder) {
    ScriptedPeer panel(pty.master());
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
    ScriptedPeer panel(pty.master());
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
    auto panel = std::make_unique<ScriptedPeer>(pty.master());
    panel->expect(PeerStep::Late("never", 10s));
    Send("@S\r");
    ASSERT_TRUE(panel->waitForRequests(1, 2s));
    const auto started = std::chrono::steady_clock::now();
    panel.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(Collect(50ms), "");
}

} // namespace
