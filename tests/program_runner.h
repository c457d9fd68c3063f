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
    int interrupt = 0;  // a signal sent as soon as an entry beginning with interrupt_at appears
    std::string interrupt_at = ".";
    int ignored = SIGXFSZ;  // a signal the program inherits as ignored (0: none)
    const char* maths = nullptr;  // the value of MUREL_MATH, if it is to be set
    const char* path = nullptr;   // the value of PATH, if it is to be set
};

inline bool has_entry_beginning(const std::string& dir, const std::string& prefix) {
    for (const std::string& name : listing(dir))
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

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
        // By default a file-size limit must fail the write with an error, not end the process.
        if (options.ignored != 0) std::signal(options.ignored, SIG_IGN);
        const rlimit limit{options.file_size_limit, options.file_size_limit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        if (options.maths != nullptr && ::setenv("MUREL_MATH", options.maths, 1) != 0) ::_exit(126);
        if (options.path != nullptr && ::setenv("PATH", options.path, 1) != 0) ::_exit(126);
        if (options.unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    bool reaped = false;
    while (options.interrupt != 0 && !(reaped = ::waitpid(child, &status, WNOHANG) == child)) {
        if (has_entry_beginning(dir, options.interrupt_at)) {
            ::kill(child, options.interrupt);
            break;
        }
        ::usleep(200);
    }
    if (!reaped) ::waitpid(child, &status, 0);
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!options.console) result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

}  // namespace test_support
