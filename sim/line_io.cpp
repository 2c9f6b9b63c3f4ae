#include "line_io.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace xolsim {

bool WriteAll(int fd, std::string_view bytes, std::stop_token stop) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return false;
            }
            // A full line on a non-blocking descriptor: wait for room in short
            // steps, so a stop request is seen.
            if (stop.stop_requested()) {
                return false;
            }
            pollfd room{fd, POLLOUT, 0};
            (void)::poll(&room, 1, 20);
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool WriteAll(int fd, std::string_view bytes) {
    return WriteAll(fd, bytes, std::stop_token{});
}

bool SleepFor(std::chrono::nanoseconds duration, std::stop_token stop) {
    if (duration <= std::chrono::nanoseconds::zero()) {
        return !stop.stop_requested();
    }
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // Nothing else wakes it: the wait ends at the time or at the stop request.
    // (Its result is the predicate's, always false, so ask the token.)
    wake.wait_for(lock, stop, duration, [] { return false; });
    return !stop.stop_requested();
}

} // namespace xolsim
