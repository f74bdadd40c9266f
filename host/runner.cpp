// Planning and running the jobs of a command (see runner.h).
#include "runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "acbc.h"
#include "agekeys.h"
#include "cli.h"
#include "commands.h"
#include "crypthelp.h"
#include "files.h"
#include "filework.h"
#include "password.h"
#include "progress.h"
#include "range.h"
#include "signals.h"
#include "utf8.h"

namespace pellfold::host {
namespace {

// Where a path leads, so that two spellings of one name compare equal: the
// folder's device and inode with the last name while the folder exists,
// else the deepest folder on the way that exists with the rest of the path
// made plain ("." and ".." resolved by name). A symbolic link standing as
// the name counts as the file it leads to, which is what gets written.
struct Spot {
  dev_t device = 0;
  ino_t inode = 0;
  std::string rest;
  auto operator<=>(const Spot&) const = default;
};

Spot SpotOf(const std::string& path) {
  std::string name = path;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* resolved = realpath(path.c_str(), nullptr); resolved != nullptr) {
      name = resolved;
      std::free(resolved);
    }
  }
  if (stat(DirectoryOf(name).c_str(), &st) == 0) return {st.st_dev, st.st_ino, BaseName(name)};
  std::error_code error;
  std::filesystem::path folder = std::filesystem::absolute(name, error).lexically_normal();
  std::string rest;
  while (folder.has_relative_path()) {
    std::string part = folder.filename().string();
    if (!rest.empty()) part.append("/").append(rest);
    rest = std::move(part);
    folder = folder.parent_path();
    if (stat(folder.c_str(), &st) == 0) return {st.st_dev, st.st_ino, rest};
  }
  return {0, 0, folder.string() + rest};
}

}  // namespace

// True for a name whose last part ends in `suffix` with something before it.
bool EndsIn(const std::string& path, const char* suffix, std::size_t size) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.size() > base + size && path.compare(path.size() - size, size, suffix) == 0;
}
bool HasSuffix(const std::string& path) {
  return EndsIn(path, kSuffix, kSuffixSize);
}
bool HasAgeSuffix(const std::string& path) {
  return EndsIn(path, kAgeSuffix, kAgeSuffixSize);
}

