// Command-line plumbing shared by the subcommands: exit codes, the two kinds
// of error a command can raise, warnings, and a small option parser.
//
// Every message goes to standard error as one line that starts with
// "pellfold: COMMAND: ", so that a user (or a script) can tell which
// command said it; a failure names the file and the reason after that.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellfold::host {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // the work failed: one line on stderr says why
constexpr int kExitUsage = 2;    // the command line was wrong

// Raised for a wrong command line. The dispatcher prints the message and a
// hint to run the command's --help, and exits with kExitUsage.
struct UsageError {
  std::string message;
};

// Raised when the work fails. The dispatcher prints the message after the
// command's prefix and exits with kExitFailure. Destructors run on the way
// out, which is how temporary files are removed.
struct Failure {
  std::string message;
  int status = -1;  // the acbc_status that says the same, for --json; -1 when none
  // For a failure of one file (FileFailure): the file's name and what went
  // wrong, which message joins.
  std::string file = {};
  std::string reason = {};
};
// Statuses of the program's own, beside the acbc_status values, for --json:
// the output is complete and in place but the input could not be removed;
// the password could not be obtained from its source.
constexpr int kStatusNotRemoved = 1000;
constexpr int kStatusPassword = 1001;

// "FILE: reason", the usual shape of a failure message.
Failure FileFailure(const std::string& name, const std::string& reason);
// "FILE: <strerror(error)>".
Failure FileError(const std::string& name, int error);
// The failure with the acbc_status that says the same (for --json).
Failure WithStatus(Failure failure, int status);

// text as a JSON string, quotes included. Bytes that are not UTF-8 become
// U+FFFD, control characters are escaped.
std::string JsonString(const std::string& text);
// For text that is not UTF-8, which JsonString() cannot carry exactly:
// ", \"KEY_hex\": \"...\"" with its bytes in lower-case hex; else empty.
std::string JsonHexField(const std::string& key, const std::string& text);

// The command whose messages are being printed ("encrypt", ...); set once by
// the dispatcher.
void SetCommandName(std::string_view name);
const std::string& CommandName();

// What a job run on a worker thread says, kept until its turn comes: each
// piece of text with the stream it is for, in the order it was said.
struct Sink {
  std::vector<std::pair<std::FILE*, std::string>> pieces;
};
// Sends what this thread says (Warn, Complain, PrintOut) into `sink`
// instead of to its streams; nullptr sends it to the streams again.
// Returns the sink set before.
Sink* SetSink(Sink* sink);
// `text` for `stream`: into this thread's sink when one is set, else
// written (and standard output flushed, so that a run that is stopped
// still tells what it did).
void Say(std::FILE* stream, const std::string& text);
// Writes out what a sink holds, in its order.
void Release(Sink* sink);
// Writes out what a sink holds for `stream` alone, and keeps the rest.
void ReleaseStream(Sink* sink, std::FILE* stream);

// "pellfold: COMMAND: warning: MESSAGE" on stderr.
void Warn(const std::string& message);
// "pellfold: COMMAND: MESSAGE" on stderr (an error that does not stop the
// command, such as one unreadable file among several).
void Complain(const std::string& message);

// How a path is named in messages: "-" is "standard input" or "standard
// output"; anything else is the path as the user typed it, with control
// characters and backslashes escaped (see Printable()) so that a name
// cannot break a line or reach the terminal as a control sequence.
std::string InputName(const std::string& path);
std::string OutputName(const std::string& path);

// One option a command accepts. A value-taking option is given as
// "--name VALUE", "--name=VALUE" or "-x VALUE"; flags as "--name" or "-x",
// and short flags may be bundled ("-fq").
struct OptionDef {
  const char* longName;
  char shortName;  // 0 when the option has no short form
  bool takesValue;
};

struct ParsedOption {
  std::string name;   // the long name
  std::string value;  // empty for a flag
};

struct ParsedArgs {
  std::vector<ParsedOption> options;  // in command-line order
  std::vector<std::string> operands;  // "-" is an operand; "--" ends the options

  bool Has(std::string_view name) const;
  // The last value given for the option, or nullptr when it was not given.
  const std::string* Value(std::string_view name) const;
  // The value of an option that may be given at most once; throws
  // UsageError when it was given more than once.
  const std::string* Single(std::string_view name) const;
};

// Parses args (the words after the command name). Options and operands may
// be mixed. Throws UsageError for an unknown option or a missing value.
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);

// -j N (--jobs N): a whole number from 1 to 1024; by default one job per
// processor.
unsigned JobCount(const ParsedArgs& parsed);

// Prints text to standard output (a command's --help) and fails if that
// output cannot be written.
void PrintHelp(std::string_view text);

}  // namespace pellfold::host
