#include "format.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

const format& detect(const std::string& path) {
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
    if (best == nullptr)
        throw std::runtime_error(path + ": no reader recognises this file; the formats are " + known_names() +
                                 " (choose one with --format)");
    return *best;
}

std::unique_ptr<reader> open(const std::string& path, const std::string& name, const reader_options& options) {
    const format& chosen = name.empty() ? detect(path) : find(name);
    return chosen.open(path, options);
}

}  // namespace murel::formats
