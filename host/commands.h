// The subcommands of the pellfold program. Each parses its own arguments,
// prints its own --help, and reports errors by throwing UsageError or
// Failure (cli.h); main.cpp dispatches and turns those into exit codes.
#pragma once

#include <string>
#include <vector>

namespace pellfold::host {

struct CommandInfo {
  const char* name;
  const char* summary;  // one line for the program's --help
  const char* help;     // the command's --help text
  int (*run)(const std::vector<std::string>& args);
};

extern const CommandInfo kEncryptCommand;
extern const CommandInfo kDecryptCommand;
extern const CommandInfo kVerifyCommand;
extern const CommandInfo kRekeyCommand;
extern const CommandInfo kInspectCommand;
extern const CommandInfo kUpgradeCommand;
extern const CommandInfo kHashCommand;

}  // namespace pellfold::host
