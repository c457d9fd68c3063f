#include "file_digest.h"

// Inlined, so that the installed histogram library asks nothing more of its users.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace murel {

std::string file_digest::hash_text() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, xxh3);
    return text;
}

std::string file_digest::text() const { return std::to_string(bytes) + " " + hash_text(); }

std::optional<std::uint64_t> file_digest::parse_hash(const std::string& hex) {
    if (hex.size() != 16) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : hex) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::optional<file_digest> file_digest::parse(const std::string& text) {
    const std::size_t space = text.find(' ');
    if (space == 0 || space == std::string::npos || space > 20) return std::nullopt;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < space; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (bytes > (UINT64_MAX - digit) / 10) return std::nullopt;
        bytes = bytes * 10 + digit;
    }
    const std::optional<std::uint64_t> hash = parse_hash(text.substr(space + 1));
    if (!hash) return std::nullopt;
    return file_digest{bytes, *hash};
}

file_digest digest_of_bytes(const std::string& bytes) {
    return {bytes.size(), XXH3_64bits(bytes.data(), bytes.size())};
}

file_digest digest_of(const std::string& path, const std::atomic<bool>* cancelled) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    const std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state(XXH3_createState(), XXH3_freeState);
    if (!state) {
        ::close(fd);
        throw std::bad_alloc();
    }
    XXH3_64bits_reset(state.get());
    // Left uninitialised: a merge hashes many files, and clearing a buffer for each cost more than hashing.
    constexpr std::size_t buffer_size = 1 << 20;
    const std::unique_ptr<char[]> buffer(new char[buffer_size]);
    file_digest digest;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), buffer_size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            throw std::system_error(error, std::generic_category(), "cannot read " + path);
        }
        if (got == 0 || (cancelled && cancelled->load(std::memory_order_relaxed))) break;
        XXH3_64bits_update(state.get(), buffer.get(), static_cast<std::size_t>(got));
        digest.bytes += static_cast<std::uint64_t>(got);
    }
    ::close(fd);
    digest.xxh3 = XXH3_64bits_digest(state.get());
    return digest;
}

file_digest read_whole(const std::string& path, std::string& content) {
    int fd;
    // Not blocking: opening a pipe would wait for a writer before it could be refused.
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    const auto failed = [&](int error) {
        ::close(fd);
        return std::system_error(error, std::generic_category(), "cannot read " + path);
    };
    struct stat status {};
    if (::fstat(fd, &status) < 0) throw failed(errno);
    // A device or a pipe could be read without end.
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        throw std::invalid_argument(path + " is not a regular file");
    }
    // Room for the size the file has now and a byte more, to see its end in one read.
    content.resize(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 0) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == content.size()) content.resize(2 * content.size());
        const ssize_t got = ::read(fd, content.data() + filled, content.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw failed(errno);
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    content.resize(filled);
    return digest_of_bytes(content);
}

namespace {

[[noreturn]] void not_belonging(const std::string& path, const std::string& found, const std::string& manifest) {
    throw std::runtime_error(path + " does not belong with " + manifest + " (" + found +
                             "): the set is mixed or incomplete; write it again");
}

std::string difference(const file_digest& actual, const file_digest& listed) {
    return actual.bytes != listed.bytes ? std::to_string(actual.bytes) + " bytes, not " + std::to_string(listed.bytes)
                                        : "other content";
}

}  // namespace

void check_member(const std::string& path, const file_digest& listed, const std::string& manifest, std::string* content) {
    file_digest actual;
    try {
        // Only a regular file of the listed size is read: a pipe or a device put in a member's
        // place would keep its reader waiting or reading for ever, and a file of another size is
        // not read into memory, however large it has grown.
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        if (!S_ISREG(status.st_mode)) not_belonging(path, "not a regular file", manifest);
        if (static_cast<std::uint64_t>(status.st_size) != listed.bytes)
            not_belonging(path, difference({static_cast<std::uint64_t>(status.st_size), 0}, listed), manifest);
        actual = content ? read_whole(path, *content) : digest_of(path);
    } catch (const std::system_error& e) {
        not_belonging(path, e.code().message(), manifest);
    }
    check_digest(path, actual, listed, manifest);
}

void check_digest(const std::string& path, const file_digest& actual, const file_digest& listed, const std::string& manifest) {
    if (actual != listed) not_belonging(path, difference(actual, listed), manifest);
}

void check_listed_member(const std::string& dir, const std::string& name, std::uint64_t bytes, const std::string& hash,
                         const std::string& manifest, std::string* content) {
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos)
        throw std::invalid_argument(manifest + ": output \"" + name + "\" is not a plain file name");
    const std::optional<std::uint64_t> xxh3 = file_digest::parse_hash(hash);
    if (!xxh3) throw std::invalid_argument(manifest + ": output " + name + " has the malformed hash \"" + hash + "\"");
    check_member(dir.empty() ? name : dir + "/" + name, {bytes, *xxh3}, manifest, content);
}

}  // namespace murel
