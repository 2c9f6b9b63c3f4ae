// Builds without a web server: serve is refused before anything starts.
#include "serve/serve.h"

#include "platform/exit_codes.h"

namespace xolhost {

bool ServeAvailable() {
    return false;
}

int Serve(Session&, const Options&, const LineSettings&, Interrupts&, Output& out) {
    out.error("serve is not available in this build of xolhost");
    return EXIT_USAGE;
}

} // namespace xolhost
