// The driver from end to end through XolMain over a real pseudo-terminal,
// with the scripted panel peer on the other end: open, check addresses, scan,
// read zones, blocks and counts, send every command, close; and the line's
// misbehaviour that only a real line shows (pieces, late and stale bytes).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <xolest/xolest.h>

#include "codec/frame_build.h"
#include "pty.h"
#include "support/driver_call.h"
#include "support/scripted_peer.h"

namespace {

using namespace std::chrono_literals;
using cis::CommandReply;
using cis::CorruptChecksum;
using cis::CountReply;
using cis::EndReply;
using cis::StatusRecord;
using xoltest::PeerStep;

// 100 ms: long enough for a loaded machine to pass bytes through a
// pseudo-terminal, short enough that silences cost little.
constexpr uint32_t RESPONSE_TIMEOUT = 10;

struct Point {
    uint32_t kind = 0;
    uint32_t number = 0;
};

class PanelLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error();
        ASSERT_LT(pty.portName().size(), XOL_PORT_NAME_SIZE);
        context = std::make_unique<DriverContext>();
        std::memset(context.get(), 0, sizeof(DriverContext));
        peerOnLine = std::make_unique<xoltest::ScriptedPeer>(pty.master());
        OpenRequest open{};
        std::strncpy(open.name, pty.portName().c_str(), sizeof open.name - 1);
        open.enabled = 1;
        open.timeout = RESPONSE_TIMEOUT;
        open.settings = PortSettings{9600, 8, 0, 0};
        ASSERT_EQ(Call(FC_OPEN_CHANNEL, &open), RC_DONE);
        ASSERT_NE(context->port, 0u);
    }
    void TearDown() override {
        if (context->port != 0) {
            EXPECT_EQ(Call(FC_CLOSE_CHANNEL, nullptr), RC_DONE);
        }
        peerOnLine->stop();
    }

    int32_t Call(int32_t code, void* params) {
        return xoltest::CallDriver(context.get(), code, params);
    }
    Point Check(const char* text, int32_t count = -1) {
        PointDefinition definition{};
        definition.text = text;
        definition.count = count;
        const int32_t code = count >= 0 ? FC_CHECK_BLOCK : FC_CHECK_POINT;
        EXPECT_EQ(Call(code, &definition), RC_DONE) << text;
        return Point{definition.kind, static_cast<uint32_t>(definition.number)};
    }
    int32_t Read(const Point& point, uint16_t* value) {
        PointValue pointValue{0x1111, 0xEEEE};
        PointRequest request{};
        request.kind = point.kind;
        request.number = point.number;
        request.data = &pointValue;
        const int32_t result = Call(FC_READ_POINT, &request);
        *value = pointValue.value;
        return result;
    }
    int32_t ReadBlock(const Point& point, int32_t count, std::vector<uint16_t>& words) {
        PointRequest request{};
        request.kind = point.kind;
        request.number = point.number;
        request.count = count;
        request.data = words.data();
        return Call(FC_READ_BLOCK, &request);
    }
    int32_t Write(const Point& point, uint16_t value) {
        PointValue pointValue{0x2222, value};
        PointRequest request{};
        request.kind = point.kind;
        request.number = point.number;
        request.data = &pointValue;
        return Call(FC_WRITE_POINT, &request);
    }
    // The frames the peer got since the last look.
    std::vector<std::string> Received() {
        std::vector<std::string> frames = peerOnLine->requests();
        peerOnLine->clearRequests();
        return frames;
    }

    xolsim::PtyPair pty;
    std::unique_ptr<DriverContext> context;
    std::unique_ptr<xoltest::ScriptedPeer> peerOnLine;
};

