// Telling the service manager how the program is doing, when systemd runs
// it as a Type=notify service: readiness, a status line, the watchdog's
// keep-alive, stopping. Each message is one datagram of NAME=VALUE lines to
// the AF_UNIX socket that NOTIFY_SOCKET names (a leading '@' names one in
// the abstract namespace). Without NOTIFY_SOCKET, and on Windows, nothing is
// sent and nothing else changes.
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace xolhost {

class ServiceManager {
public:
    // No service manager: nothing is sent.
    ServiceManager() = default;
    // `watchdog`: the time the manager allows between keep-alives; 0: none.
    ServiceManager(std::string socket, std::chrono::microseconds watchdog)
        : socket_(std::move(socket)), watchdog_(watchdog) {}

    // From NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID (a watchdog meant
    // for another process is none of ours).
    static ServiceManager FromEnvironment();

    bool present() const { return !socket_.empty(); }
    std::chrono::microseconds watchdog() const { return watchdog_; }
    // Sends one message; false when it could not be sent (the manager is
    // gone, or the socket's name does not fit an address).
    bool notify(const std::string& message) const;

private:
    std::string socket_;
    std::chrono::microseconds watchdog_{0};
};

// Standard error is the journal's stream: JOURNAL_STREAM names the device
// and inode of the stream systemd connected, and standard error is still it.
bool StderrGoesToJournal();

} // namespace xolhost
