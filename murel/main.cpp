// murel: generate, analyse, merge, plot and convert two-channel pulse data.
#include "command.h"
#include "console_text.h"
#include "interruption.h"
#include "vector_math.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

// Insertions, deletions, replacements and swaps of neighbours that turn `a` into `b`.
std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The one of `names` that `word` was probably meant to be: the nearest by a third of its
// letters at most, or the one it begins.
std::optional<std::string> closest(const std::string& word, const std::vector<std::string>& names) {
    std::optional<std::string> best;
    // Two letters are too few to tell one name from another.
    if (word.size() < 3) return best;
    std::size_t best_distance = std::max<std::size_t>(1, word.size() / 3) + 1;
    for (const std::string& name : names) {
        const std::size_t distance = word.size() >= 3 && name.rfind(word, 0) == 0 ? 0 : edit_distance(word, name);
        if (distance < best_distance) best = name, best_distance = distance;
    }
    return best;
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::vector<std::string> command_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) names.push_back(command->get_name());
    return names;
}

// Every spelling of the options of `app`: --long and -s.
std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

// Why a command line cannot be run when its first word is no command and no option of murel
// itself; nothing when it is one.
std::optional<std::string> unknown_first_word(const CLI::App& app, const std::string& word) {
    const std::vector<std::string> commands = command_names(app), options = option_names(app);
    if (std::find(commands.begin(), commands.end(), word) != commands.end()) return std::nullopt;
    if (!word.empty() && word[0] == '-') {
        if (std::find(options.begin(), options.end(), word.substr(0, word.find('='))) != options.end()) return std::nullopt;
        return word + " is neither a command nor an option of murel (its options are " + listed(options) +
               "); the commands are " + listed(commands);
    }
    const std::optional<std::string> meant = closest(word, commands);
    return "unknown command '" + word + "'" + (meant ? "; did you mean '" + *meant + "'?" : "; the commands are " + listed(commands));
}

// For a command line that left words unread, a message naming the first of them (the first
// option among them, since that is what keeps a required argument from being seen); nothing
// when every word was read.
std::optional<std::string> unread_word(const CLI::App& app) {
    for (const CLI::App* command : app.get_subcommands()) {
        const std::vector<std::string> left = command->remaining();
        if (left.empty()) continue;
        const auto option = std::find_if(left.begin(), left.end(), [](const std::string& w) { return w.size() > 1 && w[0] == '-'; });
        const std::string prefix = command->get_name() + ": ";
        if (option == left.end()) return prefix + "unexpected argument '" + left.front() + "'";
        const std::optional<std::string> meant = closest(option->substr(0, option->find('=')), option_names(*command));
        return prefix + "unknown option " + *option + (meant ? "; did you mean " + *meant + "?" : "");
    }
    return std::nullopt;
}

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
    if (argc > 1)
        if (const std::optional<std::string> unknown = unknown_first_word(app, argv[1])) {
            std::fprintf(stderr, "murel: %s\nRun murel --help for more information.\n", unknown->c_str());
            return 2;
        }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help and --version
    } catch (const CLI::ParseError& e) {
        // A word that was not read explains a missing argument better than the missing argument.
        const std::optional<std::string> unread = unread_word(app);
        std::string message = unread ? *unread : e.what();
        if (app.get_subcommands().empty()) message = "a command is required: " + listed(command_names(app));
        std::fprintf(stderr, "murel: %s\nRun with --help for more information.\n", murel::analysis::console_text(message, true).c_str());
        return 2;
    } catch (const murel::interruption& e) {
        return end_by(e.signal);
    } catch (const murel::cli::usage_error& e) {
        std::fprintf(stderr, "murel: %s\n", murel::analysis::console_text(e.what(), true).c_str());
        return 2;
    } catch (const std::exception& e) {
        if (const int signal = murel::interruption_guard::caught(); signal != 0) return end_by(signal);
        const std::string what = dynamic_cast<const std::bad_alloc*>(&e) ? "out of memory" : e.what();
        std::fprintf(stderr, "murel: %s\n", murel::analysis::console_text(what, true).c_str());
        return 1;
    }
    if (std::fflush(stdout) != 0) {
        std::perror("murel: cannot write standard output");
        return 1;
    }
    return 0;
}
