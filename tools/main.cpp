// imgnorm: trains gray-level normalization tools and runs them on image
// files.
#include <csignal>
#include <string>
#include <vector>

#include "cli_common.h"
#include "commands.h"
#include "console.h"
#include "host/attention.h"
#include "imgnorm/version.h"

namespace {

// Ctrl-C asks running computations to stop at their next check; every
// output in progress is then cleaned up by its atomic writer. A second
// Ctrl-C ends the program at once.
void onInterrupt(int) { kcAttention::requestAbort(); }

void installInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::string failureMessage(const CLI::App* app, const CLI::Error& error) {
  std::string help = "imgnorm --help";
  for (const CLI::App* command : app->get_subcommands())
    help = "imgnorm " + command->get_name() + " --help";
  return "imgnorm: " + std::string(error.what()) + "\nRun '" + help + "' for more information.\n";
}

int runCommand(const cli::Command& command) {
  try {
    return command.action();
  } catch (const cli::Failure& failure) {
    cli::printError(failure.what());
    return failure.code();
  } catch (const std::exception& e) {
    cli::printError(e.what());
    return cli::kExitNotNormalized;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Normalizes the gray levels of 8-bit images to those of a reference image.",
               "imgnorm");
  cli::setSynopsis(app, "imgnorm [--help] [--version] COMMAND [OPTIONS]", false);
  app.set_version_flag("--version", std::string("imgnorm ") + kfVersion());
  app.require_subcommand(1);
  app.footer(
      "Images: PNG, TIFF and PGM/PPM, 8 bits a sample, gray or colour (see --color in\n"
      "each command), alpha carried unchanged.\n"
      "Exit codes: 0 success, 1 a normalization that did not succeed, 2 bad usage,\n"
      "unreadable input or unwritable output, 130 interrupted.\n"
      "Run 'imgnorm COMMAND --help' for the options of a command.");
  app.failure_message(failureMessage);
  const std::vector<cli::Command> commands = {cli::addTrainCommand(app), cli::addRunCommand(app),
                                              cli::addNormalizeCommand(app),
                                              cli::addInfoCommand(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? cli::kExitOk : cli::kExitBadInput;
  }
  installInterruptHandler();
  for (const auto& command : commands)
    if (command.app->parsed()) return runCommand(command);
  return cli::kExitBadInput;
}
