// Windows has no systemd: the program runs as it does from a console.
#include "platform/service_manager.h"

namespace xolhost {

ServiceManager ServiceManager::FromEnvironment() {
    return {};
}

bool ServiceManager::notify(const std::string&) const {
    return false;
}

bool StderrGoesToJournal() {
    return false;
}

} // namespace xolhost
