// The status scan over the scripted fake port: what goes on the wire, how
// records fold into the tables, which records are dropped or logged, and
// what survives a scan that does not complete.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "codec/frame_build.h"
#include "core/zone_table.h"
#include "protocol/status_scan.h"
#include "support/protocol_fixture.h"

namespace {

using namespace xol;
using cis::CorruptChecksum;
using cis::EndReply;
using cis::StatusRecord;

const std::string START = "@S\r";
const std::string NEXT = "@!\r";

class StatusScanTest : public xol::test::ProtocolTest {
protected:
    void FillSnapshot(uint8_t value) {
        std::memset(context().snapshotZones, value, sizeof context().snapshotZones);
    }
    bool SnapshotAll(uint8_t value) {
        for (uint8_t slot : context().snapshotZones) {
            if (slot != value) {
                return false;
            }
        }
        return true;
    }
    uint8_t Snapshot(int zone) { return context().snapshotZones[zone - 1]; }
    uint8_t Current(int zone) { return context().currentZones[zone - 1]; }
    // Zones other than those listed hold 0 in the snapshot.
    bool SnapshotZeroExcept(std::initializer_list<int> zones) {
        for (int z = 1; z <= ZONE_COUNT; ++z) {
            bool listed = false;
            for (int l : zones) {
                listed = listed || l == z;
            }
            if (!listed && Snapshot(z) != 0) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(StatusScanTest, EndReplyAtOncePublishesAnEmptyTable) {
    FillSnapshot(0x1F);
    std::memset(context().currentZones, 0x0E, sizeof context().currentZones);
    Answer({EndReply()});
    EXPECT_EQ(StatusScan(), RC_DONE);
    EXPECT_EQ(fake::Writes(), std::vector<std::string>{START});
    EXPECT_TRUE(SnapshotAll(0));
    EXPECT_TRUE(logs.empty());
}

TEST_F(StatusScanTest, RecordsAreAnsweredWithNextAndFoldedTogether) {
    FillSnapshot(0x1F);
    Answer({
        StatusRecord("0012", '1'),
        StatusRecord("0012", '7'),
        StatusRecord("0001", '2'),
        StatusRecord("6299", '8'),
        StatusRecord("0005", '\x03'), // the bare value counts like the digit
        EndReply(),
    });
    EXPECT_EQ(StatusScan(), RC_DONE);
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{START, NEXT, NEXT, NEXT, NEXT, NEXT}));
    EXPECT_EQ(Snapshot(12), ZS_CODE1 | ZS_CODE7);
    EXPECT_EQ(Snapshot(1), ZS_CODE2);
    EXPECT_EQ(Snapshot(6299), ZS_CODE8);
    EXPECT_EQ(Snapshot(5), ZS_CODE3);
    EXPECT_TRUE(SnapshotZeroExcept({1, 5, 12, 6299}));
    EXPECT_TRUE(guarded().guardIntact());
}

TEST_F(StatusScanTest, LeftoverBytesOfARecordAreNeverReadAsTheNextHead) {
    // A record with trailing bytes: the next request's purge drops them.
    fake::QueueReply(StatusRecord("0100", '2'), 0);
    fake::QueueReply("@X", 0);
    fake::QueueReply(EndReply(), 1);
    EXPECT_EQ(StatusScan(), RC_DONE);
    EXPECT_EQ(Snapshot(100), ZS_CODE2);
}

struct RecordCase {
    const char* name;
    std::string record;
    int zone;        // the slot that must change, 0: none
    uint8_t bits;    // what it must hold
    std::string log; // the log line expected, empty: none
};

void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << c.name;
}

class ApplyStatusRecordCases : public xol::test::ProtocolTest,
                               public ::testing::WithParamInterface<RecordCase> {};

TEST_P(ApplyStatusRecordCases, FiltersInOrderAndLogsIllegalZones) {
    const RecordCase& c = GetParam();
    ASSERT_EQ(c.record.size(), STATUS_RECORD_LENGTH);
    std::vector<uint8_t> record(c.record.begin(), c.record.end());
    ApplyStatusRecord(record.data());
    for (int z = 1; z <= ZONE_COUNT; ++z) {
        ASSERT_EQ(context().currentZones[z - 1], z == c.zone ? c.bits : 0) << "zone " << z;
    }
    if (c.log.empty()) {
        EXPECT_TRUE(logs.empty());
    } else {
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0], c.log);
        EXPECT_EQ(logClasses[0], 32);
    }
    EXPECT_TRUE(NoTraffic());
}

