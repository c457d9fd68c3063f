// An output file that appears under its final name only once it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace murel {

/// A file written under a hidden temporary name beside its final name and renamed into place
/// by commit(); destroyed uncommitted, it removes the temporary.  Failures throw
/// std::system_error naming the final file.
class staged_file {
public:
    staged_file(const std::string& dir, std::string name);
    staged_file(const staged_file&) = delete;
    staged_file& operator=(const staged_file&) = delete;
    ~staged_file();

    /// The temporary's path, for writers that open files by name.
    const std::string& temp_path() const { return temp_path_; }
    /// Writes `size` bytes at byte `offset` of the temporary.
    void write_at(const void* bytes, std::size_t size, std::uint64_t offset);
    /// Closes the temporary and renames it to the final name.
    void commit();
    /// Throws the failure to write this file with the given errno.
    [[noreturn]] void fail(int error) const;

private:
    std::string name_;
    std::string final_path_;
    std::string temp_path_;
    int fd_ = -1;
};

}  // namespace murel
