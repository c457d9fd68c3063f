// What the subcommands of murel share: how they report a bad command line, and how each
// one joins the application.
#pragma once

#include <CLI/CLI.hpp>

#include <stdexcept>
#include <string>

namespace murel::cli {

/// A command line that parses but asks for something impossible; murel prints it as
/// "murel: <message>" and exits with status 2.  Any other exception is a runtime failure
/// (status 1).
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Refuses an empty argument, such as an output directory of "".
inline const CLI::Validator non_empty(
    [](std::string& value) { return value.empty() ? std::string("an empty name") : std::string(); }, "", "non-empty");

/// Refuses a number that is not above 0 ("must be above 0, not -5").
inline const CLI::Validator positive(
    [](std::string& value) {
        double number = 0.0;
        return CLI::detail::lexical_cast(value, number) && number > 0.0 ? std::string() : "must be above 0, not " + value;
    },
    "", "positive");

/// Refuses a number below 0 ("must be 0 or more, not -1").
inline const CLI::Validator non_negative(
    [](std::string& value) {
        double number = 0.0;
        return CLI::detail::lexical_cast(value, number) && number >= 0.0 ? std::string() : "must be 0 or more, not " + value;
    },
    "", "non-negative");

/// Adds -q/--quiet to `command`: no progress, notes or summary print, only warnings and errors.
inline CLI::Option* add_quiet(CLI::App& command, bool& quiet) {
    return command.add_flag("-q,--quiet", quiet,
                            "Print no progress, notes or summary; warnings and errors still go to standard error");
}

/// The option metavariable and default of --threads, alike in every command.
inline CLI::Option* add_threads(CLI::App& command, unsigned& threads, const std::string& help) {
    return command.add_option("--threads", threads, help + "; 0: one per core")
        ->type_name("N")
        ->default_str("0");
}

/// Adds `murel generate` to `app`.
void add_generate(CLI::App& app);
/// Adds `murel analyse` to `app`.
void add_analyse(CLI::App& app);
/// Adds `murel merge` to `app`.
void add_merge(CLI::App& app);
/// Adds `murel plot` to `app`.
void add_plot(CLI::App& app);
/// Adds `murel convert` to `app`.
void add_convert(CLI::App& app);

}  // namespace murel::cli