// A record whose zone field "  12" is followed by checksum digits that start
// with a decimal digit, so that a reading that runs on would find 12x.
std::string ZoneTwelveBeforeDigitChecksum() {
    for (char spare = '0'; spare <= 'z'; ++spare) {
        std::string record = StatusRecord("  12", '1', '0', spare);
        if (record[11] >= '0' && record[11] <= '9') {
            return record;
        }
    }
    return {};
}

// A record for zone 34 whose checksum holds a letter, written in lower case.
// The bytes at offsets 1 and 3 are free to steer the checksum there.
std::string LowerCaseChecksum() {
    for (char kind = 'A'; kind < 'Z'; ++kind) {
        for (char spare = '0'; spare <= 'z'; ++spare) {
            std::string record = StatusRecord("0034", '1', '0', spare, kind);
            if (record[11] >= 'A' && record[12] >= 'A') {
                record[11] = static_cast<char>(record[11] + 0x20);
                record[12] = static_cast<char>(record[12] + 0x20);
                return record;
            }
        }
    }
    return {};
}

std::string Illegal(int zone) {
    return "XolES : Got Illegal zone address (" + std::to_string(zone) + ")";
}

INSTANTIATE_TEST_SUITE_P(
    Records, ApplyStatusRecordCases,
    ::testing::Values(
        RecordCase{"FirstZone", StatusRecord("0001", '1'), 1, ZS_CODE1, ""},
        RecordCase{"LastZone", StatusRecord("6299", '7'), 6299, ZS_CODE7, ""},
        RecordCase{"Code2", StatusRecord("0033", '2'), 33, ZS_CODE2, ""},
        RecordCase{"Code3", StatusRecord("0033", '3'), 33, ZS_CODE3, ""},
        RecordCase{"Code8", StatusRecord("0033", '8'), 33, ZS_CODE8, ""},
        RecordCase{"BareCode7", StatusRecord("0033", '\x07'), 33, ZS_CODE7, ""},
        RecordCase{"Code0", StatusRecord("0033", '0'), 0, 0, ""},
        RecordCase{"Code4", StatusRecord("0033", '4'), 0, 0, ""},
        RecordCase{"Code5", StatusRecord("0033", '5'), 0, 0, ""},
        RecordCase{"Code6", StatusRecord("0033", '6'), 0, 0, ""},
        RecordCase{"Code9", StatusRecord("0033", '9'), 0, 0, ""},
        RecordCase{"Code10", StatusRecord("0033", ':'), 0, 0, ""},
        RecordCase{"Selector1", StatusRecord("0033", '1', '1'), 0, 0, ""},
        RecordCase{"Selector3", StatusRecord("0033", '1', '3'), 0, 0, ""},
        RecordCase{"BareSelector3", StatusRecord("0033", '1', '\x03'), 0, 0, ""},
        RecordCase{"Selector2", StatusRecord("0033", '1', '2'), 33, ZS_CODE1, ""},
        RecordCase{"Selector4", StatusRecord("0033", '1', '4'), 33, ZS_CODE1, ""},
        RecordCase{"StartByteNotAt", "#" + StatusRecord("0044", '2').substr(1), 0, 0, ""},
        RecordCase{"EndByteNotCr", StatusRecord("0044", '2').substr(0, 13) + "x", 0, 0, ""},
        RecordCase{"MisframedNeverLogged", "#" + StatusRecord("0000", '1').substr(1), 0, 0, ""},
        RecordCase{"ZoneZero", StatusRecord("0000", '1'), 0, 0, Illegal(0)},
        RecordCase{"Zone6300", StatusRecord("6300", '1'), 0, 0, Illegal(6300)},
        RecordCase{"NegativeZone", StatusRecord("-001", '1'), 0, 0, Illegal(65535)},
        RecordCase{"IllegalZoneLoggedDespiteSelector", StatusRecord("0000", '1', '1'), 0, 0,
                   Illegal(0)},
        RecordCase{"IllegalZoneLoggedDespiteCode", StatusRecord("9999", '5'), 0, 0, Illegal(9999)},
        RecordCase{"NoDigitIsZoneZero", StatusRecord("    ", '1'), 0, 0, Illegal(0)},
        RecordCase{"SignOnlyIsZoneZero", StatusRecord(" -  ", '1'), 0, 0, Illegal(0)},
        RecordCase{"BadChecksumNeverLogged", CorruptChecksum(StatusRecord("0000", '1')), 0, 0, ""},
        RecordCase{"BadChecksumIgnored", CorruptChecksum(StatusRecord("0033", '1')), 0, 0, ""},
        RecordCase{"LowerCaseChecksum", LowerCaseChecksum(), 34, ZS_CODE1, ""},
        RecordCase{"SpacedZoneStaysInItsField", ZoneTwelveBeforeDigitChecksum(), 12, ZS_CODE1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatusScanTest, DroppedRecordsAreStillAnsweredWithNext) {
    Answer({
        CorruptChecksum(StatusRecord("0010", '1')),
        StatusRecord("0000", '1'),
        StatusRecord("0011", '1', '3'),
        StatusRecord("0012", '9'),
        EndReply(),
    });
    EXPECT_EQ(StatusScan(), RC_DONE);
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{START, NEXT, NEXT, NEXT, NEXT}));
    EXPECT_TRUE(SnapshotAll(0));
    EXPECT_EQ(logs, std::vector<std::string>{Illegal(0)});
}

