#include "line_io.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <unistd.h>

namespace xolsim {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
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
