#include "directory_lock.h"
#include "staged_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace murel {
namespace {

bool is_scratch_name(const char* name) {
    static constexpr char prefix[] = ".murel-";
    constexpr std::size_t prefix_size = sizeof prefix - 1;
    if (std::strncmp(name, prefix, prefix_size) != 0 || std::strlen(name) != prefix_size + 6) return false;
    for (const char* c = name + prefix_size; *c != '\0'; ++c)
        if (!std::isalnum(static_cast<unsigned char>(*c))) return false;
    return true;
}

}  // namespace

directory_lock::directory_lock(const std::string& dir, access how) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + dir);
    if (::flock(fd_, (how == access::write ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return;
    const int error = errno;
    // A write lock refused only by readers leaves room for a shared one.
    const bool written = error != EWOULDBLOCK || ::flock(fd_, LOCK_SH | LOCK_NB) != 0;
    ::close(fd_);
    fd_ = -1;
    if (error != EWOULDBLOCK) throw std::system_error(error, std::generic_category(), "cannot lock " + dir);
    throw std::runtime_error(dir + " is being " + (written ? "written" : "read") + " by another murel run");
}

directory_lock& directory_lock::operator=(directory_lock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

directory_lock::~directory_lock() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

// Creates `dir` with its parents; true if it was missing.  Something else in its place is named
// plainly rather than as the library's create_directories call.
bool created_directory(const std::string& dir) {
    std::error_code error;
    const bool created = std::filesystem::create_directories(dir, error);
    if (error) {
        if (error == std::errc::file_exists || error == std::errc::not_a_directory)
            throw std::system_error(ENOTDIR, std::generic_category(), "cannot write the outputs into " + dir);
        throw std::system_error(error, "cannot create the directory " + dir);
    }
    return created;
}

}  // namespace

output_directory::output_directory(const std::string& dir)
    : created_(created_directory(dir) ? dir : ""), exceptions_(std::uncaught_exceptions()) {
    try {
        lock_.emplace(dir, directory_lock::access::write);
    } catch (...) {
        if (!created_.empty()) ::rmdir(created_.c_str());
        throw;
    }
    // No live run owns anything staged here: a killed one left it.
    remove_stale_scratch(dir, std::chrono::seconds(0));
    remove_output_temporaries(dir);
}

output_directory::~output_directory() {
    lock_.reset();
    if (!created_.empty() && std::uncaught_exceptions() > exceptions_) ::rmdir(created_.c_str());
}

void remove_stale_scratch(const std::string& dir, std::chrono::seconds age) {
    DIR* const listing = ::opendir(dir.empty() ? "." : dir.c_str());
    if (listing == nullptr) return;  // creating in the directory reports it
    const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(age.count());
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
        struct stat status;
        if (is_scratch_name(entry->d_name) &&
            ::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode) && (age.count() == 0 || status.st_mtime < cutoff))
            stale.push_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string& name : stale) {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(dir.empty() ? "." : dir) / name, ignored);
    }
}

scratch_directory::scratch_directory(const std::string& dir) {
    remove_stale_scratch(dir, stale_age);
    std::string pattern = (dir.empty() ? std::string(".") : dir) + "/.murel-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "cannot write in " + dir);
    path_ = pattern;
}

scratch_directory::~scratch_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace murel
