#include "binary_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace murel::formats::detail {

namespace {

constexpr std::size_t chunk_bytes = std::size_t{256} << 10;

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

class descriptor {
public:
    // Opening does not wait for a writer, so that a FIFO is refused rather than waited on.
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

chunked_input::chunked_input(const std::string& path, std::uint64_t start) : path_(path) {
    const descriptor fd(path);
    struct stat status;
    if (::fstat(fd, &status) != 0) fail(errno, "cannot examine " + path);
    if (S_ISDIR(status.st_mode)) fail(EISDIR, "cannot read " + path);
    if (!S_ISREG(status.st_mode)) throw std::invalid_argument(path + " is not a regular file");
    size_ = static_cast<std::uint64_t>(status.st_size);
    file_pos_ = std::min(start, size_);
}

std::size_t chunked_input::refill(std::size_t bytes) {
    const std::size_t kept = available();
    // A small file needs no more than its own size.
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(bytes, chunk_bytes), kept + (size_ - file_pos_)));
    if (buffer_.size() < wanted) {
        std::vector<unsigned char> larger(wanted);
        std::copy(data(), data() + kept, larger.begin());
        buffer_.swap(larger);
    } else {
        std::copy(data(), data() + kept, buffer_.begin());
    }
    begin_ = 0;
    end_ = kept;
    if (file_pos_ >= size_) return available();
    const descriptor fd(path_);
    while (end_ < buffer_.size() && file_pos_ < size_) {
        const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - end_, size_ - file_pos_));
        const ssize_t got = ::pread(fd, buffer_.data() + end_, room, static_cast<off_t>(file_pos_));
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno, "cannot read " + path_);
        }
        if (got == 0) fail(EIO, "cannot read " + path_ + " (it became shorter)");
        end_ += static_cast<std::size_t>(got);
        file_pos_ += static_cast<std::uint64_t>(got);
    }
    return available();
}

std::string read_at(const std::string& path, std::uint64_t offset, std::size_t size) {
    const descriptor fd(path);
    std::string bytes(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno, "cannot read " + path);
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

void corrupt(const char* format, const std::string& path, std::uint64_t offset, const std::string& what) {
    throw std::runtime_error(path + ": " + format + ": corrupt at byte " + std::to_string(offset) + ": " + what);
}

std::uint64_t cut_off(const std::string& path, std::uint64_t offset, std::uint64_t trailing, bool strict) {
    if (strict)
        throw std::runtime_error(path + ": cut off mid-event: " + std::to_string(trailing) +
                                 " trailing bytes from byte " + std::to_string(offset) + " after the last whole event");
    return trailing;
}

void refuse_lengths(const reader_options& options, bool takes_samples, bool takes_header, const std::string& name,
                    const std::string& path, const std::string& reason) {
    if (options.samples && !takes_samples)
        throw std::invalid_argument("--samples does not apply to " + path + " (" + name + "): " + reason);
    if (options.header_bytes && !takes_header)
        throw std::invalid_argument("--header does not apply to " + path + " (" + name + "): " + reason);
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool plain_text(const std::string& head) {
    return !head.empty() && std::all_of(head.begin(), head.end(), [](char c) {
        return (c >= ' ' && c <= '~') || c == '\n' || c == '\r' || c == '\t';
    });
}

std::optional<unsigned> wave_number(const std::string& path, const std::string& extension) {
    const std::string name = base_name(path);
    const std::string suffix = "." + extension;
    if (name.size() <= 4 + suffix.size() || name.compare(0, 4, "wave") != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const std::string digits = name.substr(4, name.size() - 4 - suffix.size());
    if (digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return static_cast<unsigned>(std::stoul(digits));
}

std::string file_channel_name(const std::string& path, const std::string& extension) {
    if (const std::optional<unsigned> number = wave_number(path, extension)) return std::to_string(*number);
    const std::string name = base_name(path);
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::int32_t lowest_16bit_sample(const channel_info& channel) {
    const bool signed_16bit = !channel.unsigned_samples && channel.bits.value_or(16) == 16;
    return signed_16bit ? -32768 : 0;
}

void check_16bit_samples(const record_batch& batch, std::size_t index, std::int32_t lowest, const std::string& format) {
    const std::int32_t* first = batch.samples_of(index);
    const std::int32_t* last = first + batch.length_of(index);
    const auto [low, high] = std::minmax_element(first, last);
    if (first != last && (*low < lowest || *high > 65535))
        throw std::invalid_argument(format + " cannot hold sample value " + std::to_string(*low < lowest ? *low : *high) +
                                    " of record " + std::to_string(index) + " (event " +
                                    std::to_string(batch.headers[index].event) + "): its samples are " +
                                    std::to_string(lowest) + " to 65535");
}

unsigned channel_number(const std::string& name, unsigned fallback) {
    const std::string digits = name.substr(name.find('.') == std::string::npos ? 0 : name.find('.') + 1);
    if (digits.empty() || digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return fallback;
    return static_cast<unsigned>(std::stoul(digits));
}

}  // namespace murel::formats::detail
