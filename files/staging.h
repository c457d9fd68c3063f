// Temporary files that become an output file by a rename, and a registry of the live ones
// that a signal handler can remove.  Shared by the library's writers and the programs'
// staged files, so that one handler clears the temporaries of both.  Internal to the project:
// not installed with the public header.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <optional>
#include <string>

namespace murel::staging {

/// What writing to a path replaces: the file at the end of any chain of symbolic links, and
/// whether that is a regular file (or none yet), which is written through a temporary and a
/// rename, or something else (a terminal, a device, a pipe), which is written in place.
struct write_target {
    std::string path;  ///< empty, with errno ELOOP, for a chain of links that does not end
    bool staged = true;
    std::optional<mode_t> mode;  ///< of the file that is replaced
};

/// Follows `path` through its symbolic links to what writing to it replaces.
write_target resolve_target(const std::string& path);

/// Creates "<dir>/.<name>.XXXXXX" (".<name>.XXXXXX" in the current directory when dir is empty)
/// as open(..., 0666) would, and registers it; returns its descriptor and its path in `temp`,
/// or -1 with errno set.
int create(const std::string& dir, const std::string& name, std::string& temp);

/// Renames `temp` to `final_path` and forgets it; returns 0 or the errno of the rename.
int commit(std::string& temp, const std::string& final_path);

/// Removes `temp` and forgets it; does nothing for an empty path.
void discard(std::string& temp) noexcept;

/// Removes every registered temporary and keeps the registry locked, so that nothing is staged
/// or renamed afterwards; for a handler of a signal that ends the process (async-signal-safe).
void remove_all_and_stop() noexcept;

/// The signals that end a process and that a handler may clean up after: SIGINT, SIGTERM,
/// SIGHUP and SIGXFSZ.
sigset_t termination_signals();

/// Holds back the termination signals in the calling thread while it exists, so that a
/// signal sent during a short stage-write-rename acts only once the temporary is renamed or
/// removed.
class signals_held {
public:
    signals_held() noexcept;
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
    ~signals_held();

private:
    sigset_t previous_;
};

}  // namespace murel::staging
