#include "command.h"

namespace murel::cli {

void add_analyse(CLI::App& app) {
    CLI::App* command = app.add_subcommand("analyse", "Not built yet");
    command->callback([] { throw std::runtime_error("analyse is not built yet"); });
}

}  // namespace murel::cli
