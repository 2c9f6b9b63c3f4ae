#include "protocol/count_query.h"

#include <array>

#include "protocol/exchange.h"
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
    const CountQuery& query = request.kind == PK_COUNT_C ? QUERY_C : QUERY_N;
    auto* value = static_cast<PointValue*>(request.data);
    CountReply reply{};
    // An answer that is not framed by '@' and CR, fails its checksum or
    // holds no count is asked again; if the last try ends so, the query is
    // refused.
    return AskWithRetries(
        query, reply, COUNT_QUERY_TRIES, [value](std::span<const uint8_t> answer) {
            const auto length = static_cast<uint32_t>(answer.size());
            int32_t count = 0;
            if (!CisFramed(answer.data(), length) || !CisVerify(answer.data(), length) ||
                !CisReadDecimal(answer.data() + COUNT_OFFSET, COUNT_WIDTH, &count)) {
                return Verdict{false, RC_REFUSED};
            }
            value->value = static_cast<uint16_t>(count);
            return Verdict{true, RC_DONE};
        });
}

} // namespace xol
