#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "utf8.h"

namespace pellfold::host {
namespace {

std::string& CommandNameStorage() {
  static std::string name;
  return name;
}

void PrintLine(const std::string& text) {
  std::string line = "pellfold: ";
  if (!CommandName().empty()) line += CommandName() + ": ";
  line += text;
  line += '\n';
  Say(stderr, line);
}

thread_local Sink* tSink = nullptr;

const OptionDef* FindLong(const std::vector<OptionDef>& defs, std::string_view name) {
  for (const auto& def : defs) {
    if (name == def.longName) return &def;
  }
  return nullptr;
}

const OptionDef* FindShort(const std::vector<OptionDef>& defs, char name) {
  for (const auto& def : defs) {
    if (def.shortName != 0 && def.shortName == name) return &def;
  }
  return nullptr;
}

}  // namespace

Failure FileFailure(const std::string& name, const std::string& reason) {
  return Failure{name + ": " + reason, -1, name, reason};
}

Failure FileError(const std::string& name, int error) {
  return FileFailure(name, std::strerror(error));
}

Failure WithStatus(Failure failure, int status) {
  failure.status = status;
  return failure;
}

std::string JsonString(const std::string& text) {
  // Names that are not UTF-8 cannot go into JSON as they are; their bytes
  // above 0x7F become U+FFFD.
  std::u16string ignored;
  const bool utf8 = Utf8ToUtf16(text, &ignored);
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else if (byte >= 0x80 && !utf8) {
      out += "\\ufffd";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonHexField(const std::string& key, const std::string& text) {
  std::u16string ignored;
  if (Utf8ToUtf16(text, &ignored)) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string out = ", \"" + key + "_hex\": \"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xFu];
  }
  return out + "\"";
}

void SetCommandName(std::string_view name) {
  CommandNameStorage() = name;
}
const std::string& CommandName() {
  return CommandNameStorage();
}

Sink* SetSink(Sink* sink) {
  return std::exchange(tSink, sink);
}

void Say(std::FILE* stream, const std::string& text) {
  if (tSink != nullptr) {
    tSink->pieces.emplace_back(stream, text);
    return;
  }
  std::fputs(text.c_str(), stream);
  if (stream == stdout) std::fflush(stdout);
}

void Release(Sink* sink) {
  for (const auto& [stream, text] : sink->pieces) {
    std::fputs(text.c_str(), stream);
    if (stream == stdout) std::fflush(stdout);
  }
  sink->pieces.clear();
}

void ReleaseStream(Sink* sink, std::FILE* stream) {
  std::vector<std::pair<std::FILE*, std::string>> kept;
  for (auto& piece : sink->pieces) {
    if (piece.first == stream) {
      std::fputs(piece.second.c_str(), stream);
    } else {
      kept.push_back(std::move(piece));
    }
  }
  sink->pieces = std::move(kept);
}

unsigned JobCount(const ParsedArgs& parsed) {
  const std::string* value = parsed.Single("jobs");
  if (value == nullptr) return std::max(1u, std::thread::hardware_concurrency());
  unsigned jobs = 0;
  for (const char c : *value) {
    if (c < '0' || c > '9' || jobs > 1024) {
      jobs = 0;
      break;
    }
    jobs = jobs * 10 + static_cast<unsigned>(c - '0');
  }
  if (jobs < 1 || jobs > 1024) {
    throw UsageError{"-j needs a number of jobs from 1 to 1024, not '" + *value + "'"};
  }
  return jobs;
}

void Warn(const std::string& message) {
  PrintLine("warning: " + message);
}
void Complain(const std::string& message) {
  PrintLine(message);
}

std::string InputName(const std::string& path) {
  return path == "-" ? "standard input" : Printable(path);
}

std::string OutputName(const std::string& path) {
  return path == "-" ? "standard output" : Printable(path);
}

bool ParsedArgs::Has(std::string_view name) const {
  return Value(name) != nullptr;
}

const std::string* ParsedArgs::Value(std::string_view name) const {
  const std::string* found = nullptr;
  for (const auto& option : options) {
    if (option.name == name) found = &option.value;
  }
  return found;
}

const std::string* ParsedArgs::Single(std::string_view name) const {
  int count = 0;
  for (const auto& option : options) count += option.name == name ? 1 : 0;
  if (count > 1) throw UsageError{"option '--" + std::string(name) + "' given more than once"};
  return Value(name);
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs) {
  ParsedArgs parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      parsed.operands.insert(parsed.operands.end(), args.begin() + static_cast<long>(i) + 1,
                             args.end());
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      parsed.operands.push_back(arg);
      continue;
    }
    if (arg[1] == '-') {
      const std::size_t equals = arg.find('=');
      const std::string name = arg.substr(2, equals == std::string::npos ? equals : equals - 2);
      const OptionDef* def = FindLong(defs, name);
      if (def == nullptr) throw UsageError{"unrecognized option '--" + name + "'"};
      if (!def->takesValue) {
        if (equals != std::string::npos) {
          throw UsageError{"option '--" + name + "' does not take a value"};
        }
        parsed.options.push_back({def->longName, ""});
      } else if (equals != std::string::npos) {
        parsed.options.push_back({def->longName, arg.substr(equals + 1)});
      } else if (i + 1 < args.size()) {
        parsed.options.push_back({def->longName, args[++i]});
      } else {
        throw UsageError{"option '--" + name + "' needs a value"};
      }
      continue;
    }
    // One or more bundled short options; a value-taking one ends the bundle
    // and takes the rest of the word or the next word.
    for (std::size_t k = 1; k < arg.size(); ++k) {
      const OptionDef* def = FindShort(defs, arg[k]);
      if (def == nullptr) throw UsageError{std::string("invalid option -- '") + arg[k] + "'"};
      if (!def->takesValue) {
        parsed.options.push_back({def->longName, ""});
        continue;
      }
      if (k + 1 < arg.size()) {
        parsed.options.push_back({def->longName, arg.substr(k + 1)});
      } else if (i + 1 < args.size()) {
        parsed.options.push_back({def->longName, args[++i]});
      } else {
        throw UsageError{std::string("option '-") + arg[k] + "' needs a value"};
      }
      break;
    }
  }
  return parsed;
}

void PrintHelp(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    throw Failure{std::string("standard output: ") + std::strerror(errno)};
  }
}

}  // namespace pellfold::host
