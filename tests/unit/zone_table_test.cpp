// The two zone tables: where each zone lives in the context, what a publish
// copies, and that nothing outside the tables is ever read or written.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/context.h"
#include "core/zone_table.h"
#include "support/protocol_fixture.h"

namespace {

using namespace xol;

constexpr size_t CURRENT_FIRST = 34;
constexpr size_t SNAPSHOT_FIRST = 6333;

class ZoneTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetCurrentContext(&block.get());
        before.assign(block.bytes(), block.bytes() + sizeof(DriverContext));
    }
    void TearDown() override {
        EXPECT_TRUE(block.guardIntact());
        SetCurrentContext(nullptr);
    }
    // Offsets of the context that changed since SetUp.
    std::vector<size_t> Changed() const {
        std::vector<size_t> offsets;
        for (size_t i = 0; i < sizeof(DriverContext); ++i) {
            if (block.bytes()[i] != before[i]) {
                offsets.push_back(i);
            }
        }
        return offsets;
    }
    xol::test::GuardedContext block;
    std::vector<unsigned char> before;
};

TEST_F(ZoneTableTest, FirstZoneLivesAtTheStartOfEachTable) {
    SetZoneBits(1, ZS_CODE1);
    EXPECT_EQ(Changed(), std::vector<size_t>{CURRENT_FIRST});
    EXPECT_EQ(ReadZone(1), 0);
    PublishZones();
    EXPECT_EQ(Changed(), (std::vector<size_t>{CURRENT_FIRST, SNAPSHOT_FIRST}));
    EXPECT_EQ(block.bytes()[SNAPSHOT_FIRST], ZS_CODE1);
    EXPECT_EQ(ReadZone(1), 1);
}

TEST_F(ZoneTableTest, LastZoneLivesAtTheEndOfEachTable) {
    SetZoneBits(ZONE_COUNT, ZS_CODE8);
    EXPECT_EQ(Changed(), std::vector<size_t>{6332});
    PublishZones();
    EXPECT_EQ(Changed(), (std::vector<size_t>{6332, 12631}));
    EXPECT_EQ(ReadZone(ZONE_COUNT), ZS_CODE8);
}

TEST_F(ZoneTableTest, BitsAccumulateInTheirSlot) {
    SetZoneBits(12, ZS_CODE1);
    SetZoneBits(12, ZS_CODE7);
    SetZoneBits(12, ZS_CODE1);
    PublishZones();
    EXPECT_EQ(ReadZone(12), ZS_CODE1 | ZS_CODE7);
}

TEST_F(ZoneTableTest, ClearTouchesOnlyTheCurrentTable) {
    SetZoneBits(5, ZS_CODE2);
    PublishZones();
    ClearCurrentZones();
    EXPECT_EQ(ReadZone(5), ZS_CODE2);
    EXPECT_EQ(block.get().currentZones[4], 0);
    PublishZones();
    EXPECT_EQ(ReadZone(5), 0);
    EXPECT_TRUE(Changed().empty());
}

TEST_F(ZoneTableTest, PublishReplacesRatherThanMerges) {
    std::memset(block.get().snapshotZones, 0xFF, sizeof block.get().snapshotZones);
    SetZoneBits(7, ZS_CODE3);
    PublishZones();
    for (int z = 1; z <= ZONE_COUNT; ++z) {
        ASSERT_EQ(ReadZone(static_cast<uint16_t>(z)), z == 7 ? ZS_CODE3 : 0) << z;
    }
}

TEST_F(ZoneTableTest, ZonesWithoutASlotReadZeroAndAreNeverWritten) {
    std::memset(block.get().currentZones, 0x11, sizeof block.get().currentZones);
    std::memset(block.get().snapshotZones, 0x13, sizeof block.get().snapshotZones);
    before.assign(block.bytes(), block.bytes() + sizeof(DriverContext));
    for (uint32_t zone : {0u, 6300u, 6301u, 6555u, 12631u, 65535u}) {
        EXPECT_EQ(ReadZone(static_cast<uint16_t>(zone)), 0) << zone;
        SetZoneBits(static_cast<uint16_t>(zone), ZS_CODE8);
    }
    EXPECT_TRUE(Changed().empty());
}

TEST_F(ZoneTableTest, EachCallWorksOnTheCurrentContextOnly) {
    xol::test::GuardedContext other;
    SetZoneBits(3, ZS_CODE1);
    PublishZones();
    SetCurrentContext(&other.get());
    EXPECT_EQ(ReadZone(3), 0);
    SetZoneBits(3, ZS_CODE2);
    PublishZones();
    EXPECT_EQ(ReadZone(3), ZS_CODE2);
    SetCurrentContext(&block.get());
    EXPECT_EQ(ReadZone(3), ZS_CODE1);
    EXPECT_TRUE(other.guardIntact());
}

} // namespace
