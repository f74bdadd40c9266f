// pellfold: encrypt, decrypt, rekey, upgrade and inspect ACBC and age files, and hash files,
// from the command line. This file dispatches to the subcommands and turns their
// errors into one line on stderr and a conventional exit status.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace pellfold::host {
namespace {

const CommandInfo* const kCommands[] = {&kEncryptCommand, &kDecryptCommand, &kVerifyCommand,
                                        &kRekeyCommand,   &kUpgradeCommand, &kInspectCommand,
                                        &kHashCommand};

std::string ProgramHelp() {
  std::string text =
      "Usage: pellfold COMMAND [OPTIONS] [ARGUMENTS]\n"
      "       pellfold --help | --version\n"
      "\n"
      "Encrypt and decrypt files in the age format (authenticated, read by other\n"
      "tools) and in the ACBC format (AES-256 under a password, with no integrity\n"
      "check), turn ACBC files into age files, and compute digests.\n"
      "\n"
      "Commands:\n";
  for (const CommandInfo* command : kCommands) {
    std::string name = command->name;
    name.resize(10, ' ');
    text += "  " + name + command->summary + "\n";
  }
  text +=
      "  help      show the help of a command\n"
      "\n"
      "Run 'pellfold COMMAND --help' for a command's options. Exit status: 0 on\n"
      "success, 1 on failure, 2 on a usage error. See pellfold(1).\n";
  return text;
}

const CommandInfo* Find(const std::string& name) {
  for (const CommandInfo* command : kCommands) {
    if (name == command->name) return command;
  }
  return nullptr;
}

int Dispatch(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fputs(ProgramHelp().c_str(), stderr);
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h") {
    PrintHelp(ProgramHelp());
    return kExitSuccess;
  }
  if (first == "--version" || first == "-V") {
    PrintHelp("pellfold " PELLFOLD_VERSION "\n");
    return kExitSuccess;
  }
  if (first == "help") {
    if (args.size() == 1) {
      PrintHelp(ProgramHelp());
      return kExitSuccess;
    }
    if (args[1] == "help") {
      PrintHelp(ProgramHelp());
      return kExitSuccess;
    }
    const CommandInfo* command = Find(args[1]);
    if (command == nullptr) throw UsageError{"unknown command '" + args[1] + "'"};
    PrintHelp(command->help);
    return kExitSuccess;
  }
  const CommandInfo* command = Find(first);
  if (command == nullptr) {
    throw UsageError{first.rfind('-', 0) == 0 ? "unrecognized option '" + first + "'"
                                              : "unknown command '" + first + "'"};
  }
  SetCommandName(command->name);
  return command->run(std::vector<std::string>(args.begin() + 1, args.end()));
}

int Main(const std::vector<std::string>& args) {
  int status = kExitSuccess;
  try {
    status = Dispatch(args);
  } catch (const UsageError& error) {
    Complain(error.message);
    const std::string hint = "Try 'pellfold " + (CommandName().empty() ? "" : CommandName() + " ") +
                             "--help' for more information.\n";
    std::fputs(hint.c_str(), stderr);
    return kExitUsage;
  } catch (const Failure& failure) {
    Complain(failure.message);
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    Complain("out of memory");
    return kExitFailure;
  }
  // Output that never reached standard output is a failure too (a full
  // disk, a closed pipe).
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Complain(std::string("standard output: write error: ") +
             std::strerror(errno != 0 ? errno : EIO));
    return kExitFailure;
  }
  return status;
}

// A descriptor among 0, 1 and 2 that is closed would be handed to the next
// file opened, and a warning meant for stderr would land in an output file:
// each closed one gets /dev/null.
void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) _exit(kExitFailure);  // nothing sane can be done
  }
}

}  // namespace
}  // namespace pellfold::host

int main(int argc, char** argv) {
  pellfold::host::OpenStandardDescriptors();
  return pellfold::host::Main(std::vector<std::string>(argv + 1, argv + argc));
}
