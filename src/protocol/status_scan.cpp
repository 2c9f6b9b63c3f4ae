#include "protocol/status_scan.h"

#include <array>

#include "core/host_log.h"
#include "core/zone_table.h"
#include "protocol/frame.h"

namespace xol {

namespace {

constexpr std::array<uint8_t, 3> START_REQUEST{'@', 'S', '\r'};
constexpr std::array<uint8_t, 3> NEXT_REQUEST{'@', '!', '\r'};

constexpr uint32_t HEAD_LENGTH = 2;
constexpr uint8_t END_MARK = 'Z';

// Offsets in a status record.
constexpr uint32_t SELECTOR_OFFSET = 2;
constexpr uint32_t STATUS_OFFSET = 4;
constexpr uint32_t ZONE_OFFSET = 7;
constexpr uint32_t ZONE_WIDTH = 4;

// The status bit for each status code (low four bits of offset 4); 0: ignored.
constexpr std::array<uint8_t, 16> STATUS_BITS{
    0, ZS_CODE1, ZS_CODE2, ZS_CODE3, 0, 0, 0, ZS_CODE7, ZS_CODE8, 0, 0, 0, 0, 0, 0, 0,
};

enum class AttemptEnd { EndReply, Failed };

// Reads what follows a head of "@Z". The end reply is "@Z" and CR; a third
// byte that does not come counts as the end too. With any other third byte the
// head began a record (or noise): its remaining bytes are read, and on a good
// record the answer is the record's.
enum class HeadEnd { EndReply, Record, Failed };

HeadEnd ReadAfterEndHead(StatusRecord& record) {
    if (!CisReceive(record.data() + HEAD_LENGTH, 1) || record[HEAD_LENGTH] == CIS_FRAME_END) {
        return HeadEnd::EndReply;
    }
    if (!CisReceive(record.data() + HEAD_LENGTH + 1, STATUS_RECORD_LENGTH - HEAD_LENGTH - 1)) {
        return HeadEnd::Failed;
    }
    return HeadEnd::Record;
}

// One attempt: the start request, then records until the end reply or until
// a reply does not arrive whole.
AttemptEnd RunAttempt(StatusRecord& record) {
    // What a send reports is not examined: a failed send shows as a missing reply.
    (void)CisSend(START_REQUEST.data(), START_REQUEST.size());
    for (uint32_t records = 0, badInARow = 0;;) {
        if (!CisReceive(record.data(), HEAD_LENGTH)) {
            return AttemptEnd::Failed;
        }
        // Only "@Z" can begin the end reply: on a noisy line any other byte
        // before the 'Z' is the start of a damaged record, not the end.
        if (record[0] == CIS_FRAME_START && record[1] == END_MARK) {
            switch (ReadAfterEndHead(record)) {
            case HeadEnd::EndReply:
                return AttemptEnd::EndReply;
            case HeadEnd::Failed:
                return AttemptEnd::Failed;
            case HeadEnd::Record:
                break;
            }
        } else if (!CisReceive(record.data() + HEAD_LENGTH, STATUS_RECORD_LENGTH - HEAD_LENGTH)) {
            return AttemptEnd::Failed;
        }
        badInARow = ApplyStatusRecord(record.data()) ? 0 : badInARow + 1;
        if (++records >= STATUS_SCAN_RECORD_LIMIT || badInARow >= STATUS_SCAN_BAD_RECORD_LIMIT) {
            return AttemptEnd::Failed;
        }
        (void)CisSend(NEXT_REQUEST.data(), NEXT_REQUEST.size());
    }
}

} // namespace

int32_t StatusScan() {
    // Cleared once per scan: bits collected by a failed attempt stay, and the
    // repeated records of the next attempt add to them.
    ClearCurrentZones();
    StatusRecord record{};
    for (uint32_t attempt = 0; attempt < STATUS_SCAN_ATTEMPTS; ++attempt) {
        if (RunAttempt(record) == AttemptEnd::EndReply) {
            PublishZones();
            return RC_DONE;
        }
    }
    return RC_FAILED;
}

bool ApplyStatusRecord(const uint8_t* record) {
    // A record read out of step is damaged whatever its checksum says.
    if (!CisFramed(record, STATUS_RECORD_LENGTH) || !CisVerify(record, STATUS_RECORD_LENGTH)) {
        return false;
    }
    // A field with no digit names no zone: it is reported as zone 0.
    int32_t number = 0;
    if (!CisReadDecimal(record + ZONE_OFFSET, ZONE_WIDTH, &number)) {
        number = 0;
    }
    const auto zone = static_cast<uint16_t>(number);
    if (zone == 0 || zone > ZONE_COUNT) {
        LogIllegalZone(zone);
        return true;
    }
    const uint8_t selector = record[SELECTOR_OFFSET] & 0x0Fu;
    if (selector == 1 || selector == 3) {
        return true;
    }
    const uint8_t bits = STATUS_BITS[record[STATUS_OFFSET] & 0x0Fu];
    if (bits == 0) {
        return true;
    }
    SetZoneBits(zone, bits);
    return true;
}

} // namespace xol
