// Point reads and writes through XolMain (codes 5, 6 and 7): every kind of
// every operation, block reads at the edges of the zone range, and refusal
// of what an operation does not serve without any serial traffic.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "codec/frame_build.h"
#include "support/driver_call.h"
#include "support/protocol_fixture.h"

namespace {

using namespace xol;
using cis::EndReply;
using cis::StatusRecord;

constexpr uint16_t UNTOUCHED = 0xD00D;
constexpr uint16_t HOST_WORD = 0x4242;

// Every kind letter there is, and some values that are none.
const std::vector<uint32_t> ALL_KINDS = {'P',
                                         'A',
                                         'Q',
                                         'T',
                                         'L',
                                         'X',
                                         'O',
                                         'Z',
                                         'R',
                                         'S',
                                         'D',
                                         'N',
                                         'C',
                                         'B',
                                         0,
                                         'P' | 0x100u,
                                         'Z' | 0x10000u,
                                         'S' | 0x1000000u};

class DispatchTest : public xol::test::ProtocolTest {
protected:
    int32_t Point(int32_t code, uint32_t kind, uint32_t number = 0) {
        value.host = HOST_WORD;
        point.kind = kind;
        point.number = number;
        point.data = &value;
        return Run(code);
    }
    int32_t Block(uint32_t kind, uint32_t number, int32_t count) {
        words.fill(UNTOUCHED);
        point.kind = kind;
        point.number = number;
        point.count = count;
        point.data = words.data();
        return Run(FC_READ_BLOCK);
    }
    int32_t Run(int32_t code) { return xoltest::CallDriver(&context(), code, &point); }
    void SetSnapshot(int zone, uint8_t status) { context().snapshotZones[zone - 1] = status; }

    PointRequest point{};
    PointValue value{HOST_WORD, UNTOUCHED};
    std::array<uint16_t, 1100> words{};
};

TEST_F(DispatchTest, ZonePointsReadTheSnapshotWithoutTraffic) {
    SetSnapshot(1, 0x11);
    SetSnapshot(12, ZS_CODE3);
    SetSnapshot(17, ZS_CODE1 | ZS_CODE7);
    SetSnapshot(ZONE_COUNT, 0xFF);
    const struct {
        uint32_t number;
        uint16_t expected;
    } cases[] = {
        {0, 0},     {1, 0x11},        {17, 0x09},           {ZONE_COUNT, 0xFF}, {6300, 0},
        {65535, 0}, {0x10001u, 0x11}, {0x1000Cu, ZS_CODE3}, {0xFFFFFFFFu, 0},
    };
    for (const auto& c : cases) {
        value.value = UNTOUCHED;
        EXPECT_EQ(Point(FC_READ_POINT, 'P', c.number), RC_DONE) << c.number;
        EXPECT_EQ(value.value, c.expected) << c.number;
        EXPECT_EQ(value.host, HOST_WORD);
    }
    EXPECT_TRUE(NoTraffic());
    EXPECT_TRUE(guarded().guardIntact());
}

TEST_F(DispatchTest, ReadingZRunsTheScanAndAlwaysLeavesZero) {
    Answer({StatusRecord("0033", '2'), EndReply()});
    EXPECT_EQ(Point(FC_READ_POINT, 'Z'), RC_DONE);
    EXPECT_EQ(value.value, 0);
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{"@S\r", "@!\r"}));
    EXPECT_EQ(Point(FC_READ_POINT, 'P', 33), RC_DONE);
    EXPECT_EQ(value.value, ZS_CODE2);

    // A dead line: the scan fails, the value is still 0, the old statuses stay.
    RestartLine();
    value.value = UNTOUCHED;
    EXPECT_EQ(Point(FC_READ_POINT, 'Z'), RC_FAILED);
    EXPECT_EQ(value.value, 0);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>(3, "@S\r"));
    EXPECT_EQ(Point(FC_READ_POINT, 'P', 33), RC_DONE);
    EXPECT_EQ(value.value, ZS_CODE2);
}

