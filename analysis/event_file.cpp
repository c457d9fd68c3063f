#include "event_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace murel::analysis {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// A file open for reading for as long as one operation needs it, so that any number of files
// can be analysed together.  Opening does not wait for a writer, so that a FIFO is refused
// rather than waited on.
class descriptor {
public:
    explicit descriptor(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
        if (fd_ < 0) fail(errno, "cannot open " + path);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() { ::close(fd_); }
    operator int() const { return fd_; }

private:
    int fd_;
};

}  // namespace

event_file::event_file(const std::string& path, std::uint64_t header_bytes, int samples)
    : path_(path), header_bytes_(header_bytes), samples_(samples) {
    if (samples < 1) throw std::invalid_argument(path + ": the sample count must be at least 1, got " + std::to_string(samples));
    const descriptor fd(path);
    struct stat status;
    if (::fstat(fd, &status) != 0) fail(errno, "cannot examine " + path);
    if (S_ISDIR(status.st_mode)) fail(EISDIR, "cannot read " + path);
    if (!S_ISREG(status.st_mode)) throw std::invalid_argument(path + " is not a regular file");
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::uint64_t per_event = event_bytes();
    if (size < header_bytes || (size - header_bytes) % per_event != 0)
        throw std::invalid_argument(path + ": its size of " + std::to_string(size) + " bytes is not a " +
                                    std::to_string(header_bytes) + "-byte header plus whole events of " +
                                    std::to_string(per_event) + " bytes");
    events_ = (size - header_bytes) / per_event;
}

void event_file::read(std::uint64_t first, std::size_t count, unsigned char* out) const {
    if (first > events_ || count > events_ - first)
        throw std::out_of_range(path_ + ": events " + std::to_string(first) + " to " + std::to_string(first + count) +
                                " lie beyond its " + std::to_string(events_) + " events");
    const descriptor fd(path_);
    std::size_t left = count * event_bytes();
    auto offset = static_cast<off_t>(header_bytes_ + first * event_bytes());
    while (left > 0) {
        const ssize_t got = ::pread(fd, out, left, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno, "cannot read " + path_);
        }
        if (got == 0) fail(EIO, "cannot read " + path_ + " (it became shorter)");
        out += got;
        offset += got;
        left -= static_cast<std::size_t>(got);
    }
}

void split_channels(const unsigned char* event, int samples, std::int16_t* a, std::int16_t* b) {
    for (int j = 0; j < samples; ++j, event += 4) {
        a[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(event[0] | event[1] << 8));
        b[j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(event[2] | event[3] << 8));
    }
}

}  // namespace murel::analysis
