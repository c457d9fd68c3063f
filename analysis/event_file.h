// Reading digitiser files: a header, then events of two channels of 16-bit little-endian
// samples, interleaved A, B, A, B, ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace murel::analysis {

/// A checked data file of whole events.
class event_file {
public:
    /// Opens `path` and checks that it holds `header_bytes` then whole events of `samples` sample
    /// pairs; throws std::system_error (missing, unreadable, a directory) or std::invalid_argument
    /// (a size that is not header plus whole events, or samples < 1), naming the path.
    event_file(const std::string& path, std::uint64_t header_bytes, int samples);

    const std::string& path() const { return path_; }
    std::uint64_t events() const { return events_; }
    int samples() const { return samples_; }
    /// Bytes per event: 4 per sample pair.
    std::size_t event_bytes() const { return static_cast<std::size_t>(samples_) * 4; }

    /// Reads events first .. first + count - 1 into out (count * event_bytes() bytes); throws
    /// std::out_of_range past the last event and std::system_error naming the path on a failed read.
    void read(std::uint64_t first, std::size_t count, unsigned char* out) const;

private:
    std::string path_;
    std::uint64_t header_bytes_;
    int samples_;
    std::uint64_t events_;
};

/// Splits one event of `samples` pairs into channel A and channel B samples.
void split_channels(const unsigned char* event, int samples, std::int16_t* a, std::int16_t* b);

}  // namespace murel::analysis
