#include "records.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace murel::plot {

std::uint64_t record_count(const std::string& path, const record_layout& layout) {
    if (layout.samples == 0) throw std::invalid_argument("a record of 0 samples");
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) throw std::system_error(error, "cannot examine " + path);
    return size < layout.header_bytes ? 0 : (size - layout.header_bytes) / layout.event_bytes();
}

record read_record(const std::string& path, const record_layout& layout, std::uint64_t event) {
    const std::uint64_t events = record_count(path, layout);
    if (event >= events)
        throw std::out_of_range("event " + std::to_string(event) + " is beyond the " + std::to_string(events) +
                                " events of " + path);
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes(layout.event_bytes());
    in.seekg(static_cast<std::streamoff>(layout.header_bytes + event * layout.event_bytes()));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    record result;
    result.a.reserve(layout.samples);
    result.b.reserve(layout.samples);
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        result.a.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[i] | bytes[i + 1] << 8)));
        result.b.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[i + 2] | bytes[i + 3] << 8)));
    }
    return result;
}

}  // namespace murel::plot
