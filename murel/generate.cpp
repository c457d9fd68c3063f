#include "command.h"

namespace murel::cli {

void add_generate(CLI::App& app) {
    CLI::App* command = app.add_subcommand("generate", "Not built yet");
    command->callback([] { throw std::runtime_error("generate is not built yet"); });
}

}  // namespace murel::cli
