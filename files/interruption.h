// Long runs that stop at a safe point when interrupted, so that they can unwind and remove
// their partial outputs rather than die part-way through a sequence of files.
#pragma once

#include <signal.h>

#include <stdexcept>

namespace murel {

/// Thrown by interruption_guard::check() once SIGINT, SIGTERM or SIGHUP has arrived; the
/// program should end by re-raising `signal`, so that a calling shell stops as well.
struct interruption : std::runtime_error {
    explicit interruption(int caught);
    int signal;
};

/// While it lives, SIGINT, SIGTERM and SIGHUP are only noted; a signal inherited as ignored (as
/// under nohup) or already handled by the program is left as it is.
class interruption_guard {
public:
    interruption_guard();
    interruption_guard(const interruption_guard&) = delete;
    interruption_guard& operator=(const interruption_guard&) = delete;
    ~interruption_guard();

    /// Throws murel::interruption if one of the signals has arrived.
    static void check();
    /// The signal noted by the last guard, 0 if none: a failure that follows one (a write cut
    /// short) is that interruption.
    static int caught();

private:
    static constexpr int guarded = 3;  // SIGINT, SIGTERM, SIGHUP
    struct sigaction previous_[guarded]{};
    bool installed_[guarded]{};
};

}  // namespace murel