std::string DefaultOutput(const std::string& input, Naming naming) {
  if (input == "-") throw UsageError{"OUTPUT is needed when INPUT is standard input"};
  switch (naming) {
    case Naming::kAddAcbc: return input + kSuffix;
    case Naming::kAddAge: return input + kAgeSuffix;
    case Naming::kUpgrade:
      return (HasSuffix(input) ? input.substr(0, input.size() - kSuffixSize) : input) + kAgeSuffix;
    case Naming::kRemove: break;
  }
  if (HasSuffix(input)) return input.substr(0, input.size() - kSuffixSize);
  if (HasAgeSuffix(input)) return input.substr(0, input.size() - kAgeSuffixSize);
  throw UsageError{"'" + input + "' does not end in " + kSuffix + " or " + kAgeSuffix +
                   ": name the OUTPUT to decrypt it into"};
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The files below the FOLDER operands of -r: for decrypt and verify only
// those ending in .acbc or .age, for upgrade those ending in .acbc; encrypt
// skips those with a note.
std::vector<FoundFile> FilesBelow(const std::vector<std::string>& folders, Naming naming) {
  const bool encrypt = naming == Naming::kAddAcbc || naming == Naming::kAddAge;
  std::vector<FoundFile> files;
  for (const auto& folder : folders) {
    if (folder == "-") throw UsageError{"--recursive works on folders, not on standard input"};
    for (FoundFile& file : WalkFolder(folder)) {
      const bool acbc = HasSuffix(file.path);
      const bool encrypted = acbc || HasAgeSuffix(file.path);
      const bool wanted = encrypt ? !encrypted : naming == Naming::kUpgrade ? acbc : encrypted;
      if (file.failure.empty() && !wanted) {
        if (encrypt) {
          Complain("note: " + file.path + ": already ends in " + (acbc ? kSuffix : kAgeSuffix) +
                   "; skipped");
        }
        continue;
      }
      files.push_back(std::move(file));
    }
  }
  return files;
}

// --output-dir: a folder that exists, checked before any work.
const std::string* OutputFolder(const ParsedArgs& parsed) {
  const std::string* folder = parsed.Single("output-dir");
  if (folder == nullptr) return nullptr;
  if (!parsed.Has("multifile") && !parsed.Has("recursive") && CommandName() != "upgrade") {
    throw UsageError{"'--output-dir' needs --multifile or --recursive"};
  }
  struct stat st {};
  if (stat(folder->c_str(), &st) != 0) throw FileError(*folder, errno);
  if (!S_ISDIR(st.st_mode)) throw FileError(*folder, ENOTDIR);
  return folder;
}

std::vector<Job> Jobs(const ParsedArgs& parsed, Naming encrypt) {
  const std::vector<std::string>& operands = parsed.operands;
  if (operands.empty()) throw UsageError{"missing INPUT operand"};
  const std::string* folder = OutputFolder(parsed);
  std::vector<Job> jobs;
  if (parsed.Has("recursive")) {
    // The folders mirrored under -o, by their path below it.
    std::map<std::string, std::shared_ptr<Folder>> mirrors;
    if (folder != nullptr) mirrors[""] = Folder::Root(*folder, ACBC_E_OUTPUT_OPEN);
    for (const FoundFile& file : FilesBelow(operands, encrypt)) {
      if (!file.failure.empty()) {
        jobs.push_back({file.path, "", file.failure, false});
      } else if (folder != nullptr) {
        const std::string relative = DefaultOutput(file.relative, encrypt);
        jobs.push_back({file.path, Join(*folder, relative), "", true});
        std::shared_ptr<Folder> mirror = mirrors[""];
        for (std::size_t from = 0, slash = relative.find('/'); slash != std::string::npos;
             from = slash + 1, slash = relative.find('/', from)) {
          std::shared_ptr<Folder>& known = mirrors[relative.substr(0, slash)];
          if (!known) known = Folder::Below(mirror, relative.substr(from, slash - from), true);
          mirror = known;
        }
        jobs.back().outputPlace = {mirror, BaseName(relative)};
      } else {
        jobs.push_back({file.path, DefaultOutput(file.path, encrypt), "", false});
        jobs.back().outputPlace = {file.place.folder, BaseName(jobs.back().output)};
      }
      jobs.back().inputPlace = file.place;
    }
    return jobs;
  }
  if (parsed.Has("multifile") || encrypt == Naming::kUpgrade) {
    for (const auto& input : operands) {
      const std::string output = DefaultOutput(input, encrypt);
      jobs.push_back(
          {input, folder != nullptr ? Join(*folder, BaseName(output)) : output, "", false});
    }
    return jobs;
  }
  if (operands.size() > 2) throw UsageError{"extra operand '" + operands[2] + "'"};
  jobs.push_back({operands[0],
                  operands.size() == 2 ? operands[1] : DefaultOutput(operands[0], encrypt), "",
                  false});
  return jobs;
}

// Every output of a run is planned before any work, so that no job
// replaces what another wrote, or reads it: two jobs with one output, or an
// input that is another job's output, is a usage error and nothing runs.
void CheckPlan(const std::vector<Job>& jobs) {
  // One job has no other to collide with; its output and input are checked
  // against each other by the library.
  if (jobs.size() < 2) return;
  std::map<Spot, std::size_t> outputs;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    if (!job.failure.empty() || job.output == "-") continue;
    const auto [at, fresh] = outputs.emplace(SpotOf(job.output), i);
    if (!fresh) {
      throw UsageError{"'" + jobs[at->second].input + "' and '" + job.input +
                       "' would both be written to '" + job.output + "'"};
    }
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    if (!job.failure.empty() || job.input == "-") continue;
    const auto at = outputs.find(SpotOf(job.input));
    if (at != outputs.end() && at->second != i) {
      throw UsageError{"'" + job.input + "' is also the output of '" + jobs[at->second].input +
                       "' in this run"};
    }
  }
}

