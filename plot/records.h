// Records of .cdb-layout files: a header, then events of sample pairs (A then B, int16 LE).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace murel::plot {

/// Where the records of a .cdb-layout file lie.
struct record_layout {
    std::uint64_t header_bytes = 12;
    std::uint64_t samples = 1000;  // per channel and event

    std::uint64_t event_bytes() const { return samples * 4; }
};

/// Both channels of one event.
struct record {
    std::vector<std::int16_t> a, b;
};

/// The number of whole events in the file at `path`; throws std::invalid_argument for a
/// layout of no samples and std::system_error when the file cannot be examined.
std::uint64_t record_count(const std::string& path, const record_layout& layout);

/// Reads event `event` (0-based) of the file at `path`; throws std::out_of_range naming the
/// file when it holds no such event and std::system_error when it cannot be read.
record read_record(const std::string& path, const record_layout& layout, std::uint64_t event);

}  // namespace murel::plot