TEST_F(DispatchTest, ReadingCAndNAsksThePanel) {
    Answer({cis::CountReply('C', 123)});
    EXPECT_EQ(Point(FC_READ_POINT, 'C'), RC_DONE);
    EXPECT_EQ(value.value, 123);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>{"@PA\r"});

    RestartLine();
    Answer({cis::CountReply('N', 456)});
    EXPECT_EQ(Point(FC_READ_POINT, 'N'), RC_DONE);
    EXPECT_EQ(value.value, 456);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>{"@PD\r"});
    EXPECT_EQ(value.host, HOST_WORD);
}

TEST_F(DispatchTest, ReadRefusesEveryOtherKindUntouched) {
    for (uint32_t kind : ALL_KINDS) {
        if (kind == 'P' || kind == 'Z' || kind == 'C' || kind == 'N') {
            continue;
        }
        value.value = UNTOUCHED;
        EXPECT_EQ(Point(FC_READ_POINT, kind, 12), RC_REFUSED) << kind;
        EXPECT_EQ(value.value, UNTOUCHED) << kind;
    }
    EXPECT_TRUE(NoTraffic());
}

TEST_F(DispatchTest, BlocksReadConsecutiveZonesAndNothingElse) {
    for (int z = 95; z <= 105; ++z) {
        SetSnapshot(z, static_cast<uint8_t>(z));
    }
    EXPECT_EQ(Block('P', 100, 3), RC_DONE);
    EXPECT_EQ(words[0], 100);
    EXPECT_EQ(words[1], 101);
    EXPECT_EQ(words[2], 102);
    EXPECT_EQ(words[3], UNTOUCHED);
    EXPECT_TRUE(NoTraffic());
}

TEST_F(DispatchTest, EmptyAndNegativeBlocksWriteNothing) {
    for (int32_t count : {0, -3, INT32_MIN}) {
        EXPECT_EQ(Block('P', 100, count), RC_DONE) << count;
        EXPECT_EQ(words[0], UNTOUCHED) << count;
    }
    // Nothing is written through a missing array when nothing is to be written.
    point.data = nullptr;
    point.count = 0;
    EXPECT_EQ(Run(FC_READ_BLOCK), RC_DONE);
    EXPECT_TRUE(NoTraffic());
}

TEST_F(DispatchTest, BlocksPastTheLastZoneReadZeroThere) {
    SetSnapshot(1, 0x01);
    SetSnapshot(2, 0x02);
    SetSnapshot(6298, 0x08);
    SetSnapshot(ZONE_COUNT, 0x10);
    EXPECT_EQ(Block('P', 6298, 5), RC_DONE);
    EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 6),
              (std::vector<uint16_t>{0x08, 0x10, 0, 0, 0, UNTOUCHED}));

    // P6000 with the largest checked count reaches zone 6999.
    EXPECT_EQ(Block('P', 6000, 1000), RC_DONE);
    EXPECT_EQ(words[298], 0x08);
    EXPECT_EQ(words[299], 0x10);
    for (size_t i = 300; i < 1000; ++i) {
        ASSERT_EQ(words[i], 0) << i;
    }
    EXPECT_EQ(words[1000], UNTOUCHED);

    // The first zone is the number's low 16 bits; counting from it never
    // wraps round onto zones 1 and 2.
    EXPECT_EQ(Block('P', 0x10001u, 2), RC_DONE);
    EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 2),
              (std::vector<uint16_t>{0x01, 0x02}));
    EXPECT_EQ(Block('P', 65535, 3), RC_DONE);
    EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 3),
              (std::vector<uint16_t>{0, 0, 0}));
    EXPECT_EQ(Block('P', 0xFFFFFFFEu, 4), RC_DONE);
    EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 4),
              (std::vector<uint16_t>{0, 0, 0, 0}));
    // Zone 0 heads a block as "no status".
    EXPECT_EQ(Block('P', 0, 3), RC_DONE);
    EXPECT_EQ(std::vector<uint16_t>(words.begin(), words.begin() + 3),
              (std::vector<uint16_t>{0, 0x01, 0x02}));
    EXPECT_TRUE(NoTraffic());
    EXPECT_TRUE(guarded().guardIntact());
}