// The note for a check with few padding bytes.
void NoteWeakCheck(const std::string& name, int padding) {
  if (padding <= 0 || padding >= kConfirmingPadding) return;
  Complain("note: " + name + ": only " + std::to_string(padding) +
           (padding == 1 ? " padding byte" : " padding bytes") +
           ": the password could not be fully confirmed (a wrong one passes "
           "with odds 2^-" +
           std::to_string(8 * padding) + ")");
}

// Whether a file of the run other than `self` confirms the password by 32
// bits: one that did already, or else the first other ACBC file whose
// padding is long enough and whose last record passes the check (each
// costs one record's read; the run's files are looked through once).
bool ConfirmedByAnother(const Settings& settings, const std::string& self,
                        CallPassword* callPassword) {
  if (callPassword->confirmed()) return true;
  const std::lock_guard lock(callPassword->lookLock);
  if (settings.jobs == nullptr || callPassword->lookedAhead) return callPassword->confirmed();
  callPassword->lookedAhead = true;
  const Password& password = callPassword->Get();
  for (const Job& job : *settings.jobs) {
    if (job.input == self || job.input == "-" || !job.failure.empty()) continue;
    // Not blocking on a FIFO: only regular files are read.
    const int fd = open(job.input.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    acbc_layout layout{};
    acbc_result r{};
    const bool strong = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                        acbc_inspect_layout_fd(fd, &layout, &r) == ACBC_OK &&
                        layout.padding_bytes >= kConfirmingPadding &&
                        acbc_verify_fd(fd, password.bytes,
                                       static_cast<std::size_t>(password.length), &r) == ACBC_OK;
    close(fd);
    if (strong) callPassword->Confirm(r.padding_bytes);
    if (callPassword->confirmed()) return true;
  }
  return false;
}

// The refusal of an irreversible step (`step`: "not removed", ...) on a
// password that `padding` bytes confirm.
Failure WeakRefusal(const std::string& input, int padding, const std::string& step) {
  return WithStatus(
      FileFailure(input, "the password is confirmed by only " + std::to_string(padding) +
                             (padding == 1 ? " padding byte; " : " padding bytes; ") + step +
                             " (--accept-weak-check takes the risk)"),
      kWeakRefusal);
}

// Throws the library's failure unless `password` passes the check of the
// ACBC file `file`, which writes nothing.
void CheckPassword(const EncryptedInput& file, const Password& password) {
  acbc_result r{};
  if (acbc_verify_fd(file.input.fd(), password.bytes, static_cast<std::size_t>(password.length),
                     &r) != ACBC_OK) {
    throw StatusFailure(r, file.input.name(), file.input.name());
  }
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Replacing an existing output and removing the input cannot be undone, so
// they are taken only on a password confirmed by 32 bits: by the file's own
// padding, by another file of the run, or with --accept-weak-check. Else a
// replacement is refused (a wrong password that fails the check is told as
// such), and true is returned when the input is to be kept: the output,
// which did not exist, is still written. Called with the password known.
bool KeepInput(const EncryptedInput& file, const std::string& inputPath, const OutputTarget& output,
               const Settings& settings, CallPassword* callPassword, Outcome* outcome) {
  const bool replaces = settings.force && !output.inPlace() && IsRegularFile(output.path());
  const int padding = file.layout.padding_bytes;
  // --salvage of a damaged file checks no password at all, by request.
  if ((!replaces && !settings.removeInput) || padding >= kConfirmingPadding ||
      (settings.salvage && Damaged(file.layout))) {
    return false;
  }
  if (settings.acceptWeakCheck) {
    outcome->weakCheck = true;
    return false;
  }
  if (ConfirmedByAnother(settings, inputPath, callPassword)) return false;
  if (!replaces) return true;
  CheckPassword(file, callPassword->Get());
  throw WeakRefusal(file.input.name(), padding, output.name() + " not replaced");
}

// The names of the warnings set in `warnings`, as a JSON array.
std::string WarningNames(unsigned warnings) {
  static const struct {
    unsigned bit;
    const char* name;
  } kNames[] = {
      {ACBC_WARN_TRAILING_DATA, "trailing_data"}, {ACBC_WARN_WEAK_CHECK, "weak_check"},
      {ACBC_WARN_SALVAGED, "salvaged"},           {ACBC_WARN_SHORT_PASSWORD, "short_password"},
      {ACBC_WARN_LONG_PASSWORD, "long_password"}, {ACBC_WARN_TEMPORARY_LEFT, "temporary_left"}};
  std::string out = "[";
  for (const auto& n : kNames) {
    if ((warnings & n.bit) == 0) continue;
    if (out.size() > 1) out += ", ";
    out += std::string("\"") + n.name + "\"";
  }
  return out + "]";
}

// The word --json gives for a status.
const char* StatusName(int status) {
  if (status == kStatusNotRemoved) return "not_removed";
  if (status == kStatusPassword) return "password";
  return acbc_status_name(static_cast<acbc_status>(status));
}

// Standard output's lines reach it as each is complete: a run that is
// stopped, or fails later, still tells the files done so far.
void PrintOut(const std::string& line) {
  Say(stdout, line);
}

// One line of --json output. A name that is not UTF-8 gets its exact bytes
// in hex too.
void PrintJson(const std::string& path, const std::string* output, const Outcome& outcome) {
  std::string line = "{\"path\": " + JsonString(path) + JsonHexField("path", path);
  if (output != nullptr) {
    line += ", \"output\": " + JsonString(*output) + JsonHexField("output", *output);
  }
  line += ", \"status\": \"" +
          std::string(outcome.weakRefused ? "weak_check" : StatusName(outcome.status)) + "\"";
  line += ", \"message\": " +
          JsonString(outcome.message.empty()
                         ? std::string(acbc_status_text(static_cast<acbc_status>(outcome.status)))
                         : outcome.message);
  line += ", \"warnings\": " + WarningNames(outcome.warnings);
  if (outcome.weakCheck) line += ", \"weak_check\": true";
  line += "}\n";
  PrintOut(line);
}

// A failure as an outcome: its status, and, for a failure of the file
// `name`, its reason alone (the object names the file already).
Outcome FailedOutcome(const Failure& failure, const std::string& name) {
  Outcome outcome;
  outcome.status = failure.status >= 0 ? failure.status : ACBC_E_READ;
  outcome.weakCheck = outcome.weakRefused = failure.status == kWeakRefusal;
  outcome.message = failure.file == name ? failure.reason : failure.message;
  return outcome;
}

namespace {

// The files a run wrote, which no later job of it replaces.
struct Written {
  std::mutex lock;
  std::set<std::pair<dev_t, ino_t>> files;

  bool Contains(const NameState& state) {
    const std::lock_guard hold(lock);
    return files.contains({state.device, state.inode});
  }
  // Adds the file a job put under `output`.
  void Note(const std::string& output, const std::optional<NameState>& before) {
    if (!before || !Replaced(*before, output)) return;
    const NameState now = StateOf(output);
    const std::lock_guard hold(lock);
    files.insert({now.device, now.inode});
  }
};

// A job of the run: what it said, kept for its turn under a batch, how it
// went, and the folders it is in, held open until it is done.
struct Entry {
  Sink sink;
  Outcome outcome;
  std::optional<NameState> before;  // once the job is about to write
  std::vector<std::unique_ptr<Folder::Pin>> pins;
  bool failed = false;
  bool done = false;  // reported
};

// Takes a job's failure into its outcome and says so. False when it ends
// the run instead, for the caller to throw on: no further file can be done,
// or a run of one file failed.
bool TakeFailure(const Job& job, bool many, const Settings& settings, CallPassword* callPassword,
                 const Failure& failure, Entry* entry) {
  if (callPassword->broken()) {
    // No further file can be done; this one still gets its line.
    if (settings.json) {
      PrintJson(job.input, &job.output,
                FailedOutcome(WithStatus(failure, kStatusPassword), InputName(job.input)));
    }
    return false;
  }
  if (!many && !settings.json) return false;
  Complain(failure.message);
  entry->failed = true;
  entry->outcome = FailedOutcome(failure, InputName(job.input));
  if (failure.file != InputName(job.input)) {
    entry->outcome = FailedOutcome(failure, OutputName(job.output));
  }
  return true;
}

// Does a step of a job (`step`: the job's checks and `one`, or under a
// batch the run of a prepared job) and reports the job, unless it waits
// for the password or the batch commit (Outcome::run, Outcome::pending).
// True when it failed.
bool JobStep(const Job& job, bool many, const Settings& settings, CallPassword* callPassword,
             Written* written, Entry* entry, const std::function<void()>& step) {
  try {
    step();
    if (entry->outcome.run || entry->outcome.pending) return false;
    written->Note(job.output, entry->before);
  } catch (const Failure& failure) {
    written->Note(job.output, entry->before);
    if (!TakeFailure(job, many, settings, callPassword, failure, entry)) throw;
  }
  entry->pins.clear();
  entry->done = true;
  if (settings.json) PrintJson(job.input, &job.output, entry->outcome);
  return entry->failed;
}

// Does one job and reports it (see JobStep).
bool RunJob(const Job& job, bool many, const Settings& settings, CallPassword* callPassword,
            OneJob one, Written* written, Entry* entry) {
  return JobStep(job, many, settings, callPassword, written, entry, [&] {
    if (!job.failure.empty()) throw WithStatus(Failure{job.failure}, ACBC_E_INPUT_OPEN);
    // Held open for the job (and the folders of -o made on the way).
    entry->pins.push_back(std::make_unique<Folder::Pin>(job.inputPlace.folder));
    entry->pins.push_back(std::make_unique<Folder::Pin>(job.outputPlace.folder));
    // A single file has no other job of the run to have written its output.
    if (job.output != "-" && many) {
      entry->before = StateOf(job.output);
      if (entry->before->exists && written->Contains(*entry->before)) {
        throw WithStatus(
            FileFailure(OutputName(job.output), "written by this run already; not replaced"),
            ACBC_E_OUTPUT_EXISTS);
      }
    }
    one(job, settings, callPassword, &entry->outcome);
  });
}

// The jobs of a window that ran are committed at once: one sync of their
// file system before any output is linked. Then, in the jobs' order, what
// each said is written out and the jobs committed are finished and
// reported. Returns how many of those failed.
std::size_t CommitWindow(const std::vector<Job>& jobs, std::size_t first,
                         std::vector<Entry>* entries, const Settings& settings,
                         CallPassword* callPassword, Written* written) {
  std::vector<acbc_job*> ran;
  for (const Entry& entry : *entries) {
    if (entry.outcome.pending) ran.push_back(entry.outcome.pending->job->get());
  }
  std::vector<acbc_result> results(ran.size());
  if (!ran.empty()) {
    const DeferSignals defer;
    acbc_job_commit_batch(ran.data(), ran.size(), results.data());
  }
  std::size_t failed = 0;
  std::size_t next = 0;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    Entry& entry = (*entries)[i];
    Release(&entry.sink);
    const std::shared_ptr<Pending> pending = std::move(entry.outcome.pending);
    if (!pending) continue;
    const Job& job = jobs[first + i];
    try {
      pending->finish(results[next++], &entry.outcome);
      written->Note(job.output, entry.before);
    } catch (const Failure& failure) {
      written->Note(job.output, entry.before);
      if (!TakeFailure(job, true, settings, callPassword, failure, &entry)) throw;
    }
    entry.pins.clear();
    if (settings.json) PrintJson(job.input, &job.output, entry.outcome);
    if (entry.failed) ++failed;
  }
  return failed;
}

// True for a job that may wait on a pipe or device: one whose input or
// output is not a regular file. It goes in a window of its own, so that
// the files before it are done and told before it waits.
bool MayWait(const Job& job) {
  if (!job.failure.empty()) return false;
  if (job.input == "-" || job.output == "-") return true;
  struct stat st {};
  // A walk's files are regular (anything else it refuses).
  if (!job.inputPlace.folder && stat(job.input.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    return true;
  }
  return !job.outputPlace.folder && stat(job.output.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Jobs a window may hold uncommitted, each with its input, temporary file
// and folder open, within the limit of open descriptors.
std::size_t WindowSize() {
  constexpr std::size_t kMost = 128;
  constexpr std::size_t kDescriptorsEach = 6;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMost;
  const auto room = static_cast<std::size_t>(limit.rlim_cur);
  return std::clamp<std::size_t>(room > 64 ? (room - 64) / kDescriptorsEach : 1, 1, kMost);
}

}  // namespace

std::size_t RunTasks(std::size_t count, unsigned threads, const std::function<bool()>& alone,
                     const std::function<bool(std::size_t)>& task) {
  std::size_t failed = 0;
  std::size_t first = 0;
  for (; first < count && (threads <= 1 || alone()); ++first) {
    if (task(first)) ++failed;
  }
  if (first == count) return failed;
  ProgressOff();
  struct Slot {
    Sink sink;
    bool done = false;
    bool failed = false;
    std::exception_ptr error;
  };
  std::vector<Slot> slots(count - first);
  std::mutex lock;
  std::condition_variable changed;
  std::size_t taken = 0;
  std::size_t running = 0;  // workers not yet ended
  bool stop = false;
  const auto work = [&] {
    SetWorkerThread(true);
    std::unique_lock hold(lock);
    while (!stop && taken < slots.size() && CaughtSignal() == 0) {
      Slot& slot = slots[taken++];
      hold.unlock();
      SetSink(&slot.sink);
      try {
        slot.failed = task(first + static_cast<std::size_t>(&slot - slots.data()));
      } catch (...) {
        slot.error = std::current_exception();
      }
      SetSink(nullptr);
      hold.lock();
      slot.done = true;
      if (slot.error) stop = true;
      changed.notify_all();
    }
    --running;
    changed.notify_all();
  };
  std::vector<std::thread> workers;
  const std::size_t wanted = std::min<std::size_t>(threads, slots.size());
  for (std::size_t i = 0; i < wanted; ++i) {
    try {
      const std::lock_guard hold(lock);
      workers.emplace_back(work);
      ++running;
    } catch (const std::system_error&) {
      break;  // no more threads to be had: those started do the work
    }
  }
  if (workers.empty()) {
    for (std::size_t i = first; i < count; ++i) {
      if (task(i)) ++failed;
    }
    return failed;
  }
  // Each slot's sink is written out once those before it are.
  std::size_t next = 0;
  std::exception_ptr error;
  {
    std::unique_lock hold(lock);
    while (next < slots.size()) {
      changed.wait(hold, [&] { return slots[next].done || running == 0; });
      if (!slots[next].done) break;
      Release(&slots[next].sink);
      if (slots[next].failed) ++failed;
      if (slots[next].error) {
        error = slots[next].error;
        break;
      }
      ++next;
    }
  }
  for (std::thread& worker : workers) worker.join();
  int signal = CaughtSignal();
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const SignalStop& stopped) {
      signal = stopped.signal;
    } catch (...) {
      if (signal == 0) throw;
    }
  }
  if (signal != 0) {
    // What the jobs done said, in their order, before the process ends.
    for (std::size_t i = next + (error ? 1 : 0); i < slots.size(); ++i) {
      if (slots[i].done) Release(&slots[i].sink);
    }
    ExitForSignal(signal);
  }
  return failed;
}

namespace {

// What the jobs of a run share while they are done: the files written, and
// whether a job has started, or been done without the password.
struct RunState {
  Written written;
  std::atomic<std::size_t> started = 0;
  std::atomic<bool> doneOne = false;
};

// Runs the jobs of a batch in windows. Each is prepared first (its checks,
// no password), what that said on standard error is out before the
// password is asked for, and then the prepared jobs run; each job's other
// lines wait in its entry, and the jobs that ran are committed together at
// the window's end. Once a job is prepared, a terminating signal is only
// noted (but for the password prompt), and stops the run after the jobs
// that ran are committed and told and the others discarded (a signal on
// this thread, too, comes back here as SignalStop). Returns how many
// failed.
std::size_t RunInWindows(const std::vector<Job>& jobs, const Settings& settings,
                         CallPassword* callPassword, OneJob one, const std::function<bool()>& alone,
                         RunState* run) {
  SetWorkerThread(true);
  std::size_t failed = 0;
  const std::size_t window = WindowSize();
  for (std::size_t first = 0, count = 0; first < jobs.size(); first += count) {
    count = 1;
    if (!MayWait(jobs[first])) {
      while (count < window && first + count < jobs.size() && !MayWait(jobs[first + count])) {
        ++count;
      }
    }
    std::vector<Entry> entries(count);
    std::mutex deferLock;
    std::optional<DeferSignals> defer;
    // Runs `step` on the entry i with its lines kept in the entry.
    const auto inEntry = [&](std::size_t i, const std::function<bool(Entry*)>& step) {
      if (const int caught = CaughtSignal(); caught != 0) throw SignalStop{caught};
      Entry& entry = entries[i];
      Sink* const outer = SetSink(&entry.sink);
      bool jobFailed = false;
      try {
        jobFailed = step(&entry);
      } catch (...) {
        SetSink(outer);
        throw;
      }
      SetSink(outer);
      // A job prepared holds its temporary file: from then on a signal
      // only stops the window, which discards what it holds.
      if (entry.outcome.run || entry.outcome.pending) {
        const std::lock_guard hold(deferLock);
        if (!defer) defer.emplace();
      }
      if (entry.done && !jobFailed) run->doneOne = true;
      return jobFailed;
    };
    // A window of files that never wait defers signals from its start: a
    // signal that came while the first of them was prepared, between the
    // creation of its (named) temporary file and the deferral, would leave
    // that file behind.
    if (!MayWait(jobs[first])) defer.emplace();
    int signal = 0;
    try {
      failed += RunTasks(entries.size(), settings.threads, alone, [&](std::size_t i) {
        ++run->started;
        return inEntry(i, [&](Entry* entry) {
          return RunJob(jobs[first + i], true, settings, callPassword, one, &run->written, entry);
        });
      });
      for (Entry& entry : entries) ReleaseStream(&entry.sink, stderr);
      std::vector<std::size_t> prepared;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].outcome.run) prepared.push_back(i);
      }
      failed += RunTasks(prepared.size(), settings.threads, alone, [&](std::size_t k) {
        const std::size_t i = prepared[k];
        return inEntry(i, [&](Entry* entry) {
          return JobStep(jobs[first + i], true, settings, callPassword, &run->written, entry, [&] {
            const auto step = std::move(entry->outcome.run);
            entry->outcome.run = nullptr;
            step(&entry->outcome);
          });
        });
      });
      signal = CaughtSignal();
    } catch (const SignalStop& stopped) {
      signal = stopped.signal;
    } catch (...) {
      CommitWindow(jobs, first, &entries, settings, callPassword, &run->written);
      throw;
    }
    failed += CommitWindow(jobs, first, &entries, settings, callPassword, &run->written);
    defer.reset();
    if (signal != 0) {
      // The jobs only prepared are discarded first: the process ends
      // without unwinding, and a named temporary file would stay.
      entries.clear();
      SetWorkerThread(false);
      ExitForSignal(signal);
    }
  }
  SetWorkerThread(false);
  return failed;
}

}  // namespace