TEST_F(PanelLineTest, ScanReadsCountsAndEveryCommandKind) {
    const Point scan = Check("!z");
    const Point zone12 = Check("P0012");
    const Point zone6299 = Check("P6299");
    const Point block = Check("P0011", 4);
    const Point countC = Check("!C");
    const Point countN = Check("!N");
    EXPECT_EQ(scan.kind, uint32_t{'Z'});
    EXPECT_EQ(block.kind, uint32_t{'P'});

    // A scan with a record in pieces, one with a stale tail, one with a
    // wrong checksum and one for an illegal zone.
    peerOnLine->expect({
        PeerStep::Reply(StatusRecord(12, 1)),
        PeerStep::InPieces(StatusRecord(12, 7), {2, 5}, 20ms),
        PeerStep::WithLeftover(StatusRecord(6299, 8), "@!\r"),
        PeerStep::Reply(CorruptChecksum(StatusRecord(13, 1))),
        PeerStep::Reply(StatusRecord(14, 2)),
        PeerStep::Reply(EndReply()),
    });
    uint16_t value = 0;
    EXPECT_EQ(Read(scan, &value), RC_DONE);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Received(),
              (std::vector<std::string>{"@S\r", "@!\r", "@!\r", "@!\r", "@!\r", "@!\r"}));

    EXPECT_EQ(Read(zone12, &value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(Read(zone6299, &value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE8);
    std::vector<uint16_t> words(5, 0xFFFF);
    EXPECT_EQ(ReadBlock(block, 4, words), RC_DONE);
    EXPECT_EQ(words, (std::vector<uint16_t>{0, ZS_CODE1 | ZS_CODE7, 0, ZS_CODE2, 0xFFFF}));
    EXPECT_TRUE(Received().empty()) << "zone reads never touch the line";

    peerOnLine->expect(
        {PeerStep::Reply(CountReply('C', 42)), PeerStep::Reply(CountReply('N', 1234))});
    EXPECT_EQ(Read(countC, &value), RC_DONE);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(Read(countN, &value), RC_DONE);
    EXPECT_EQ(value, 1234);
    EXPECT_EQ(Received(), (std::vector<std::string>{"@PA\r", "@PD\r"}));

    const struct {
        const char* address;
        uint16_t value;
        const char* frame;
        char answer;
        int32_t result;
    } commands[] = {
        {"L0012", 2, "@XEP0012B0\r", '!', RC_DONE},
        {"T0000", 2, "@XET0000B1\r", '!', RC_DONE},
        {"Q0007", 0, "@XRS0007C4\r", 'U', RC_REFUSED},
        {"A0100", 3, "@XDA01009E\r", '!', RC_DONE},
        {"O050123", 1, "@XAO0500012373\r", '!', RC_DONE},
        {"X0042", 0, "@XDZ0000421C\r", '!', RC_DONE},
        {"!D", 0, "@D\r", '!', RC_DONE},
        {"!R", 0, "@R\r", '?', RC_REFUSED},
        {"!S", 0, "@O\r", '!', RC_DONE},
    };
    for (const auto& c : commands) {
        SCOPED_TRACE(c.address);
        peerOnLine->expect(PeerStep::Reply(CommandReply(c.answer)));
        EXPECT_EQ(Write(Check(c.address), c.value), c.result);
        EXPECT_EQ(Received(), std::vector<std::string>{c.frame});
    }

    EXPECT_EQ(Call(FC_CLOSE_CHANNEL, nullptr), RC_DONE);
    EXPECT_EQ(context->port, 0u);
}

TEST_F(PanelLineTest, ScanStartsAgainAfterTheLineFallsSilent) {
    const Point scan = Check("!Z");
    peerOnLine->expect({
        PeerStep::Reply(StatusRecord(100, 1)),
        PeerStep::Silence(),
        PeerStep::Reply(StatusRecord(100, 3)),
        PeerStep::Reply(EndReply()),
    });
    uint16_t value = 0;
    EXPECT_EQ(Read(scan, &value), RC_DONE);
    EXPECT_EQ(Received(), (std::vector<std::string>{"@S\r", "@!\r", "@S\r", "@!\r"}));
    EXPECT_EQ(Read(Check("P0100"), &value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE1 | ZS_CODE3);
}

TEST_F(PanelLineTest, DeadLineFailsTheScanAndKeepsTheSnapshot) {
    context->snapshotZones[4] = ZS_CODE2;
    const auto started = std::chrono::steady_clock::now();
    uint16_t value = 0xAAAA;
    EXPECT_EQ(Read(Check("!Z"), &value), RC_FAILED);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Received(), std::vector<std::string>(3, "@S\r"));
    // Three waits of the 100 ms response time-out, not of the 1 s default.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_EQ(Read(Check("P0005"), &value), RC_DONE);
    EXPECT_EQ(value, ZS_CODE2);
}

TEST_F(PanelLineTest, StaleBytesOnTheLineAreNeverTakenForAnAnswer) {
    // Noise that sits on the line before the command goes out, and a late
    // duplicate after the first answer.
    peerOnLine->sendNow("@U\r@U\r");
    std::this_thread::sleep_for(50ms);
    peerOnLine->expect(
        {PeerStep::WithLeftover(CommandReply('?'), "@U\r"), PeerStep::Reply(CommandReply('!'))});
    EXPECT_EQ(Write(Check("A0001"), 1), RC_DONE);
    EXPECT_EQ(Received().size(), 2u);
}

TEST_F(PanelLineTest, CountRepliesInPiecesAndLateAreGathered) {
    peerOnLine->expect({PeerStep::InPieces(CountReply('C', 777), {1, 1, 3, 2}, 30ms),
                        PeerStep::Late(CountReply('N', 8), 40ms)});
    uint16_t value = 0;
    EXPECT_EQ(Read(Check("!C"), &value), RC_DONE);
    EXPECT_EQ(value, 777);
    EXPECT_EQ(Read(Check("!N"), &value), RC_DONE);
    EXPECT_EQ(value, 8);
    EXPECT_EQ(Received(), (std::vector<std::string>{"@PA\r", "@PD\r"}));
}

TEST_F(PanelLineTest, OnlyTheLastCountTryDecides) {
    const std::string bad = CorruptChecksum(CountReply('N', 42));
    peerOnLine->expect({PeerStep::Silence(), PeerStep::Silence(), PeerStep::Reply(bad)});
    uint16_t value = 0;
    EXPECT_EQ(Read(Check("!N"), &value), RC_REFUSED);
    EXPECT_EQ(value, 0xEEEE);
    peerOnLine->expect({PeerStep::Reply(bad), PeerStep::Reply(bad), PeerStep::Silence()});
    EXPECT_EQ(Read(Check("!N"), &value), RC_FAILED);
    EXPECT_EQ(Received(), std::vector<std::string>(6, "@PD\r"));
}

TEST_F(PanelLineTest, ALongReportThroughAResponder) {
    // Every zone from 1 to 300 reports status code 1, answered as asked.
    int next = 1;
    peerOnLine->otherwise([&next](const std::string& request) {
        if (request != "@S\r" && request != "@!\r") {
            return PeerStep::Silence();
        }
        if (request == "@S\r") {
            next = 1;
        }
        if (next > 300) {
            return PeerStep::Reply(EndReply());
        }
        return PeerStep::Reply(StatusRecord(static_cast<uint16_t>(next++), 1));
    });
    uint16_t value = 0;
    EXPECT_EQ(Read(Check("!Z"), &value), RC_DONE);
    EXPECT_EQ(peerOnLine->requestCount(), 301u);
    std::vector<uint16_t> words(302, 0xFFFF);
    EXPECT_EQ(ReadBlock(Check("P0000", 302), 302, words), RC_DONE);
    EXPECT_EQ(words[0], 0);
    for (size_t z = 1; z <= 300; ++z) {
        ASSERT_EQ(words[z], ZS_CODE1) << z;
    }
    EXPECT_EQ(words[301], 0);
}

} // namespace
