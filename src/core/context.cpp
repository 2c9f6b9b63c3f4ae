#include "core/context.h"

namespace xol {

namespace {
DriverContext* g_currentContext = nullptr;
}

void SetCurrentContext(DriverContext* context) {
    g_currentContext = context;
}

DriverContext* CurrentContext() {
    return g_currentContext;
}

} // namespace xol
