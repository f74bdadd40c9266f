// pellfold inspect: tells a damaged ACBC file from a sound one without the
// password, from its header and its size alone, and tells what an age
// file's header says.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "acbc.h"
#include "cli.h"
#include "commands.h"
#include "files.h"
#include "filework.h"

namespace pellfold::host {
namespace {

std::string Reason(int error) {
  return std::string("read error: ") + std::strerror(error != 0 ? error : EIO);
}

const std::vector<OptionDef> kOptions = {
    {"json", 0, false},
    {"help", 'h', false},
};

const char kHelp[] =
    "Usage: pellfold inspect [--json] FILE...\n"
    "\n"
    "Check each FILE ('-' for standard input) against the ACBC layout without\n"
    "decrypting it: whether it is ACBC, the plaintext length its header records,\n"
    "the body records that length needs and those present, and a verdict:\n"
    "consistent, truncated, trailing bytes, negative length, unreadable length,\n"
    "or not ACBC. The format carries no checksum, so a wrong password or changed\n"
    "bytes inside the records cannot be seen; a cut or extended file can.\n"
    "\n"
    "An age file is shown with its armor, its recipient stanzas and the scrypt\n"
    "work factor of a passphrase; its data is authenticated, which decrypt and\n"
    "verify check.\n"
    "\n"
    "Options:\n"
    "      --json  print a JSON array with one object per file\n"
    "  -h, --help  show this help and exit\n"
    "\n"
    "Exit status: 0 when every FILE is consistent, 1 otherwise, 2 on a usage error.\n";

// The layout of the input. A pipe is copied aside only as far as the
// verdict needs (its header, then up to one byte past the records the
// length needs, or for a negative length as far as the largest body an
// ACBC file can have), so that a source that never ends, like /dev/zero, is
// not read for ever.
acbc_layout InputLayout(InputFile& input) {
  acbc_layout layout{};
  const auto inspect = [&] {
    acbc_result r{};
    if (acbc_inspect_layout_fd(input.fd(), &layout, &r) != ACBC_OK) {
      throw FileFailure(input.name(), Reason(r.error_number != 0 ? r.error_number : EIO));
    }
  };
  if (input.readable() && !input.spooled()) {
    inspect();
    return layout;
  }
  if (!input.spooled()) input.Spool(ACBC_HEADER_SIZE, ACBC_HEADER_SIZE, kUnbounded);
  inspect();
  std::int64_t needed = 0;
  if (layout.verdict == ACBC_VERDICT_NEGATIVE_LENGTH) {
    needed = acbc_encrypted_size(ACBC_MAX_LENGTH) + 1;
  } else if (layout.info.records_expected > 0) {
    needed = acbc_encrypted_size(layout.info.length) + 1;
  }
  if (needed > 0 && !input.ended()) {
    input.Spool(ACBC_HEADER_SIZE, needed, kUnbounded);
    inspect();
  }
  return layout;
}

// The age header of `input` when it is an age file (a pipe copied aside
// whole first); false for any other file.
bool AgeHeader(InputFile& input, acbc_age_info* info) {
  if (!input.readable()) input.Spool(ACBC_HEADER_SIZE, ACBC_HEADER_SIZE, kUnbounded);
  acbc_format format = ACBC_FORMAT_UNKNOWN;
  acbc_result r{};
  if (acbc_detect_fd(input.fd(), &format, &r) != ACBC_OK) {
    throw WithStatus(FileFailure(input.name(), Reason(r.error_number)), r.status);
  }
  if (format != ACBC_FORMAT_AGE) return false;
  if (input.spooled() && !input.ended()) input.Spool(kUnbounded, kUnbounded, kUnbounded);
  if (acbc_age_inspect_fd(input.fd(), info, &r) != ACBC_OK) {
    std::string reason = acbc_status_text(r.status);
    if (r.error_number != 0) reason += std::string(": ") + std::strerror(r.error_number);
    throw WithStatus(FileFailure(input.name(), reason), r.status);
  }
  return true;
}

std::string AgeJsonObject(const std::string& name, const acbc_age_info& info) {
  std::string stanzas = "[";
  std::string types = info.stanza_types;
  for (std::size_t at = 0; at < types.size();) {
    std::size_t end = types.find(' ', at);
    if (end == std::string::npos) end = types.size();
    if (stanzas.size() > 1) stanzas += ", ";
    stanzas += JsonString(types.substr(at, end - at));
    at = end + 1;
  }
  stanzas += "]";
  return "{\"file\": " + JsonString(name) +
         ", \"format\": \"age\", \"authenticated\": true, \"armored\": " +
         (info.armored != 0 ? "true" : "false") + ", \"stanzas\": " + stanzas +
         ", \"work_factor\": " +
         (info.work_factor > 0 ? std::to_string(info.work_factor) : "null") +
         ", \"header_bytes\": " + std::to_string(info.header_size) +
         ", \"file_size\": " + std::to_string(info.file_size) + ", \"verdict\": \"consistent\"}";
}

std::string AgeTextLine(const std::string& name, const acbc_age_info& info) {
  std::string line = name + ": age, authenticated, " + (info.armored != 0 ? "armored" : "binary") +
                     ", " + std::to_string(info.stanza_count) +
                     (info.stanza_count == 1 ? " stanza: " : " stanzas: ") + info.stanza_types;
  if (info.work_factor > 0) line += ", work factor " + std::to_string(info.work_factor);
  return line;
}

std::string JsonNumberOrNull(bool present, std::int64_t value) {
  return present ? std::to_string(value) : "null";
}

std::string JsonObject(const std::string& name, const acbc_layout& layout) {
  const bool acbc = layout.verdict != ACBC_VERDICT_NOT_ACBC;
  const bool hasLength = acbc && layout.verdict != ACBC_VERDICT_UNREADABLE_LENGTH;
  const bool hasRecords = hasLength && layout.verdict != ACBC_VERDICT_NEGATIVE_LENGTH;
  const acbc_info& info = layout.info;
  return "{\"file\": " + JsonString(name) + ", \"format\": " + (acbc ? "\"acbc\"" : "null") +
         ", \"authenticated\": false, \"acbc\": " + (acbc ? "true" : "false") +
         ", \"length\": " + JsonNumberOrNull(hasLength, info.length) +
         ", \"header_bytes\": " + std::to_string(layout.header_bytes) +
         ", \"body_bytes\": " + std::to_string(layout.body_bytes) +
         ", \"records_expected\": " + JsonNumberOrNull(hasRecords, info.records_expected) +
         ", \"records_present\": " + JsonNumberOrNull(acbc, info.records_present) +
         ", \"verdict\": \"" + acbc_verdict_name(layout.verdict) + "\"" +
         ", \"missing_bytes\": " + std::to_string(layout.missing_bytes) + ", \"trailing_bytes\": " +
         std::to_string(layout.verdict == ACBC_VERDICT_TRAILING_BYTES ? info.trailing_bytes : 0) +
         "}";
}

std::string TextLine(const std::string& name, const acbc_layout& layout) {
  const acbc_info& info = layout.info;
  std::string line = name + ": ";
  switch (layout.verdict) {
    case ACBC_VERDICT_NOT_ACBC: return line + "not an ACBC file";
    case ACBC_VERDICT_UNREADABLE_LENGTH: return line + DescribeVerdict(layout);
    case ACBC_VERDICT_NEGATIVE_LENGTH:
      return line + "ACBC (not authenticated), length " + std::to_string(info.length) + ", " +
             std::to_string(info.records_present) + " records present: negative length";
    default: break;
  }
  line += "ACBC (not authenticated), length " + std::to_string(info.length) + ", " +
          std::to_string(info.records_expected) + " records expected, " +
          std::to_string(info.records_present) + " present";
  if (layout.body_bytes % ACBC_RECORD_SIZE != 0) line += " (the last one partial)";
  return line + ": " + DescribeVerdict(layout);
}

int RunInspect(const std::vector<std::string>& argv) {
  const ParsedArgs parsed = ParseArgs(argv, kOptions);
  if (parsed.Has("help")) {
    PrintHelp(kHelp);
    return kExitSuccess;
  }
  if (parsed.operands.empty()) throw UsageError{"missing FILE operand"};
  const bool json = parsed.Has("json");

  bool allConsistent = true;
  if (json) std::fputs("[\n", stdout);
  for (std::size_t i = 0; i < parsed.operands.size(); ++i) {
    const std::string& path = parsed.operands[i];
    std::string line;
    try {
      InputFile input(path);
      acbc_age_info info{};
      if (AgeHeader(input, &info)) {
        line = json ? AgeJsonObject(path, info) : AgeTextLine(input.name(), info);
        if (json) line.insert(0, "  ");
        if (json && i + 1 < parsed.operands.size()) line += ',';
        std::fputs((line + "\n").c_str(), stdout);
        continue;
      }
      const acbc_layout layout = InputLayout(input);
      allConsistent = allConsistent && layout.verdict == ACBC_VERDICT_CONSISTENT;
      line = json ? JsonObject(path, layout) : TextLine(input.name(), layout);
    } catch (const Failure& failure) {
      allConsistent = false;
      Complain(failure.message);
      if (!json) continue;
      // The reason alone; the object names the file already.
      const std::string& reason = failure.reason.empty() ? failure.message : failure.reason;
      line = "{\"file\": ";
      line += JsonString(path);
      line += ", \"verdict\": \"error\", \"error\": ";
      line += JsonString(reason);
      line += '}';
    }
    if (json) {
      line.insert(0, "  ");
      if (i + 1 < parsed.operands.size()) line += ',';
    }
    line += '\n';
    std::fputs(line.c_str(), stdout);
  }
  if (json) std::fputs("]\n", stdout);
  return allConsistent ? kExitSuccess : kExitFailure;
}

}  // namespace

const CommandInfo kInspectCommand = {"inspect", "check ACBC files for damage, show age headers",
                                     kHelp, RunInspect};

}  // namespace pellfold::host
