// Runs a program of this project as a user would: with arguments, in a given directory,
// its standard output and error captured.
#pragma once

#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

struct run_result {
    int status = -1;
    std::string out, err;
};

struct run_options {
    rlim_t file_size_limit = RLIM_INFINITY;
    bool unprivileged = false;  // run as nobody, so that directory permissions bind even for root
    const char* console = nullptr;  // where standard output goes instead of being captured
};

/// Runs `program` with `arguments` and `dir` as its working directory.
inline run_result run(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
                      const run_options& options = {}) {
    scratch_dir capture;
    const std::string out_path = options.console ? options.console : capture.file("out"), err_path = capture.file("err");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | (options.console ? 0 : O_TRUNC), 0666);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
        // A file-size limit must fail the write with an error, not end the process.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{options.file_size_limit, options.file_size_limit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        if (options.unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!options.console) result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

/// The names in `dir`, sorted.
inline std::vector<std::string> directory_listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace test_support
