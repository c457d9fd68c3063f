// An output file that appears under its final name only once it is complete.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace murel {

/// A file written under a hidden temporary name beside its final name and renamed into place
/// by commit(); destroyed uncommitted, it removes the temporary.  A final name that is a
/// symbolic link stages its target; one that is not a regular file (a device, a pipe) is
/// written in place.  A file that is replaced keeps its permission bits.  Failures throw
/// std::system_error naming the final file.
///
/// The first staged file of a process installs handlers for SIGINT, SIGTERM, SIGHUP and SIGXFSZ
/// (each only while it still has its default action) that remove every live temporary, the
/// histogram library's included, and then end the process by the same signal.  SIGKILL cannot
/// be caught: its leftovers are removed by a later staged file of the same name in the same
/// directory once they are older than `stale_age`.
class staged_file {
public:
    /// Temporaries of a final name left this long by a killed run are removed.
    static constexpr std::chrono::hours stale_age{1};

    /// Stages `name` in `dir` (the current directory when empty).
    staged_file(const std::string& dir, const std::string& name);
    staged_file(const staged_file&) = delete;
    staged_file& operator=(const staged_file&) = delete;
    ~staged_file();

    /// The temporary's path (the file itself when written in place), for writers that open
    /// files by name.
    const std::string& temp_path() const { return temp_path_; }
    /// The path as given: `name` in `dir`.
    const std::string& path() const { return name_; }
    /// The file that commit() replaces, symbolic links followed.
    const std::string& final_path() const { return final_path_; }
    /// True when the file is written in place rather than staged.
    bool in_place() const { return in_place_; }
    /// Writes `size` bytes at byte `offset` of the temporary; safe from several threads at once.
    void write_at(const void* bytes, std::size_t size, std::uint64_t offset);
    /// Closes the temporary and renames it to the final name.
    void commit();
    /// Throws the failure to write this file with the given errno.
    [[noreturn]] void fail(int error) const;

private:
    std::string name_;  // as the messages show it: the path given
    std::string final_path_;
    std::string temp_path_;
    int fd_ = -1;
    bool in_place_ = false;
};

/// Removes, from `dir`, the hidden temporaries of `name` (".<name>.XXXXXX", also those that a
/// library writer made beside such a temporary) that were last changed more than `age` ago.
void remove_stale_temporaries(const std::string& dir, const std::string& name, std::chrono::seconds age);

/// Removes from `dir`, whatever their age, the temporaries of outputs of the kinds that a run
/// holding the directory's write lock writes (".txt", ".ppm", ".json", ".csv", ".png" and ".gp"
/// files); only such a run may call it, since no other can own them.
void remove_output_temporaries(const std::string& dir);

}  // namespace murel
