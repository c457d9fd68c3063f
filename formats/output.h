// A staged output file written front to back through a buffer.
#pragma once

#include "format.h"
#include "staged_file.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace murel::formats::detail {

/// Appends bytes to a file that appears under `path` only at commit().
class staged_output {
public:
    /// Stages `path`; throws std::system_error naming it when its directory cannot hold the temporary.
    explicit staged_output(const std::string& path);
    /// Appends `size` bytes; throws std::system_error naming the file on a failed write.
    void append(const void* bytes, std::size_t size);
    void append(const std::string& text) { append(text.data(), text.size()); }
    /// Writes what is buffered and renames the file into place.
    void commit();

private:
    void flush();

    murel::staged_file file_;
    std::vector<unsigned char> buffer_;
    std::uint64_t written_ = 0;
};

/// One staged file per channel in the directory `dir`, named wave<N>.<extension> after the
/// channel numbers its names give, or after the channel indices when they give no distinct
/// numbers.  A directory it had to create is removed again when it is destroyed uncommitted.
class wave_files {
public:
    /// Throws std::system_error naming `dir` when it cannot be created or is not a directory.
    wave_files(const std::string& dir, const std::vector<channel_info>& channels, const std::string& extension);
    wave_files(const wave_files&) = delete;
    wave_files& operator=(const wave_files&) = delete;
    ~wave_files();

    staged_output& file(std::size_t channel) { return *files_[channel]; }
    unsigned number(std::size_t channel) const { return numbers_[channel]; }
    /// Renames every file into place.
    void commit();

private:
    std::string dir_;
    bool created_ = false;
    bool committed_ = false;
    std::vector<unsigned> numbers_;
    std::vector<std::unique_ptr<staged_output>> files_;
};

}  // namespace murel::formats::detail
