#pragma once

// The program's commands. Each adds its subcommand with its options to the
// application and returns the action to call when it was chosen.

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

namespace cli {

struct Command {
  CLI::App* app;
  std::function<int()> action;  // returns the exit code or throws Failure
};

Command addTrainCommand(CLI::App& app);
Command addRunCommand(CLI::App& app);
Command addNormalizeCommand(CLI::App& app);
Command addInfoCommand(CLI::App& app);

// Replaces the generic usage line of a command's help by its synopsis and
// ends the help with the exit codes, after the list of methods if asked.
void setSynopsis(CLI::App& command, const std::string& synopsis, bool listMethods);

}  // namespace cli
