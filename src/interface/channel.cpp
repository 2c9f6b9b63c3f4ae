// PLACEHOLDER: replaced by the channel lifecycle work.
#include "interface/channel.h"
namespace xol {
int32_t OpenChannel(const DriverRequest&) { return RC_FAILED; }
int32_t PurgeInput(const DriverRequest&) { return RC_DONE; }
int32_t CloseChannel(const DriverRequest&) { return RC_DONE; }
int32_t ReopenChannel(const DriverRequest&) { return RC_FAILED; }
int32_t ReconfigureChannel(const DriverRequest&) { return RC_FAILED; }
} // namespace xol
