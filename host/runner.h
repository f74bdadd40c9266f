// What encrypt, decrypt, verify, rekey and upgrade share: the settings of a
// run, its jobs (one a file) planned before any work, the password asked for
// once, the weak-check bookkeeping, and the runner that does every job and
// reports each one (--json lines, the summary).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acbc.h"
#include "cli.h"
#include "files.h"
#include "password.h"
#include "range.h"
#include "signals.h"

namespace pellfold::host {

constexpr std::size_t kShortPassword = 8;
constexpr std::size_t kKeyBytes = 32;
// With n zero padding bytes a wrong password passes the check with odds
// 2^-8n; below this many the user is told.
constexpr int kConfirmingPadding = ACBC_STRONG_PADDING;
constexpr char kSuffix[] = ".acbc";
constexpr std::size_t kSuffixSize = sizeof kSuffix - 1;
constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();

constexpr char kAgeSuffix[] = ".age";
constexpr std::size_t kAgeSuffixSize = sizeof kAgeSuffix - 1;

class CallPassword;
class FileJob;
struct Job;
struct Outcome;
struct Pending;

struct Settings {
  Settings() = default;
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
  ~Settings() {
    for (std::string& identity : identities) Wipe(&identity);
  }

  const std::string* pass = nullptr;
  bool force = false;
  bool quiet = false;
  bool salvage = false;
  bool json = false;
  bool preserve = false;
  bool removeInput = false;
  bool acceptWeakCheck = false;  // irreversible steps on a password confirmed by < 32 bits
  const std::vector<Job>* jobs = nullptr;  // the whole run, to confirm a password by another file
  std::optional<ByteRange> range;          // decrypt --range
  // age
  bool age = false;  // encrypt: --format age
  bool armor = false;
  int workFactor = 0;  // 0: the library's default
  int maxWorkFactor = ACBC_AGE_MAX_WORK_FACTOR;
  std::vector<std::string> recipients;
  std::vector<std::string> identities;    // the identity files' texts
  CallPassword* newPassphrase = nullptr;  // upgrade --new-pass
  unsigned threads = 1;                   // -j: files done at once
  // Many files: a job that ran leaves its output to the run, which commits
  // many at once (Pending).
  bool batch = false;
};

struct Job {
  std::string input;
  std::string output;
  std::string failure;       // a folder -r could not read: the job fails with this
  bool makeFolders = false;  // create the folders on the way to output first
  // With -r: the input's folder, held open, and its name there; the
  // output's folder (under -o, created when missing) and its name there.
  Place inputPlace = {};
  Place outputPlace = {};
};

// The path a job's output is written under: through its folder's
// descriptor when a walk found its input, else as given.
inline std::string OutputPath(const Job& job) {
  const Place& place = job.outputPlace;
  return place.folder ? place.folder->PathTo(place.name) : job.output;
}

// How one file went, for --json.
struct Outcome {
  int status = ACBC_OK;  // an acbc_status, or one of the program's (kStatusNotRemoved, ...)
  std::string message;
  unsigned warnings = 0;
  int padding = 0;           // padding bytes that confirmed the password
  bool weakCheck = false;    // an irreversible step rests on fewer than 4 padding bytes
  bool weakRefused = false;  // ... and was refused for that
  // Under a batch (Settings::batch): set by a job that is prepared and
  // waits for the password, to run it once the window's files are all
  // prepared; then by a job that ran and waits for the batch commit.
  std::function<void(Outcome*)> run;
  std::shared_ptr<Pending> pending;
};

// A file whose libacbc job ran and whose output the run commits together
// with others (one sync of their file system): `finish` then takes the
// job's commit result, does the rest of the file and throws its failure,
// if any. What the job reads
// stays open until then.
struct Pending {
  std::shared_ptr<FileJob> job;
  std::function<void(const acbc_result&, Outcome*)> finish;
  std::shared_ptr<const void> keep;  // the input the job reads
};

// Failure.status of a step refused on a weak password check.
constexpr int kWeakRefusal = -2;

// A password of a whole call: obtained once, when the first file needs it
// (after that file's own checks), so that many files cost one prompt. A
// password to encrypt under is asked twice, and must not be empty.
class CallPassword {
 public:
  CallPassword(const std::string* source, bool encrypt,
               const char* prompt = "Password: ", const char* empty = "the password is empty")
      : source_(source), encrypt_(encrypt), prompt_(prompt), empty_(empty) {}

