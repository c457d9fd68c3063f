// Helpers shared by the test files: scratch directories and whole-file reads.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

/// A fresh directory under the system's temporary directory, removed with its contents.
class scratch_dir {
public:
    scratch_dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "murel-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
        path_ = pattern;
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// "%f" exactly as the C library writes it, with an optional leading blank.
inline std::string printf_field(double value, bool blank) {
    char text[512];
    std::snprintf(text, sizeof text, blank ? " %f" : "%f", value);
    return text;
}

/// The not-a-number that 0 / 0 gives at run time (negative on x86-64, where the C library
/// prints it as "-nan"), rather than whatever the compiler folds a constant into.
inline double hardware_nan() {
    volatile double zero = 0.0;
    return zero / zero;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

/// The names in a directory, sorted.
inline std::vector<std::string> listing(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

/// Runs `body` in a child process; returns its exit status, or 128 + the signal that ended it.
template <class Body>
int in_child(Body body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// Sends `signal` to `child` as soon as an entry of `dir` begins with `prefix` (or gives up after
/// about ten seconds), then reaps it; returns whether the entry was seen and the wait status.
inline std::pair<bool, int> signal_when_present(pid_t child, const std::filesystem::path& dir, const std::string& prefix,
                                                int signal) {
    bool seen = false;
    for (int tries = 0; tries < 50000 && !seen; ++tries) {
        for (const std::string& name : listing(dir)) seen = seen || name.rfind(prefix, 0) == 0;
        if (!seen) ::usleep(200);
    }
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {seen, status};
}

}  // namespace test_support