// Runs every job; with several, a failed file is reported and the rest are
// still done, and a summary line follows. After the first job, once the
// password is known or a file was done without it, the rest run on
// settings.threads threads.
int RunJobs(const std::vector<Job>& jobs, bool many, const Settings& settings,
            CallPassword* callPassword, OneJob one) {
  InstallSignalHandlers();
  ProtectSecrets();
  RunState run;
  const std::function<bool()> alone = [&] {
    return run.started == 0 || (!run.doneOne && !callPassword->obtained());
  };
  std::size_t failed = 0;
  if (settings.batch) {
    failed = RunInWindows(jobs, settings, callPassword, one, alone, &run);
  } else {
    failed = RunTasks(jobs.size(), settings.threads, alone, [&](std::size_t i) {
      ++run.started;
      Entry entry;
      const bool jobFailed =
          RunJob(jobs[i], many, settings, callPassword, one, &run.written, &entry);
      if (!jobFailed) run.doneOne = true;
      return jobFailed;
    });
  }
  if (many) {
    Complain(std::to_string(jobs.size()) + " files: " + std::to_string(jobs.size() - failed) +
             " done, " + std::to_string(failed) + " failed");
  }
  return failed == 0 ? kExitSuccess : kExitFailure;
}

int RunCrypt(const std::vector<std::string>& argv, bool encrypt,
             const std::vector<OptionDef>& options, const char* help, OneJob one) {
  const ParsedArgs parsed = ParseArgs(argv, options);
  if (parsed.Has("help")) {
    PrintHelp(help);
    return kExitSuccess;
  }
  Settings settings;
  settings.pass = parsed.Single("pass");
  settings.force = parsed.Has("force");
  settings.quiet = parsed.Has("quiet");
  settings.salvage = parsed.Has("salvage");
  settings.json = parsed.Has("json");
  settings.preserve = parsed.Has("preserve");
  settings.removeInput = parsed.Has("remove-input");
  settings.acceptWeakCheck = parsed.Has("accept-weak-check");
  settings.threads = JobCount(parsed);
  if (const std::string* range = parsed.Single("range"); range != nullptr) {
    if (parsed.Has("multifile") || parsed.Has("recursive") || settings.salvage ||
        settings.removeInput) {
      throw UsageError{
          "'--range' takes one INPUT, without --multifile, --recursive, --salvage or "
          "--remove-input"};
    }
    settings.range = ParseRange(*range);
  }
  if (settings.removeInput && settings.salvage) {
    throw UsageError{"'--remove-input' cannot be used with --salvage: a damaged INPUT is kept"};
  }
  const std::string* format = encrypt ? parsed.Single("format") : nullptr;
  if (format != nullptr && *format != "age" && *format != "acbc") {
    throw UsageError{"'--format' takes age or acbc, not '" + *format + "'"};
  }
  settings.age = format != nullptr && *format == "age";
  if (encrypt) {
    ReadAgeEncryptOptions(parsed, &settings);
  } else {
    settings.identities = Identities(parsed);
    settings.maxWorkFactor = WorkFactor(parsed, "max-work-factor", ACBC_AGE_MAX_WORK_FACTOR);
  }
  const std::vector<Job> jobs = Jobs(parsed, !encrypt       ? Naming::kRemove
                                             : settings.age ? Naming::kAddAge
                                                            : Naming::kAddAcbc);
  CheckPlan(jobs);
  settings.jobs = &jobs;
  settings.batch = (parsed.Has("multifile") || parsed.Has("recursive")) && jobs.size() > 1;
  for (const Job& job : jobs) {
    if (settings.removeInput && (job.input == "-" || job.output == "-")) {
      throw UsageError{"'--remove-input' needs named files, not standard input or output"};
    }
  }
  if (settings.pass != nullptr && *settings.pass == "stdin" && !jobs.empty() &&
      jobs[0].input == "-") {
    throw UsageError{
        "'--pass stdin' cannot be used when INPUT is standard input; give the password on "
        "another descriptor, e.g. --pass fd:3 3<FILE"};
  }
  if (settings.json && !jobs.empty() && jobs[0].output == "-") {
    throw UsageError{"'--json' cannot be used when OUTPUT is standard output"};
  }
  CallPassword password(settings.pass, encrypt);
  if (settings.age) password.ForAge();
  const int status =
      RunJobs(jobs, parsed.Has("multifile") || parsed.Has("recursive"), settings, &password, one);
  // Someone at a terminal who did not choose the format learns what ACBC
  // lacks, once.
  if (encrypt && format == nullptr && !settings.quiet && isatty(STDERR_FILENO) != 0) {
    Complain(
        "note: ACBC has no integrity check: altered files decrypt without notice; "
        "'--format age' writes authenticated files, 'pellfold upgrade' converts ACBC ones");
  }
  return status;
}

}  // namespace pellfold::host
