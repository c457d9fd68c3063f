#include "staging.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace murel::staging {
namespace {

// Fixed size, so that a signal handler can walk it without allocating.  A temporary made
// while every slot is taken is still removed on every ordinary path; only a signal misses it.
constexpr int capacity = 256;
const char* live[capacity];
std::atomic_flag busy = ATOMIC_FLAG_INIT;

// Every holder of the lock holds back the termination signals first, so a handler waiting
// for it runs on another thread and waits for a few system calls at most.
class registry_lock {
public:
    registry_lock() noexcept {
        while (busy.test_and_set(std::memory_order_acquire)) ::sched_yield();
    }
    registry_lock(const registry_lock&) = delete;
    registry_lock& operator=(const registry_lock&) = delete;
    ~registry_lock() { busy.clear(std::memory_order_release); }
};

void remember(const char* path) {
    for (const char*& slot : live)
        if (slot == nullptr) {
            slot = path;
            return;
        }
}

void forget(const char* path) {
    for (const char*& slot : live)
        if (slot == path) slot = nullptr;
}

// Six letters or digits, like mkstemp's, for a name that no concurrent writer picks.
void fill_suffix(char* suffix) {
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<unsigned> counter{0};
        const unsigned mix = static_cast<unsigned>(::getpid()) * 2654435761U + counter++ * 40503U;
        for (int i = 0; i < 6; ++i) bytes[i] = static_cast<unsigned char>(mix >> (4 * i));
    }
    for (int i = 0; i < 6; ++i) suffix[i] = letters[bytes[i] % (sizeof letters - 1)];
}

}  // namespace

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) sigaddset(&set, signal);
    return set;
}

signals_held::signals_held() noexcept {
    const sigset_t set = termination_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

signals_held::~signals_held() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

write_target resolve_target(const std::string& path) {
    write_target target{path, true, std::nullopt};
    struct stat status;
    // A link such as /proc/self/fd/1 may lead to a pipe that no path names, so what the whole
    // chain reaches is asked first, and anything but a regular file is opened as given.
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        target.staged = false;
        return target;
    }
    for (int links = 0;; ++links) {
        // A path that cannot be examined is staged; creating the temporary reports why.
        if (::lstat(target.path.c_str(), &status) != 0) return target;
        if (!S_ISLNK(status.st_mode)) {
            target.staged = S_ISREG(status.st_mode);
            target.mode = status.st_mode & 0777;
            return target;
        }
        if (links == 40) {
            errno = ELOOP;
            return {};
        }
        std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 4095) + 1, '\0');
        const ssize_t size = ::readlink(target.path.c_str(), link.data(), link.size());
        if (size < 0 || static_cast<std::size_t>(size) == link.size()) return target;
        link.resize(static_cast<std::size_t>(size));
        const std::size_t slash = target.path.rfind('/');
        target.path = link[0] == '/' || slash == std::string::npos ? link : target.path.substr(0, slash + 1) + link;
    }
}

int create(const std::string& dir, const std::string& name, std::string& temp) {
    temp = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    temp += "." + name + ".XXXXXX";
    int fd = -1, error = 0;
    {
        const signals_held held;
        const registry_lock lock;
        // Created like open(..., 0666) would create the file itself, so the umask and any
        // default ACL of the directory apply.
        for (int attempt = 0; attempt < 100; ++attempt) {
            fill_suffix(temp.data() + temp.size() - 6);
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0 || errno != EEXIST) break;
        }
        if (fd >= 0) remember(temp.c_str());
        else error = errno;
    }
    if (fd < 0) {
        temp.clear();
        errno = error;
    }
    return fd;
}

int commit(std::string& temp, const std::string& final_path) {
    {
        const signals_held held;
        const registry_lock lock;
        if (std::rename(temp.c_str(), final_path.c_str()) != 0) return errno;
        forget(temp.c_str());
    }
    temp.clear();
    return 0;
}

void discard(std::string& temp) noexcept {
    if (temp.empty()) return;
    {
        const signals_held held;
        const registry_lock lock;
        ::unlink(temp.c_str());
        forget(temp.c_str());
    }
    temp.clear();
}

void remove_all_and_stop() noexcept {
    while (busy.test_and_set(std::memory_order_acquire)) ::sched_yield();
    for (const char* path : live)
        if (path != nullptr) ::unlink(path);
}

}  // namespace murel::staging
