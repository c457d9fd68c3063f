// murel: generate, analyse, merge, plot and convert two-channel pulse data.
#include "command.h"
#include "console_text.h"
#include "interruption.h"
#include "vector_math.h"

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

// The partial outputs of an interrupted run are gone; ending by the signal itself stops a
// calling shell too.
int end_by(int signal) {
    std::fflush(stdout);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return 128 + signal;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Synthetic two-channel pulse data, its ground truth, and pulse-height analysis.", "murel"};
    app.set_version_flag("--version", MUREL_VERSION, "Print the version and exit");
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();
    murel::cli::add_generate(app);
    murel::cli::add_analyse(app);
    murel::cli::add_merge(app);
    murel::cli::add_plot(app);
    murel::cli::add_convert(app);
    try {
        // A maths variant forced through the environment is checked before any work begins.
        murel::vector_math::active();
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "murel: %s\n", murel::analysis::console_text(e.what(), true).c_str());
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help and --version
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "murel: %s\nRun with --help for more information.\n", murel::analysis::console_text(e.what(), true).c_str());
        return 2;
    } catch (const murel::interruption& e) {
        return end_by(e.signal);
    } catch (const murel::cli::usage_error& e) {
        std::fprintf(stderr, "murel: %s\n", murel::analysis::console_text(e.what(), true).c_str());
        return 2;
    } catch (const std::exception& e) {
        if (const int signal = murel::interruption_guard::caught(); signal != 0) return end_by(signal);
        std::fprintf(stderr, "murel: %s\n", murel::analysis::console_text(e.what(), true).c_str());
        return 1;
    }
    if (std::fflush(stdout) != 0) {
        std::perror("murel: cannot write standard output");
        return 1;
    }
    return 0;
}
