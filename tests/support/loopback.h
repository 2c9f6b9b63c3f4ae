// Loopback ports and polling, for the tests and the benchmarks that start
// servers: no GoogleTest here, so a benchmark can use them too.
#pragma once

#include <chrono>
#include <functional>

namespace xoltest {

// A port no one listens on now: the system's choice for 127.0.0.1 port 0
// (0 when the system gave none).
int FreePort();

// Whether something accepts a connection on 127.0.0.1:port.
bool Accepts(int port);

// Polls `condition` until it holds or `limit` has passed; says whether it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace xoltest
