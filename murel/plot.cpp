#include "command.h"

namespace murel::cli {

void add_plot(CLI::App& app) {
    CLI::App* command = app.add_subcommand("plot", "Not built yet");
    command->callback([] { throw std::runtime_error("plot is not built yet"); });
}

}  // namespace murel::cli
