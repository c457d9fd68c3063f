#include "format.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace murel::formats {

// Each format is one file that defines its descriptor, and one line here.
const std::vector<format>& registry() {
    static const std::vector<format> known = {
        wavedump_format(),
        cdb_format(),
        wavedump_ascii_format(),
        compass_format(),
        lh5_format(),
    };
    return known;
}

namespace {

std::string known_names() {
    std::string names;
    for (const format& f : registry()) names += (names.empty() ? "" : ", ") + f.name;
    return names;
}

std::string first_bytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
    std::string head(4096, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw std::system_error(error, std::generic_category(), "cannot read " + path);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    head.resize(got);
    return head;
}

}  // namespace

const format& find(const std::string& name) {
    for (const format& f : registry())
        if (f.name == name) return f;
    throw std::invalid_argument("unknown format '" + name + "'; the formats are " + known_names());
}

const format& detect(const std::string& path, const reader_options& options) {
    const std::string head = first_bytes(path);
    const format* best = nullptr;
    int best_score = 0;
    for (const format& f : registry()) {
        const int score = f.probe(path, head);
        if (score > best_score) {
            best = &f;
            best_score = score;
        }
    }
    if (best != nullptr) return *best;
    if (!options.samples && !options.header_bytes)
        throw std::runtime_error(path + ": no reader recognises this file; the formats are " + known_names() +
                                 " (choose one with --format)");
    // Bare samples after a header of the given size: two interleaved channels (cdb) when the
    // size is whole events of that layout, else possibly one channel (headerless WaveDump).
    const std::uint64_t header = options.header_bytes.value_or(12);
    const std::uint64_t samples = options.samples.value_or(1000);
    std::error_code unknown;
    const std::uintmax_t size = std::filesystem::file_size(path, unknown);
    if (!unknown && samples > 0 && samples < (std::uint64_t{1} << 60) && size >= header && (size - header) % (4 * samples) == 0) return find("cdb");
    throw std::runtime_error(path + ": no reader recognises this file, and its size of " + std::to_string(size) +
                             " bytes is not a " + std::to_string(header) + "-byte header plus whole cdb events of " +
                             std::to_string(4 * samples) + " bytes; give its format with --format cdb (channels A and B "
                             "interleaved) or --format wavedump (one channel of bare samples)");
}

std::unique_ptr<reader> open(const std::string& path, const std::string& name, const reader_options& options) {
    const format& chosen = name.empty() ? detect(path, options) : find(name);
    return chosen.open(path, options);
}

}  // namespace murel::formats