TEST_F(DispatchTest, BlocksOfOtherKindsAreRefusedUnwritten) {
    for (uint32_t kind : ALL_KINDS) {
        if (kind == 'P') {
            continue;
        }
        EXPECT_EQ(Block(kind, 100, 3), RC_REFUSED) << kind;
        EXPECT_EQ(words[0], UNTOUCHED) << kind;
    }
    EXPECT_TRUE(NoTraffic());
}

TEST_F(DispatchTest, WritesSendEachKindsCommand) {
    const struct {
        uint32_t kind;
        uint32_t number;
        uint16_t value;
        const char* frame;
        const char* reply;
        int32_t result;
    } cases[] = {
        {'A', 100, 2, "@XEA01009F\r", "@!\r", RC_DONE},
        {'L', 12, 3, "@XDP0012AF\r", "@U\r", RC_REFUSED},
        {'O', (5u << 16) | 123u, 0, "@XRO0500012384\r", "@!\r", RC_DONE},
        {'Q', 7, 1, "@XAS0007B3\r", "@!\r", RC_DONE},
        {'T', 0, 2, "@XET0000B1\r", "@!\r", RC_DONE},
        {'X', 42, 1, "@XEZ0000421D\r", "@!\r", RC_DONE},
        {'D', 0, 9, "@D\r", "@!\r", RC_DONE},
        {'R', 0, 9, "@R\r", "@?\r", RC_REFUSED},
        {'S', 0, 9, "@O\r", "@!\r", RC_DONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        RestartLine();
        Answer({c.reply});
        value.value = c.value;
        EXPECT_EQ(Point(FC_WRITE_POINT, c.kind, c.number), c.result);
        EXPECT_EQ(fake::Writes(), std::vector<std::string>{c.frame});
        EXPECT_EQ(value.value, c.value);
        EXPECT_EQ(value.host, HOST_WORD);
    }
}

TEST_F(DispatchTest, WritingZRunsAFullScanAndLeavesTheValue) {
    Answer({StatusRecord("0044", '8'), EndReply()});
    value.value = 0x1234;
    EXPECT_EQ(Point(FC_WRITE_POINT, 'Z'), RC_DONE);
    EXPECT_EQ(value.value, 0x1234);
    EXPECT_EQ(context().snapshotZones[43], ZS_CODE8);
}

TEST_F(DispatchTest, WriteRefusesEveryOtherKindWithoutTraffic) {
    for (uint32_t kind : ALL_KINDS) {
        if (std::string_view("AQTLXOZRSD").find(static_cast<char>(kind)) !=
                std::string_view::npos &&
            kind < 0x100) {
            continue;
        }
        value.value = 1;
        EXPECT_EQ(Point(FC_WRITE_POINT, kind, 12), RC_REFUSED) << kind;
        EXPECT_EQ(value.value, 1);
    }
    EXPECT_TRUE(NoTraffic());
}

TEST_F(DispatchTest, AMissingValueIsRefusedWhereItWouldBeUsed) {
    Answer({EndReply()});
    point.data = nullptr;
    point.count = 5;
    const struct {
        int32_t code;
        uint32_t kind;
    } refused[] = {
        {FC_READ_POINT, 'P'}, {FC_READ_POINT, 'Z'},  {FC_READ_POINT, 'C'},  {FC_READ_POINT, 'N'},
        {FC_READ_BLOCK, 'P'}, {FC_WRITE_POINT, 'A'}, {FC_WRITE_POINT, 'O'}, {FC_WRITE_POINT, 'X'},
    };
    for (const auto& c : refused) {
        point.kind = c.kind;
        EXPECT_EQ(Run(c.code), RC_REFUSED) << c.code << " " << static_cast<char>(c.kind);
    }
    EXPECT_TRUE(NoTraffic());

    // Operations that do not use the value go ahead without one.
    point.kind = 'Z';
    EXPECT_EQ(Run(FC_WRITE_POINT), RC_DONE);
    point.kind = 'D';
    fake::QueueReply("@!\r");
    EXPECT_EQ(Run(FC_WRITE_POINT), RC_DONE);
}

} // namespace