  // Jobs on worker threads share it: one of them asks, the others wait.
  const Password& Get() {
    const std::lock_guard lock(mutex_);
    if (have_) return password_;
    if (broken_) throw WithStatus(Failure{"the password could not be obtained"}, kStatusPassword);
    broken_ = true;
    // A terminating signal at the prompt ends the wait for it (see
    // ReadLine), also when signals are deferred.
    ObtainPassword(source_, /*confirm=*/encrypt_, &password_, prompt_, option_);
    if (encrypt_) {
      // An empty password is an all-zero key: no protection at all.
      if (password_.textLength == 0) throw UsageError{empty_};
      if (password_.textLength < kShortPassword) {
        Warn("password is shorter than 8 bytes");
      } else if (password_.textLength > kKeyBytes && acbcKey_) {
        Warn("password is longer than 32 bytes; bytes after the 32nd do not reach the key");
      }
    }
    broken_ = false;
    have_ = true;
    return password_;
  }
  // True once obtaining the password failed: no further file can be done.
  bool broken() const {
    const std::lock_guard lock(mutex_);
    return broken_;
  }
  bool obtained() const {
    const std::lock_guard lock(mutex_);
    return have_;
  }
  // An age passphrase: every byte counts, so a long one draws no warning.
  void ForAge() { acbcKey_ = false; }
  // True once a file's padding confirmed the password by 32 bits or more.
  bool confirmed() const { return confirmed_; }
  void Confirm(int padding) {
    if (padding >= kConfirmingPadding) confirmed_ = true;
  }
  // True once the run's other files were looked through for a confirmation;
  // the look, and that flag, under lookLock.
  bool lookedAhead = false;
  std::mutex lookLock;
  // The option that names the source, for messages ("--new-pass").
  void From(const char* option) { option_ = option; }

 private:
  const std::string* source_;
  bool encrypt_;
  const char* prompt_;
  const char* empty_;
  const char* option_ = "--pass";
  mutable std::mutex mutex_;
  bool have_ = false;
  bool broken_ = false;
  bool acbcKey_ = true;
  std::atomic<bool> confirmed_ = false;
  Password password_;
};

// How a command names its outputs after its inputs.
enum class Naming {
  kAddAcbc,  // encrypt: IN.acbc
  kAddAge,   // encrypt --format age: IN.age
  kRemove,   // decrypt: IN without .acbc or .age
  kUpgrade,  // upgrade: x.acbc becomes x.age, other names get .age added
};

// The files below the FOLDER operands of -r: for decrypt and verify only
// those ending in .acbc or .age, for upgrade those ending in .acbc; encrypt
// skips those with a note.
std::vector<FoundFile> FilesBelow(const std::vector<std::string>& folders, Naming naming);
// The jobs of a run from its operands: -r, -m (or upgrade's FILE...), or
// INPUT [OUTPUT].
std::vector<Job> Jobs(const ParsedArgs& parsed, Naming encrypt);
// Throws UsageError when two jobs share an output, or one reads another's.
void CheckPlan(const std::vector<Job>& jobs);
std::string BaseName(const std::string& path);

inline unsigned ReplaceFlag(const Settings& settings) {
  return settings.force ? static_cast<unsigned>(ACBC_REPLACE) : 0u;
}

void NoteWeakCheck(const std::string& name, int padding);
Failure WeakRefusal(const std::string& input, int padding, const std::string& step);
struct EncryptedInput;
class OutputTarget;
void CheckPassword(const EncryptedInput& file, const Password& password);
bool KeepInput(const EncryptedInput& file, const std::string& inputPath, const OutputTarget& output,
               const Settings& settings, CallPassword* callPassword, Outcome* outcome);

// Standard output's lines, flushed as each is complete.
void PrintOut(const std::string& line);
void PrintJson(const std::string& path, const std::string* output, const Outcome& outcome);
Outcome FailedOutcome(const Failure& failure, const std::string& name);

using OneJob = void (*)(const Job&, const Settings&, CallPassword*, Outcome*);

// Runs every job; with several, a failed file is reported and the rest are
// still done, and a summary line follows.
int RunJobs(const std::vector<Job>& jobs, bool many, const Settings& settings,
            CallPassword* callPassword, OneJob one);

// Runs task(i) for every i below `count` and returns how many returned true
// (failed). With one thread, or while `alone()` says so, the tasks run one
// after the other on this thread; the rest on up to `threads` worker
// threads, each saying what it says into a sink of its own, and the sinks
// are written out in the order of i, each once the tasks before it are
// done, so that the streams get exactly what one thread would print. A task
// that throws stops the run: no further task starts, and once those in
// progress have returned the exception is thrown again (a signal ends the
// process, what the tasks done said printed first).
std::size_t RunTasks(std::size_t count, unsigned threads, const std::function<bool()>& alone,
                     const std::function<bool(std::size_t)>& task);

// encrypt and decrypt: their options read, their jobs planned and run.
int RunCrypt(const std::vector<std::string>& argv, bool encrypt,
             const std::vector<OptionDef>& options, const char* help, OneJob one);

}  // namespace pellfold::host
