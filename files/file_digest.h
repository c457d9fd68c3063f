// The size and a fast content hash of a file, so that a set of outputs can list its members
// and a reader can tell a complete set from a mixed or half-replaced one.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace murel {

/// A file's length in bytes and the XXH3 64-bit hash of its content.
struct file_digest {
    std::uint64_t bytes = 0;
    std::uint64_t xxh3 = 0;

    /// The hash as 16 lower-case hex digits.
    std::string hash_text() const;
    /// "BYTES HASH", as the generator's sidecar records it.
    std::string text() const;
    /// Reads hash_text()'s form back; std::nullopt for anything else.
    static std::optional<std::uint64_t> parse_hash(const std::string& hex);
    /// Reads text()'s form back; std::nullopt for anything else.
    static std::optional<file_digest> parse(const std::string& text);
    bool operator==(const file_digest& other) const { return bytes == other.bytes && xxh3 == other.xxh3; }
    bool operator!=(const file_digest& other) const { return !(*this == other); }
};

/// The size and hash of `bytes`, as if they were a file's content.
file_digest digest_of_bytes(const std::string& bytes);

/// Reads the whole file at `path`; throws std::system_error naming it when it cannot be read.
/// Once `*cancelled` is set, stops early with an incomplete digest, for the caller to discard.
file_digest digest_of(const std::string& path, const std::atomic<bool>* cancelled = nullptr);

/// Reads the whole file at `path` into `content` and returns the digest of those bytes, so that
/// what is checked is what is used; throws std::system_error naming the file when it cannot be
/// read, std::invalid_argument naming it when it is not a regular file.
file_digest read_whole(const std::string& path, std::string& content);

/// Throws std::runtime_error "PATH does not belong with MANIFEST ..." unless the file at `path`
/// has the `listed` size and hash; a missing file is reported the same way.  With `content`,
/// the bytes that were hashed are kept there.
void check_member(const std::string& path, const file_digest& listed, const std::string& manifest,
                  std::string* content = nullptr);

/// Throws check_member's error unless `actual`, the digest of the file at `path`, is `listed`.
void check_digest(const std::string& path, const file_digest& actual, const file_digest& listed, const std::string& manifest);

/// Checks the member `name` of the set in `dir` that `manifest` lists with `bytes` and the hash
/// `hash` (16 hex digits): std::invalid_argument naming the manifest for a name that is not a
/// plain file name or a malformed hash, check_member's error for a file that differs; with
/// `content`, its checked bytes are kept there.
void check_listed_member(const std::string& dir, const std::string& name, std::uint64_t bytes, const std::string& hash,
                         const std::string& manifest, std::string* content = nullptr);

/// Checks every member of a JSON list of outputs ({"NAME": {"bytes": N, "xxh3": "HEX"}, ...},
/// any JSON type with nlohmann's interface) as check_listed_member does; throws
/// std::invalid_argument naming `manifest` when the list is malformed.  The checked bytes of the
/// members named in `kept` are kept where it points.
template <class Json>
void check_listed(const std::string& dir, const Json& listed, const std::string& manifest,
                  const std::map<std::string, std::string*>& kept = {}) {
    if (!listed.is_object()) throw std::invalid_argument(manifest + ": the list of outputs is not an object");
    for (const auto& member : listed.items()) {
        const Json& entry = member.value();
        if (!entry.is_object() || !entry.contains("bytes") || !entry["bytes"].is_number_unsigned() ||
            !entry.contains("xxh3") || !entry["xxh3"].is_string())
            throw std::invalid_argument(manifest + ": output " + member.key() + " has no size and hash");
        const auto keep = kept.find(member.key());
        check_listed_member(dir, member.key(), entry["bytes"].template get<std::uint64_t>(),
                            entry["xxh3"].template get<std::string>(), manifest, keep == kept.end() ? nullptr : keep->second);
    }
}

}  // namespace murel
