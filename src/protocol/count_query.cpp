#include "protocol/count_query.h"

#include <array>

#include "protocol/frame.h"

namespace xol {

namespace {

using CountQuery = std::array<uint8_t, 4>;
// A checksummed frame: the count's four characters at offsets 3 to 6.
using CountReply = std::array<uint8_t, COUNT_REPLY_LENGTH>;

constexpr CountQuery QUERY_C{'@', 'P', 'A', '\r'};
constexpr CountQuery QUERY_N{'@', 'P', 'D', '\r'};

constexpr uint32_t COUNT_OFFSET = 3;
constexpr uint32_t COUNT_WIDTH = 4;

} // namespace

int32_t RunCountQuery(const PointRequest& request) {
    if (request.data == nullptr) {
        return RC_REFUSED;
    }
    const CountQuery& query = request.kind == 'C' ? QUERY_C : QUERY_N;
    CountReply reply{};
    int32_t outcome = RC_FAILED;
    for (uint32_t attempt = 0; attempt < COUNT_QUERY_TRIES; ++attempt) {
        // What the send reports is not examined: the read that follows decides.
        (void)CisSend(query.data(), query.size());
        if (!CisReceive(reply.data(), reply.size())) {
            outcome = RC_FAILED;
            continue;
        }
        int32_t count = 0;
        if (!CisVerify(reply.data(), reply.size()) ||
            !CisReadDecimal(reply.data() + COUNT_OFFSET, COUNT_WIDTH, &count)) {
            outcome = RC_REFUSED;
            continue;
        }
        static_cast<PointValue*>(request.data)->value = static_cast<uint16_t>(count);
        return RC_DONE;
    }
    return outcome;
}

} // namespace xol
