#include "gnuplot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

extern char** environ;

namespace murel::plot {
namespace {

// A directory passes the access check too, but cannot be run.
bool is_runnable(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string find_program(const std::string& program) {
    if (program.find('/') != std::string::npos) return is_runnable(program) ? program : "";
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "";
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos) end = directories.size();
        const std::string directory = end == start ? "." : directories.substr(start, end - start);
        const std::string candidate = directory + "/" + program;
        if (is_runnable(candidate)) return candidate;
        start = end + 1;
    }
    return "";
}

class pipe_pair {
public:
    pipe_pair() {
        if (::pipe2(ends_, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot create a pipe");
    }
    pipe_pair(const pipe_pair&) = delete;
    pipe_pair& operator=(const pipe_pair&) = delete;
    ~pipe_pair() {
        close_write();
        ::close(ends_[0]);
    }
    int read_end() const { return ends_[0]; }
    int write_end() const { return ends_[1]; }
    void close_write() {
        if (ends_[1] >= 0) ::close(ends_[1]);
        ends_[1] = -1;
    }

private:
    int ends_[2];
};

}  // namespace

// gnuplot runs backtick text and expands '@' macros everywhere but inside single quotes.  A
// line break cannot be written there, and a doubled quote at the start reads as an empty
// string, so control characters and the quote are joined on as octal escapes of double-quoted
// strings that hold nothing else.
std::string quoted(const std::string& text) {
    std::string result, piece;
    const auto join = [&result](const std::string& next) { result += (result.empty() ? "" : ".") + next; };
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) throw std::invalid_argument("gnuplot cannot be given a text holding a NUL byte");
        if (byte >= 0x20 && byte != 0x7f && c != '\'') {
            piece += c;
            continue;
        }
        if (!piece.empty()) join("'" + piece + "'");
        piece.clear();
        char escape[8];
        std::snprintf(escape, sizeof escape, "\"\\%03o\"", byte);
        join(escape);
    }
    if (!piece.empty() || result.empty()) join("'" + piece + "'");
    return result;
}

std::string quoted_path(const std::string& path) {
    return quoted(!path.empty() && path[0] == '/' ? path : "./" + path);
}

gnuplot::gnuplot(const std::string& program) : path_(find_program(program)) {
    if (path_.empty())
        throw std::runtime_error("cannot find gnuplot (" + program +
                                 "); install the Debian package gnuplot-nox or name the program with --gnuplot");
    const outcome probe = execute("set terminal pngcairo", "");
    if (probe.status != 0 || !probe.errors.empty())
        throw std::runtime_error(path_ + " cannot draw PNG files with the pngcairo terminal: " + probe.errors);
}

std::string gnuplot::run(const std::string& script_path, const std::string& png_path) const {
    outcome result = execute("output = " + quoted_path(png_path), script_path);
    if (result.status != 0)
        throw std::runtime_error("gnuplot failed on " + script_path + (result.errors.empty() ? "" : ":\n") +
                                 result.errors);
    return std::move(result.errors);
}

gnuplot::outcome gnuplot::execute(const std::string& commands, const std::string& script_path) const {
    pipe_pair errors;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errors.write_end(), STDERR_FILENO);
    std::vector<std::string> arguments{path_, "-e", commands};
    if (!script_path.empty()) arguments.push_back(script_path[0] == '/' ? script_path : "./" + script_path);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int failure = ::posix_spawn(&child, path_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) throw std::system_error(failure, std::generic_category(), "cannot run " + path_);
    errors.close_write();

    outcome result{0, ""};
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(errors.read_end(), buffer, sizeof buffer);
        if (got > 0)
            result.errors.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "cannot wait for " + path_);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace murel::plot
