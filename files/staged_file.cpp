#include "staged_file.h"

#include "staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <string_view>
#include <system_error>

namespace murel {
namespace {

extern "C" void remove_temporaries_and_end(int signal) {
    staging::remove_all_and_stop();
    // With the default action restored, the re-raised signal ends the process as soon as the
    // handler returns, so that the exit status is that of the signal.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// A signal that the process inherited as ignored stays ignored (a caller may rely on SIGXFSZ
// failing a write with EFBIG instead of ending the process), and one that the program
// handles itself keeps its handler.
void install_cleanup_handlers() {
    static const bool installed = [] {
        struct sigaction action = {};
        action.sa_handler = remove_temporaries_and_end;
        action.sa_mask = staging::termination_signals();
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
            struct sigaction previous;
            if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL &&
                !(previous.sa_flags & SA_SIGINFO))
                ::sigaction(signal, &action, nullptr);
        }
        return true;
    }();
    static_cast<void>(installed);
}

// A temporary of `name`: "." + name + "." and six letters or digits, or the same built around
// a temporary of `name` (a library writer staging onto a staged temporary makes those).
bool is_temporary_of(std::string_view entry, std::string_view name) {
    constexpr std::size_t suffix = 7;
    if (entry.size() < name.size() + 1 + suffix || entry[0] != '.' || entry[entry.size() - suffix] != '.') return false;
    for (std::size_t i = entry.size() - suffix + 1; i < entry.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return false;
    const std::string_view inner = entry.substr(1, entry.size() - 1 - suffix);
    return inner == name || is_temporary_of(inner, name);
}

// The final name that `entry` is a temporary of, through any temporaries built around
// temporaries; empty when it is none.
std::string_view final_name_of(std::string_view entry) {
    constexpr std::size_t suffix = 7;
    if (entry.size() < 2 + suffix || entry[0] != '.' || entry[entry.size() - suffix] != '.') return {};
    for (std::size_t i = entry.size() - suffix + 1; i < entry.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return {};
    const std::string_view inner = entry.substr(1, entry.size() - 1 - suffix);
    const std::string_view deeper = final_name_of(inner);
    return deeper.empty() ? inner : deeper;
}

std::string in_dir(const std::string& dir, const std::string& name) {
    return dir.empty() || dir == "." ? name : dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

void remove_stale_temporaries(const std::string& dir, const std::string& name, std::chrono::seconds age) {
    DIR* const listing = ::opendir(dir.empty() ? "." : dir.c_str());
    if (listing == nullptr) return;  // creating the file itself will report the directory
    const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(age.count());
    while (const dirent* entry = ::readdir(listing)) {
        struct stat status;
        if (is_temporary_of(entry->d_name, name) &&
            ::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && status.st_mtime < cutoff)
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

void remove_output_temporaries(const std::string& dir) {
    static constexpr std::string_view kinds[] = {".txt", ".ppm", ".json", ".csv", ".png", ".gp"};
    DIR* const listing = ::opendir(dir.empty() ? "." : dir.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view target = final_name_of(entry->d_name);
        const std::size_t dot = target.rfind('.');
        struct stat status;
        if (dot != std::string_view::npos && dot > 0 &&
            std::find(std::begin(kinds), std::end(kinds), target.substr(dot)) != std::end(kinds) &&
            ::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

staged_file::staged_file(const std::string& dir, const std::string& name) : name_(in_dir(dir, name)) {
    install_cleanup_handlers();
    staging::write_target target = staging::resolve_target(name_);
    if (target.path.empty()) throw std::system_error(errno, std::generic_category(), "cannot create " + name_);
    final_path_ = std::move(target.path);
    if (!target.staged) {
        // Renaming over a device or a pipe would replace the node itself.
        do fd_ = ::open(final_path_.c_str(), O_WRONLY | O_CLOEXEC);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + name_);
        in_place_ = true;
        temp_path_ = final_path_;
        return;
    }
    const std::size_t slash = final_path_.rfind('/');
    const std::string target_dir = slash == std::string::npos ? "" : final_path_.substr(0, slash + 1);
    const std::string target_name = final_path_.substr(target_dir.size());
    remove_stale_temporaries(target_dir, target_name, stale_age);
    fd_ = staging::create(target_dir, target_name, temp_path_);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + name_);
    // A replaced file keeps its permissions, as the library's writers keep them.
    if (target.mode && ::fchmod(fd_, *target.mode) != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        staging::discard(temp_path_);
        throw std::system_error(error, std::generic_category(), "cannot create " + name_);
    }
}

staged_file::~staged_file() {
    if (fd_ >= 0) ::close(fd_);
    if (!in_place_) staging::discard(temp_path_);
}

void staged_file::fail(int error) const {
    throw std::system_error(error, std::generic_category(), "cannot write " + name_);
}

void staged_file::write_at(const void* bytes, std::size_t size, std::uint64_t offset) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        const ssize_t written = ::pwrite(fd_, next, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        next += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
}

void staged_file::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) fail(errno);
    if (in_place_) return;
    if (const int error = staging::commit(temp_path_, final_path_); error != 0) fail(error);
}

}  // namespace murel
