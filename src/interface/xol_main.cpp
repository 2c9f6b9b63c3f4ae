// XolMain and the function table: the module's whole boundary with the host.
#include <array>

#include "core/context.h"
#include "interface/channel.h"
#include "interface/describe.h"
#include "interface/handler.h"
#include "points/address.h"
#include "points/dispatch.h"

namespace xol {

namespace {

int32_t Unassigned(const DriverRequest&) {
    return RC_REFUSED;
}

// Each slot says which records its handler works on; XolMain refuses a call
// whose needed record is missing before the handler runs.
struct FunctionSlot {
    Handler handler;
    bool needsContext;
    bool needsParams;
};

constexpr FunctionSlot UNASSIGNED{Unassigned, false, false};

constexpr std::array<FunctionSlot, 16> FUNCTION_TABLE{{
    UNASSIGNED,                       // 0
    {OpenChannel, true, true},        // 1
    {PurgeInput, true, false},        // 2
    {CheckPoint, false, true},        // 3
    {CheckBlock, false, true},        // 4
    {ReadPoint, true, true},          // 5
    {ReadBlock, true, true},          // 6
    {WritePoint, true, true},         // 7
    UNASSIGNED,                       // 8
    UNASSIGNED,                       // 9
    {NotServed, false, false},        // 10
    {CloseChannel, true, false},      // 11
    {CloseChannel, true, false},      // 12
    {ReopenChannel, true, false},     // 13
    {DescribeDriver, false, true},    // 14
    {ReconfigureChannel, true, true}, // 15
}};

} // namespace

} // namespace xol

extern "C" XOL_API int32_t XOL_CALL XolMain(DriverRequest* request) {
    using namespace xol;
    if (request == nullptr) {
        return RC_REFUSED;
    }
    const int32_t code = request->function;
    if (code < 0 || code >= static_cast<int32_t>(FUNCTION_TABLE.size())) {
        return RC_REFUSED;
    }
    const FunctionSlot& slot = FUNCTION_TABLE[static_cast<size_t>(code)];
    if ((slot.needsContext && request->context == nullptr) ||
        (slot.needsParams && request->params == nullptr)) {
        return RC_REFUSED;
    }
    SetCurrentContext(request->context);
    return slot.handler(*request);
}
