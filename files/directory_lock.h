// Claims on a directory that murel programs write as a whole or read as a whole, so that two
// runs never mix their outputs and a reader never sees a set half replaced.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace murel {

/// An advisory lock (flock) on a directory, held while the object lives: one writer, or any
/// number of readers.  Taking it never waits: a directory already claimed the other way (or,
/// for a writer, claimed at all) throws std::runtime_error "DIR is being written by another
/// murel run" (or "... read by ..."); a directory that cannot be opened throws
/// std::system_error naming it.
class directory_lock {
public:
    enum class access { read, write };

    directory_lock(const std::string& dir, access how);
    directory_lock(directory_lock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    directory_lock& operator=(directory_lock&& other) noexcept;
    directory_lock(const directory_lock&) = delete;
    directory_lock& operator=(const directory_lock&) = delete;
    ~directory_lock();

private:
    int fd_ = -1;
};

/// An output directory claimed for writing while the object lives: created (with its parents)
/// if missing, locked as directory_lock does, and cleared of scratch directories and of the
/// temporaries of outputs (remove_output_temporaries) left by killed runs, which no live run can own.  A directory it created is removed again, if still
/// empty, when the object goes during the unwinding of an exception, so that a failed run
/// leaves nothing behind.  Throws as directory_lock does, std::system_error naming `dir` when
/// it cannot be created or is something other than a directory (ENOTDIR).
class output_directory {
public:
    explicit output_directory(const std::string& dir);
    output_directory(const output_directory&) = delete;
    output_directory& operator=(const output_directory&) = delete;
    ~output_directory();

private:
    std::string created_;  // empty when the directory was there already
    int exceptions_;
    std::optional<directory_lock> lock_;
};

/// A private directory "<dir>/.murel-XXXXXX" for writers that choose their own file names,
/// removed with its contents when the object goes.  Scratch directories left in `dir` by a
/// killed run are removed first once older than `stale_age`.  Throws std::system_error naming
/// `dir` when it cannot be created.
class scratch_directory {
public:
    static constexpr std::chrono::hours stale_age{1};

    explicit scratch_directory(const std::string& dir);
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    ~scratch_directory();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// Removes from `dir` the scratch directories (".murel-XXXXXX") last changed more than `age`
/// ago; a writer holding the directory's write lock may pass 0, since no live run owns one.
void remove_stale_scratch(const std::string& dir, std::chrono::seconds age);

}  // namespace murel
