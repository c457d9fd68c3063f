// Running gnuplot on a script file, with its complaints captured.
#pragma once

#include <string>

namespace murel::plot {

/// The gnuplot program that draws the pictures.
class gnuplot {
public:
    /// Finds `program` (a path, or a name looked up on PATH) and checks that it draws PNG
    /// files with the pngcairo terminal; throws std::runtime_error saying what is missing.
    explicit gnuplot(const std::string& program);

    /// Runs the script at `script_path` with its variable `output` set to `png_path` and
    /// returns what gnuplot printed on standard error (its warnings); throws
    /// std::runtime_error with that text when gnuplot fails.
    std::string run(const std::string& script_path, const std::string& png_path) const;

private:
    struct outcome {
        int status;
        std::string errors;
    };
    outcome execute(const std::string& commands, const std::string& script_path) const;

    std::string path_;
};

/// `text` as a gnuplot string expression that yields exactly its bytes and never runs or
/// expands anything; throws std::invalid_argument for a NUL byte, which gnuplot cannot hold.
std::string quoted(const std::string& text);

/// `path` as a gnuplot string expression naming that file and nothing else (a relative path
/// gains "./", so that no leading '<', '|' or '-' opens a pipe); throws as quoted does.
std::string quoted_path(const std::string& path);

}  // namespace murel::plot