TEST_F(StatusScanTest, SilenceMidScanRestartsAndKeepsWhatWasCollected) {
    // First attempt: two records, then nothing. Second: a whole report.
    Answer({
        StatusRecord("0001", '1'),
        StatusRecord("0002", '2'),
        "",
        StatusRecord("0002", '7'),
        StatusRecord("0003", '1'),
        EndReply(),
    });
    EXPECT_EQ(StatusScan(), RC_DONE);
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{START, NEXT, NEXT, START, NEXT, NEXT}));
    EXPECT_EQ(Snapshot(1), ZS_CODE1);
    EXPECT_EQ(Snapshot(2), ZS_CODE2 | ZS_CODE7);
    EXPECT_EQ(Snapshot(3), ZS_CODE1);
    EXPECT_TRUE(SnapshotZeroExcept({1, 2, 3}));
}

TEST_F(StatusScanTest, ThreeFailedAttemptsLeaveTheSnapshotAlone) {
    FillSnapshot(0x04);
    // A record then silence; a head without its body; nothing at all.
    Answer({StatusRecord("0007", '8'), "", StatusRecord("0008", '1').substr(0, 9), ""});
    EXPECT_EQ(StatusScan(), RC_FAILED);
    EXPECT_EQ(fake::Writes(), (std::vector<std::string>{START, NEXT, START, START}));
    EXPECT_TRUE(SnapshotAll(0x04));
    // The current table keeps what the failed attempts collected.
    EXPECT_EQ(Current(7), ZS_CODE8);
    EXPECT_EQ(Current(8), 0);
    EXPECT_TRUE(logs.empty());
}

TEST_F(StatusScanTest, EndReplyWithoutItsThirdByteStillCompletes) {
    FillSnapshot(0x01);
    Answer({StatusRecord("0020", '3'), "@Z"});
    EXPECT_EQ(StatusScan(), RC_DONE);
    EXPECT_EQ(Snapshot(20), ZS_CODE3);
    EXPECT_TRUE(SnapshotZeroExcept({20}));
}

TEST_F(StatusScanTest, OnlyAtZAndCarriageReturnEndTheScan) {
    // Heads that a noisy line turns into "?Z" or "@Zq": each is read as a
    // whole damaged record, skipped, and the scan goes on to its real end.
    const std::string damaged[] = {std::string("\0Zq", 3) + std::string(11, 'x'),
                                   "@Zq" + std::string(11, 'x'), "AZ" + std::string(12, '0')};
    for (const std::string& noise : damaged) {
        RestartLine();
        Answer({StatusRecord("0020", '3'), noise, StatusRecord("0021", '2'), EndReply()});
        EXPECT_EQ(StatusScan(), RC_DONE) << noise;
        EXPECT_EQ(fake::Writes(), (std::vector<std::string>{START, NEXT, NEXT, NEXT})) << noise;
        EXPECT_EQ(Snapshot(20), ZS_CODE3);
        EXPECT_EQ(Snapshot(21), ZS_CODE2);
    }
    // A damaged head whose record never completes fails the attempt.
    RestartLine();
    FillSnapshot(0x01);
    Answer({"@Zq", "", ""});
    EXPECT_EQ(StatusScan(), RC_FAILED);
    EXPECT_TRUE(SnapshotAll(0x01));
}

