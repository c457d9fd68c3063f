#include "command.h"

namespace murel::cli {

void add_merge(CLI::App& app) {
    CLI::App* command = app.add_subcommand("merge", "Not built yet");
    command->callback([] { throw std::runtime_error("merge is not built yet"); });
}

}  // namespace murel::cli
