#include "staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

namespace murel {
namespace {

mode_t creation_mask() {
    static const mode_t mask = [] {
        const mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return mask;
}

}  // namespace

staged_file::staged_file(const std::string& dir, std::string name)
    : name_(std::move(name)), final_path_(dir + "/" + name_), temp_path_(dir + "/." + name_ + ".XXXXXX") {
    creation_mask();
    std::vector<char> pattern(temp_path_.begin(), temp_path_.end());
    pattern.push_back('\0');
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + name_);
    temp_path_ = pattern.data();
}

staged_file::~staged_file() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
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
    // mkostemp creates the file readable by its owner only; give it the permissions that a
    // plain fopen would have.
    if (::fchmod(fd_, 0666 & ~creation_mask()) != 0) fail(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) fail(errno);
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) fail(errno);
    temp_path_.clear();
}

}  // namespace murel
