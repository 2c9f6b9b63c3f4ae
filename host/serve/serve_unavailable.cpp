// Builds without a web server: serve is refused before anything starts.
#include "serve/serve.h"

#include "platform/exit_codes.h"

namespace xolhost {

bool ServeAvailable() {
    return false;
}

std::unique_ptr<WebService> StartWebService(const WebSettings&, CommandQueue&, Output&) {
    throw UsageError("serve is not available in this build of xolhost");
}

} // namespace xolhost
