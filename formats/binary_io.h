// What the readers and writers of the binary formats share: a file read front to back in large
// chunks, little-endian fields, sample decoding, and the messages for corrupt and cut-off files.
#pragma once

#include "format.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace murel::formats::detail {

/// Longest record any reader accepts, in samples: a longer one is taken for corruption, so that a
/// bad length field cannot make a reader hold more than a few tens of MiB.
inline constexpr std::size_t max_record_samples = std::size_t{1} << 22;

/// A file read front to back through a buffer of a few MiB.  The file is opened for each refill
/// only, so that any number of readers can be open at once.
class chunked_input {
public:
    /// Opens `path`, a regular file, from byte `start`; throws std::system_error naming a path
    /// that cannot be read (EISDIR for a directory) and std::invalid_argument for a special file.
    explicit chunked_input(const std::string& path, std::uint64_t start = 0);

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    /// File offset of data().
    std::uint64_t offset() const { return file_pos_ - (end_ - begin_); }
    std::size_t available() const { return end_ - begin_; }
    const unsigned char* data() const { return buffer_.data() + begin_; }
    /// Makes at least `bytes` available unless the file ends first; returns available().
    /// Throws std::system_error naming the path on a failed read.
    std::size_t want(std::size_t bytes) {
        return available() >= bytes ? available() : refill(bytes);
    }
    void skip(std::size_t bytes) { begin_ += bytes; }
    bool at_end() const { return offset() >= size_; }

private:
    std::size_t refill(std::size_t bytes);

    std::string path_;
    std::uint64_t size_ = 0;
    std::uint64_t file_pos_ = 0;  // file offset of the buffer's end
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

inline std::uint16_t load_u16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t load_u32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline std::uint64_t load_u64(const unsigned char* p) { return load_u32(p) | std::uint64_t{load_u32(p + 4)} << 32; }
inline double load_f64(const unsigned char* p) {
    const std::uint64_t bits = load_u64(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline void store_u16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void store_u32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> 8 * i);
}
inline void store_u64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> 8 * i);
}

/// `count` unsigned 16-bit samples, `stride` bytes apart, as 32-bit integers.
inline void decode_u16(const unsigned char* p, std::size_t count, std::size_t stride, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = load_u16(p + i * stride);
}
/// `count` signed 16-bit samples, `stride` bytes apart, as 32-bit integers.
inline void decode_i16(const unsigned char* p, std::size_t count, std::size_t stride, std::int32_t* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>(load_u16(p + i * stride));
}
/// `count` pairs of signed 16-bit samples, the first of each pair to `first` and the second to
/// `second`, as 32-bit integers: two interleaved records in one pass.
inline void decode_i16_pairs(const unsigned char* p, std::size_t count, std::int32_t* first, std::int32_t* second) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t pair = load_u32(p + 4 * i);
        first[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(pair));
        second[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(pair >> 16));
    }
}

/// Up to `size` bytes of `path` from byte `offset` (fewer where the file ends); throws
/// std::system_error naming the path on a failed read.
std::string read_at(const std::string& path, std::uint64_t offset, std::size_t size);

/// Throws std::runtime_error: `path`, read as `format`, is corrupt at byte `offset`, because of `what`.
[[noreturn]] void corrupt(const char* format, const std::string& path, std::uint64_t offset, const std::string& what);

/// Notes that `path` ends `trailing` bytes into an incomplete event starting at byte `offset`;
/// throws std::runtime_error saying so when `strict`, and otherwise returns `trailing`.
std::uint64_t cut_off(const std::string& path, std::uint64_t offset, std::uint64_t trailing, bool strict);

/// Throws std::invalid_argument when `options` give a record length or header size that the
/// format `name` does not take for `path`, saying why (`reason`).
void refuse_lengths(const reader_options& options, bool takes_samples, bool takes_header, const std::string& name,
                    const std::string& path, const std::string& reason);

/// N for a file named wave<N>.<extension> (any directory), else nothing.
std::optional<unsigned> wave_number(const std::string& path, const std::string& extension);

/// The channel name of a WaveDump file whose events do not say their channel: N of wave<N>,
/// else the file's name without its extension, so that two such files stay two channels.
std::string file_channel_name(const std::string& path, const std::string& extension);

/// The file name of `path`, without its directory.
std::string base_name(const std::string& path);

/// Whether `head`, the first bytes of a file, is nothing but printable ASCII, tabs and line ends
/// (and not empty): a file that no binary format takes by its name alone.
bool plain_text(const std::string& head);

/// The lowest and highest sample a 16-bit field accepts from `channel`: 0 to 65535, and from
/// -32768 for signed 16-bit data, whose bit pattern is kept, so that a conversion between the
/// signed and the unsigned formats gives back the same bytes.
std::int32_t lowest_16bit_sample(const channel_info& channel);

/// Throws std::invalid_argument naming record `index` of `batch` when one of its samples lies
/// outside `lowest` .. 65535; `format` names the target.
void check_16bit_samples(const record_batch& batch, std::size_t index, std::int32_t lowest, const std::string& format);

/// The digitiser channel number a channel name stands for ("3", or the 3 of "1.3"), else `fallback`.
unsigned channel_number(const std::string& name, unsigned fallback);

}  // namespace murel::formats::detail