TEST_F(StatusScanTest, DamagedRecordsInARowFailTheAttempt) {
    // One good record resets the count; then nothing but damaged records:
    // bad checksums, or good checksums without the leading '@'.
    for (const std::string& damaged :
         {CorruptChecksum(StatusRecord("0006", '2')), "#" + StatusRecord("0006", '2').substr(1)}) {
        SCOPED_TRACE(damaged);
        RestartLine();
        FillSnapshot(0x02);
        size_t writes = 0;
        fake::OnWrite([&](std::string_view) {
            fake::QueueInput(++writes == 1 ? StatusRecord("0005", '1') : damaged);
            writes %= STATUS_SCAN_BAD_RECORD_LIMIT + 1;
        });
        EXPECT_EQ(StatusScan(), RC_FAILED);
        fake::OnWrite(nullptr);
        EXPECT_EQ(fake::Writes().size(), 3u * (STATUS_SCAN_BAD_RECORD_LIMIT + 1));
        EXPECT_TRUE(SnapshotAll(0x02));
        EXPECT_EQ(Current(5), ZS_CODE1);
        EXPECT_EQ(Current(6), 0);
    }
}

TEST_F(StatusScanTest, RecordsNotFramedByAtAndCrAreSkipped) {
    // Three bytes of noise before zone 17's record: the 14-byte read starts
    // three bytes early and, with this noise, passes its checksum. Its zone
    // field reads "1000" and its status code 'S' (code 3).
    const std::string zone17 = StatusRecord("0017", '1');
    const std::string noise = xol::test::NoiseForAShiftedRead(
        zone17, 3, STATUS_RECORD_LENGTH, [](const std::string& read) {
            const int selector = read[2] & 0x0F;
            return selector != 1 && selector != 3;
        });
    ASSERT_FALSE(noise.empty());
    const std::string good = StatusRecord("0044", '2');
    const std::string damaged[] = {
        noise + zone17,
        "#" + good.substr(1),     // checksum good, no '@'
        good.substr(0, 13) + "x", // checksum good, no CR
    };
    for (const std::string& record : damaged) {
        SCOPED_TRACE(record);
        RestartLine();
        FillSnapshot(0x1F);
        Answer({StatusRecord("0012", '2'), record, StatusRecord("0020", '2'), EndReply()});
        EXPECT_EQ(StatusScan(), RC_DONE);
        EXPECT_EQ(fake::Writes(), (std::vector<std::string>{START, NEXT, NEXT, NEXT}));
        // The damaged record is lost, like one with a bad checksum; nothing
        // of it reaches the table.
        EXPECT_EQ(Snapshot(12), ZS_CODE2);
        EXPECT_EQ(Snapshot(20), ZS_CODE2);
        EXPECT_TRUE(SnapshotZeroExcept({12, 20}));
    }
    EXPECT_TRUE(logs.empty());
}

TEST_F(StatusScanTest, WithoutAPortTheScanFailsAndChangesNoSnapshot) {
    FillSnapshot(0x10);
    context().port = 0;
    EXPECT_EQ(StatusScan(), RC_FAILED);
    EXPECT_TRUE(SnapshotAll(0x10));
    EXPECT_TRUE(NoTraffic());
}

TEST_F(StatusScanTest, ABabblingLineCannotHoldTheScanForever) {
    FillSnapshot(0x02);
    const std::string record = StatusRecord("0009", '1');
    size_t starts = 0;
    size_t nexts = 0;
    fake::OnWrite([&](std::string_view written) {
        starts += written == START;
        nexts += written == NEXT;
        fake::QueueInput(record);
        if ((starts + nexts) % 4096 == 0) {
            fake::ClearCalls(); // keeps the record of calls small
        }
    });
    EXPECT_EQ(StatusScan(), RC_FAILED);
    fake::OnWrite(nullptr);
    EXPECT_EQ(starts, 3u);
    EXPECT_EQ(nexts, 3u * (STATUS_SCAN_RECORD_LIMIT - 1));
    EXPECT_TRUE(SnapshotAll(0x02));
    EXPECT_EQ(Current(9), ZS_CODE1);
}

} // namespace
