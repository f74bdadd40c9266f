// Nothing lost: every refusal and failure leaves the file system as it was,
// with the right exit status and one line naming the file and the reason;
// a replaced output is replaced whole; an interrupted run cleans up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "acbc.h"
#include "program.h"

namespace pellfold::test {
namespace {

struct Refusal {
  const char* name;
  std::function<void(const TempDir&)> setup;  // beside "plain" and "enc.acbc"
  std::string args;                           // split at spaces; "@" is the directory
  int exitCode;
  std::string message;  // the whole of stderr, "@" replaced by the directory
};

std::string Expand(std::string text, const std::string& dir) {
  for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir);
  return text;
}

class Refusals : public testing::TestWithParam<Refusal> {};

TEST_P(Refusals, LeaveTheFileSystemAsItWas) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(3000));
  WriteFile(dir / "enc.acbc", AesEncypt(dir / "plain", u"password"));
  GetParam().setup(dir);
  const auto before = Snapshot(dir.path());

  std::vector<std::string> args;
  std::istringstream words(GetParam().args);
  for (std::string word; words >> word;) args.push_back(Expand(word, dir.path()));
  const auto r = Pellfold(args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode);
  EXPECT_EQ(r.err, Expand(GetParam().message, dir.path()));
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Snapshot(dir.path()) == before) << "the directory changed";
}

void Nothing(const TempDir&) {}
// d1/NAME and d2/NAME, which differ (a copy of enc.acbc for an ACBC name).
std::function<void(const TempDir&)> InTwoFolders(const std::string& name) {
  return [name](const TempDir& d) {
    for (const std::string sub : {"d1", "d2"}) {
      mkdir((d / sub).c_str(), 0755);
      WriteFile(d / (sub + "/" + name),
                name.ends_with(".acbc") ? ReadFile(d / "enc.acbc") : ToBytes(sub));
    }
  };
}
const std::string kHelp = "\nTry 'pellfold encrypt --help' for more information.\n";
const std::string kExists = "file exists (use --force to overwrite)\n";
const std::string kSame = "output is the same file as the input\n";
const std::string kNotAcbc = "not an ACBC file\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    testing::Values(
        Refusal{"EncryptExistingOutput", Nothing, "encrypt -p pass:password @/plain @/enc.acbc", 1,
                "pellfold: encrypt: @/enc.acbc: " + kExists},
        Refusal{"DecryptExistingOutput", Nothing, "decrypt -p pass:password @/enc.acbc @/plain", 1,
                "pellfold: decrypt: @/plain: " + kExists},
        Refusal{"OutputIsInput", Nothing, "encrypt -f -p pass:password @/plain @/plain", 1,
                "pellfold: encrypt: @/plain: " + kSame},
        Refusal{"OutputIsHardLinkToInput",
                [](const TempDir& d) { link((d / "enc.acbc").c_str(), (d / "link").c_str()); },
                "decrypt -f -p pass:password @/enc.acbc @/link", 1,
                "pellfold: decrypt: @/link: " + kSame},
        Refusal{"OutputIsSymlinkToInput",
                [](const TempDir& d) { symlink("plain", (d / "link").c_str()); },
                "encrypt -f -p pass:password @/plain @/link", 1,
                "pellfold: encrypt: @/link: " + kSame},
        Refusal{"MissingInput", Nothing, "encrypt -p pass:password @/missing @/out", 1,
                "pellfold: encrypt: @/missing: No such file or directory\n"},
        Refusal{"InputIsDirectory", [](const TempDir& d) { mkdir((d / "sub").c_str(), 0755); },
                "encrypt -p pass:password @/sub @/out", 1,
                "pellfold: encrypt: @/sub: Is a directory\n"},
        Refusal{"OutputIsDirectory", [](const TempDir& d) { mkdir((d / "sub").c_str(), 0755); },
                "encrypt -f -p pass:password @/plain @/sub", 1,
                "pellfold: encrypt: @/sub: Is a directory\n"},
        Refusal{"OutputDirectoryMissing", Nothing, "encrypt -p pass:password @/plain @/none/out", 1,
                "pellfold: encrypt: @/none/out: No such file or directory\n"},
        // Not ACBC: refused before any output exists.
        Refusal{"WrongMagic", Nothing, "decrypt -p pass:password @/plain @/out", 1,
                "pellfold: decrypt: @/plain: " + kNotAcbc},
        Refusal{"EmptyFile", [](const TempDir& d) { WriteFile(d / "empty", {}); },
                "decrypt -p pass:password @/empty @/out", 1,
                "pellfold: decrypt: @/empty: " + kNotAcbc},
        Refusal{"PasswordFileMissing", Nothing, "encrypt --pass file:@/nopw @/plain @/out", 1,
                "pellfold: encrypt: --pass file:@/nopw: No such file or directory\n"},
        Refusal{"PasswordVariableUnset", Nothing,
                "decrypt --pass env:PELLFOLD_TEST_UNSET @/enc.acbc @/out", 1,
                "pellfold: decrypt: --pass env:PELLFOLD_TEST_UNSET: environment variable is not "
                "set\n"},
        // Every file of a window is checked before the password is asked for.
        Refusal{"RefusedBeforeThePassword",
                [](const TempDir& d) {
                  WriteFile(d / "more.acbc", ReadFile(d / "enc.acbc"));
                  WriteFile(d / "more", ToBytes("kept"));
                },
                "decrypt -m --pass env:PELLFOLD_TEST_UNSET @/enc.acbc @/more.acbc", 1,
                "pellfold: decrypt: @/more: " + kExists +
                    "pellfold: decrypt: --pass env:PELLFOLD_TEST_UNSET: environment variable is "
                    "not set\n"},
        Refusal{"NewPasswordVariableUnset", Nothing,
                "rekey --pass pass:password --new-pass env:PELLFOLD_TEST_UNSET @/enc.acbc", 1,
                "pellfold: rekey: --new-pass env:PELLFOLD_TEST_UNSET: environment variable is not "
                "set\n"},
        Refusal{"ControlCharactersInName", Nothing,
                "decrypt -p pass:password @/a\x01"
                "b\x1b.acbc",
                1, "pellfold: decrypt: @/a\\x01b\\x1b.acbc: No such file or directory\n"},
        Refusal{"PasswordWithNul",
                [](const TempDir& d) {
                  WriteFile(d / "pw", Bytes{'a', 0, 'b', '\n'});
                  chmod((d / "pw").c_str(), 0600);
                },
                "encrypt --pass file:@/pw @/plain @/out", 1,
                "pellfold: encrypt: --pass file:@/pw: first line contains a NUL byte\n"},
        // Usage errors: status 2 and a pointer to --help.
        Refusal{"BadPassSource", Nothing, "encrypt --pass secret @/plain @/out", 2,
                "pellfold: encrypt: invalid --pass source 'secret' (use pass:TEXT, env:VAR, "
                "file:PATH, fd:N or stdin)\nTry 'pellfold encrypt --help' for more information.\n"},
        Refusal{"PassStdinWithStdinInput", Nothing, "encrypt --pass stdin - @/out", 2,
                "pellfold: encrypt: '--pass stdin' cannot be used when INPUT is standard "
                "input; give the password on another descriptor, e.g. --pass fd:3 3<FILE\nTry "
                "'pellfold encrypt --help' for more information.\n"},
        Refusal{"RepeatedPass", Nothing, "decrypt -p pass:a --pass pass:b @/enc.acbc @/out", 2,
                "pellfold: decrypt: option '--pass' given more than once\nTry 'pellfold "
                "decrypt --help' for more information.\n"},
        Refusal{"DecryptNameWithoutSuffix", Nothing, "decrypt -p pass:password @/plain", 2,
                "pellfold: decrypt: '@/plain' does not end in .acbc or .age: name the OUTPUT to "
                "decrypt it into\nTry 'pellfold decrypt --help' for more information.\n"},
        Refusal{"UnknownOption", Nothing, "encrypt --fast @/plain @/out", 2,
                "pellfold: encrypt: unrecognized option '--fast'\nTry 'pellfold encrypt --help' "
                "for more information.\n"},
        Refusal{"JsonWithStandardOutput", Nothing, "decrypt --json -p pass:password @/enc.acbc -",
                2,
                "pellfold: decrypt: '--json' cannot be used when OUTPUT is standard output\nTry "
                "'pellfold decrypt --help' for more information.\n"},
        // A read error is told as one, not as a file that is not ACBC.
        Refusal{"ReadError", Nothing, "decrypt -p pass:password /proc/self/mem @/out", 1,
                "pellfold: decrypt: /proc/self/mem: read error: Input/output error\n"},
        Refusal{"RekeyNotAcbc", Nothing, "rekey -p pass:password --new-pass pass:password2 @/plain",
                1, "pellfold: rekey: @/plain: " + kNotAcbc},
        Refusal{"RekeyExistingOutput", Nothing,
                "rekey -p pass:password --new-pass pass:password2 @/enc.acbc @/plain", 1,
                "pellfold: rekey: @/plain: " + kExists},
        // --remove-input keeps the input whenever anything is wrong.
        Refusal{"RemoveInputWrongPassword", Nothing,
                "decrypt --remove-input -p pass:wrong @/enc.acbc @/out", 1,
                "pellfold: decrypt: @/enc.acbc: wrong password (or the file was altered)\n"},
        Refusal{"RemoveInputThroughSymlink",
                [](const TempDir& d) { symlink("plain", (d / "link").c_str()); },
                "encrypt --remove-input -p pass:password @/link @/out", 1,
                "pellfold: encrypt: @/link: is a symbolic link: --remove-input would lose it\n"},
        Refusal{"RemoveInputToDevice", Nothing,
                "encrypt --remove-input -p pass:password @/plain /dev/null", 1,
                "pellfold: encrypt: @/plain: its output is not a regular file: --remove-input "
                "would lose it\n"},
        Refusal{"RemoveInputWithOtherLinks",
                [](const TempDir& d) { link((d / "plain").c_str(), (d / "other").c_str()); },
                "encrypt --remove-input -p pass:password @/plain", 1,
                "pellfold: encrypt: @/plain: has 1 other link (--force removes this one anyway)\n"},
        // A FIFO where a regular file is expected is refused, not waited on.
        Refusal{"RemoveInputFifo", [](const TempDir& d) { mkfifo((d / "fifo").c_str(), 0600); },
                "encrypt --remove-input -p pass:password @/fifo", 1,
                "pellfold: encrypt: @/fifo: not a regular file\n"},
        Refusal{"UpgradeFifo", [](const TempDir& d) { mkfifo((d / "fifo.acbc").c_str(), 0600); },
                "upgrade -p pass:password @/fifo.acbc", 1,
                "pellfold: upgrade: @/fifo.acbc: not a regular file\n"},
        Refusal{"RemoveInputFromStdin", Nothing, "encrypt --remove-input -p pass:password - @/out",
                2,
                "pellfold: encrypt: '--remove-input' needs named files, not standard input or "
                "output\nTry 'pellfold encrypt --help' for more information.\n"},
        Refusal{"RemoveInputRekeyInPlace", Nothing,
                "rekey --remove-input -p pass:password --new-pass pass:password2 @/enc.acbc", 2,
                "pellfold: rekey: '--remove-input' needs an OUTPUT: in place, INPUT is replaced "
                "already\nTry 'pellfold rekey --help' for more information.\n"},
        Refusal{"OutputDirWithoutMany", Nothing, "encrypt -o @ -p pass:password @/plain", 2,
                "pellfold: encrypt: '--output-dir' needs --multifile or --recursive\nTry "
                "'pellfold encrypt --help' for more information.\n"},
        Refusal{"OutputDirMissing", Nothing, "encrypt -m -o @/none -p pass:password @/plain", 1,
                "pellfold: encrypt: @/none: No such file or directory\n"},
        Refusal{"RecursiveOnAFile", Nothing, "decrypt -r -p pass:password @/enc.acbc", 1,
                "pellfold: decrypt: @/enc.acbc: Not a directory\n"},
        // upgrade leaves the input and nothing else when it cannot finish.
        Refusal{"UpgradeWrongPassword", Nothing, "upgrade --remove-input -p pass:wrong @/enc.acbc",
                1, "pellfold: upgrade: @/enc.acbc: wrong password (or the file was altered)\n"},
        Refusal{"UpgradeDamaged",
                [](const TempDir& d) {
                  Bytes cut = ReadFile(d / "enc.acbc");
                  cut.resize(3000);
                  WriteFile(d / "cut.acbc", cut);
                },
                "upgrade -p pass:password @/cut.acbc", 1,
                "pellfold: upgrade: @/cut.acbc: truncated, 584 bytes missing (decrypt --salvage "
                "recovers what is there)\n"},
        Refusal{"UpgradeNotAcbc", Nothing, "upgrade -p pass:password @/plain", 1,
                "pellfold: upgrade: @/plain: " + kNotAcbc},
        Refusal{"UpgradeExistingOutput", [](const TempDir& d) { WriteFile(d / "enc.age", {}); },
                "upgrade -p pass:password @/enc.acbc", 1,
                "pellfold: upgrade: @/enc.age: " + kExists},
        Refusal{"AgeKeysBoth", Nothing,
                "encrypt --format age -p pass:password --recipient age1x @/plain", 2,
                "pellfold: encrypt: give either a passphrase or recipients, not both\nTry "
                "'pellfold encrypt --help' for more information.\n"},
        Refusal{"AgeOptionWithoutAge", Nothing, "encrypt -a -p pass:password @/plain", 2,
                "pellfold: encrypt: '--recipient', '--recipients-file', '--armor' and "
                "'--work-factor' need --format age\nTry 'pellfold encrypt --help' for more "
                "information.\n"},
        Refusal{"AgeWorkFactorAboveCeiling",
                [](const TempDir& d) {
                  Pellfold({"encrypt", "--format", "age", "-p", "pass:password", "--work-factor",
                            "10", d / "plain", d / "hi.age"});
                  std::string file = Text(ReadFile(d / "hi.age"));
                  file.replace(file.find(" 10\n"), 4, " 23\n");
                  WriteFile(d / "hi.age", ToBytes(file));
                },
                "decrypt -p pass:password @/hi.age @/out", 1,
                "pellfold: decrypt: @/hi.age: its passphrase asks for scrypt work factor 23, "
                "above the ceiling of 22 (--max-work-factor raises it)\n"},
        // Every output is planned first: one output for two inputs, or an
        // input that is another job's output, and nothing runs.
        Refusal{"RecursiveTwoInputsOneOutput", InTwoFolders("report.txt"),
                "encrypt -r -f --remove-input -p pass:password -o @ @/d1 @/d2", 2,
                "pellfold: encrypt: '@/d1/report.txt' and '@/d2/report.txt' would both be written "
                "to '@/report.txt.acbc'" +
                    kHelp},
        Refusal{"DecryptRecursiveTwoInputsOneOutput", InTwoFolders("x.acbc"),
                "decrypt -r -o @ -p pass:password @/d1 @/d2", 2,
                "pellfold: decrypt: '@/d1/x.acbc' and '@/d2/x.acbc' would both be written to '@/x'"
                "\nTry 'pellfold decrypt --help' for more information.\n"},
        Refusal{"ForceNotOverItsOwnOutput", InTwoFolders("report.txt"),
                "encrypt -m -f -p pass:password -o @ @/d1/report.txt @/d2/report.txt", 2,
                "pellfold: encrypt: '@/d1/report.txt' and '@/d2/report.txt' would both be written "
                "to '@/report.txt.acbc'" +
                    kHelp},
        Refusal{"TwoSpellingsOneOutput",
                [](const TempDir& d) { symlink(".", (d / "here").c_str()); },
                "encrypt -m -p pass:password @/plain @/here/./plain", 2,
                "pellfold: encrypt: '@/plain' and '@/here/./plain' would both be written to "
                "'@/here/./plain.acbc'" +
                    kHelp},
        Refusal{"InputIsAnotherJobsOutput", Nothing,
                "encrypt -m -p pass:password @/plain @/plain.acbc", 2,
                "pellfold: encrypt: '@/plain.acbc' is also the output of '@/plain' in this run" +
                    kHelp},
        Refusal{"RekeyInPlaceWithOtherLinks",
                [](const TempDir& d) { link((d / "enc.acbc").c_str(), (d / "link").c_str()); },
                "rekey -p pass:password --new-pass pass:password2 @/enc.acbc", 1,
                "pellfold: rekey: @/enc.acbc: has 1 other link; it would keep the old password "
                "(--force rekeys this name alone)\n"},
        Refusal{"RekeyEmptyNewPassword", Nothing,
                "rekey -p pass:password --new-pass pass: @/enc.acbc", 2,
                "pellfold: rekey: the new password is empty\nTry 'pellfold rekey --help' for more "
                "information.\n"}),
    [](const testing::TestParamInfo<Refusal>& p) { return std::string(p.param.name); });

// A wrong password that passes the check of weak.acbc, whose 1023 bytes
// leave one padding byte (about 1 password in 256 does). What cannot be
// undone waits for a password confirmed by 32 bits: by another file of the
// run (strong.acbc is under that password), or --accept-weak-check.
struct WeakStep {
  std::string args;  // split at spaces; "@" is the directory
  int exitCode;
  bool weakKept;     // weak.acbc is there as before
  std::string says;  // found on standard output or error
};

class WeakCheck : public testing::TestWithParam<WeakStep> {};

TEST_P(WeakCheck, IrreversibleStepsWaitForAConfirmedPassword) {
  TempDir dir;
  const Bytes plain = RandomBytes(1023);
  WriteFile(dir / "plain", plain);
  const Bytes weak = AesEncypt(dir / "plain", u"right password");
  std::string wrong;
  Bytes out(weak.size());
  for (int i = 0; i < 100000 && wrong.empty(); ++i) {
    const std::string password = "wrong " + std::to_string(i);
    acbc_result r{};
    if (acbc_decrypt_buffer(weak.data(), weak.size(), out.data(), out.size(), password.data(),
                            password.size(), 0, &r) == ACBC_OK) {
      wrong = password;
    }
  }
  ASSERT_NE(wrong, "");
  WriteFile(dir / "weak.acbc", weak);
  WriteFile(dir / "other", RandomBytes(3000));
  WriteFile(dir / "strong.acbc",
            AesEncypt(dir / "other", std::u16string(wrong.begin(), wrong.end())));
  WriteFile(dir / "pw", ToBytes(wrong + "\n"));
  chmod((dir / "pw").c_str(), 0600);

  std::vector<std::string> args;
  std::istringstream words(GetParam().args);
  for (std::string word; words >> word;) args.push_back(Expand(word, dir.path()));
  args.insert(args.begin() + 1, {"--pass", "file:" + dir / "pw"});
  const auto r = Pellfold(args);
  EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
  EXPECT_EQ(FileExists(dir / "weak.acbc") && ReadFile(dir / "weak.acbc") == weak,
            GetParam().weakKept);
  EXPECT_NE((r.out + r.err).find(Expand(GetParam().says, dir.path())), std::string::npos)
      << r.out << r.err;
  EXPECT_TRUE(r.exitCode == 0 || ReadFile(dir / "plain") == plain);
}

const std::string kWeak = "@/weak.acbc: the password is confirmed by only 1 padding byte; ";
const std::string kRisk = " (--accept-weak-check takes the risk)";

INSTANTIATE_TEST_SUITE_P(
    Steps, WeakCheck,
    testing::Values(
        WeakStep{"decrypt --remove-input @/weak.acbc @/out", 1, true,
                 kWeak + "not removed" + kRisk},
        WeakStep{"decrypt -f @/weak.acbc @/plain", 1, true, kWeak + "@/plain not replaced" + kRisk},
        WeakStep{"rekey --new-pass pass:newpass @/weak.acbc", 1, true,
                 kWeak + "not rewritten in place" + kRisk},
        WeakStep{"upgrade --work-factor 1 --remove-input @/weak.acbc", 1, true, "not removed"},
        WeakStep{"decrypt --json --remove-input @/weak.acbc @/out", 1, true,
                 "{\"path\": \"@/weak.acbc\", \"output\": \"@/out\", \"status\": \"weak_check\", "
                 "\"message\": \"the password is confirmed by only 1 padding byte; not removed" +
                     kRisk + "\", \"warnings\": [], \"weak_check\": true}\n"},
        // Confirmed by a file before it, or after it, in the same run.
        WeakStep{"decrypt -m --remove-input @/strong.acbc @/weak.acbc", 0, false, "2 done"},
        WeakStep{"decrypt -m --remove-input @/weak.acbc @/strong.acbc", 0, false, "2 done"},
        WeakStep{"decrypt --accept-weak-check --remove-input @/weak.acbc @/out", 0, false,
                 "only 1 padding byte"},
        WeakStep{"rekey --accept-weak-check --new-pass pass:newpass @/weak.acbc", 0, false,
                 "only 1 padding byte"}));

// A directory the program may not write to. Root may write anywhere, so the
// program then runs as nobody, from a copy in a directory nobody can reach,
// beside a copy of libacbc.so.1: the build folder may be closed to others.
TEST(Safety, UnwritableDirectoryFailsAndChangesNothing) {
  char pattern[] = "/tmp/pellfold-host-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string base = pattern;
  std::filesystem::copy_file(PELLFOLD_PROGRAM, base + "/pellfold");
  const std::filesystem::path library = ACBC_LIBRARY;
  std::filesystem::copy_file(library, base + "/" + library.filename().string());
  chmod(base.c_str(), 0755);
  const std::string locked = base + "/locked";
  mkdir(locked.c_str(), 0755);
  WriteFile(base + "/plain", RandomBytes(2000));
  WriteFile(locked + "/out.acbc", ToBytes("old contents"));
  chmod((base + "/plain").c_str(), 0644);
  chmod((locked + "/out.acbc").c_str(), 0644);
  chmod(locked.c_str(), 0555);
  const auto before = Snapshot(locked);

  std::vector<std::string> argv;
  if (geteuid() == 0) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.insert(argv.end(), {"env", "LD_LIBRARY_PATH=" + base});
  for (const std::string a :
       {"/pellfold", "encrypt", "-f", "-p", "pass:password", "/plain", "/locked/out.acbc"}) {
    argv.push_back(a[0] == '/' ? base + a : a);
  }
  const auto r = RunProcess(argv);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: encrypt: " + locked + "/out.acbc: Permission denied\n");
  EXPECT_TRUE(Snapshot(locked) == before);
  chmod(locked.c_str(), 0755);
  std::filesystem::remove_all(base);
}

// A write that fails half-way (the file size limit here; a full disk
// behaves the same) removes the temporary file and keeps the old output,
// and the input whatever --remove-input says.
TEST(Safety, FailedWriteKeepsTheOldOutput) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(300000));
  WriteFile(dir / "enc.acbc", AesEncypt(dir / "plain", u"password"));
  WriteFile(dir / "out", ToBytes("old contents"));
  const auto before = Snapshot(dir.path());
  for (const std::string command : {"encrypt", "decrypt"}) {
    const auto r = RunProcess(
        {"prlimit", "--fsize=65536", PELLFOLD_PROGRAM, command, "-f", "--remove-input", "-p",
         "pass:password", command == "encrypt" ? dir / "plain" : dir / "enc.acbc", dir / "out"});
    EXPECT_EQ(r.exitCode, 1) << command;
    EXPECT_EQ(r.err,
              "pellfold: " + command + ": " + dir / "out" + ": write error: File too large\n");
    EXPECT_TRUE(Snapshot(dir.path()) == before) << command;
  }
  // rekey in place keeps the old file.
  const std::pair<std::vector<std::string>, std::string> runs[] = {
      {{"rekey", "--new-pass=pass:password2", dir / "enc.acbc"},
       "rekey: " + dir / "enc.acbc: write error: File too large\n"}};
  for (const auto& [args, message] : runs) {
    std::vector<std::string> argv = {"env",           "TMPDIR=" + dir.path(), "prlimit",
                                     "--fsize=65536", PELLFOLD_PROGRAM,       "-p",
                                     "pass:password"};
    argv.insert(argv.begin() + 5, args.begin(), args.end());
    const auto r = RunProcess(argv);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "pellfold: " + message);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Snapshot(dir.path()) == before) << args[0];
  }
  // A device that is full: nothing to clean up, but the failure is reported.
  const auto r = Pellfold({"encrypt", "-p", "pass:password", dir / "plain", "/dev/full"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: encrypt: /dev/full: write error: No space left on device\n");
}

// An output is never more readable than its input (nor setuid): its mode is
// the input's & 0666 & ~umask, also when --force replaces a file through a
// symbolic link, which stays.
TEST(Safety, OutputModesFollowTheInput) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(900));
  WriteFile(dir / "target", ToBytes("old contents"));
  chmod((dir / "target").c_str(), 06755);
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  const mode_t previous = umask(022);
  for (const unsigned mode : {0600u, 0644u, 0666u}) {
    chmod((dir / "plain").c_str(), mode);
    auto r = Pellfold({"encrypt", "--force", "-p", "pass:password", dir / "plain", dir / "link"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = Pellfold({"decrypt", "--force", "-p", "pass:password", dir / "target", dir / "back"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto after = Snapshot(dir.path());
    EXPECT_EQ(after.at("link").content, "target");
    EXPECT_EQ(after.at("target").mode & 07777, mode & 0644) << std::oct << mode;
    EXPECT_EQ(after.at("back").mode & 07777, mode & 0644) << std::oct << mode;
    EXPECT_EQ(after.size(), 4u);
  }
  umask(previous);
  EXPECT_TRUE(ReadFile(dir / "target") == AesEncypt(dir / "plain", u"password"));
}

// Closed standard descriptors are not handed to the files the program opens.
TEST(Safety, ClosedStandardDescriptors) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(1000));
  WriteFile(dir / "empty", {});
  const std::string program = PELLFOLD_PROGRAM;
  auto r = RunProcess(
      {"sh", "-c", program + " encrypt -p pass:short - " + dir / "out < " + dir / "plain 2>&-"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(ReadFile(dir / "out") == AesEncypt(dir / "plain", u"short"));
  r = RunProcess({"sh", "-c", program + " encrypt -p pass:password - " + dir / "none <&-"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "none") == AesEncypt(dir / "empty", u"password"));
}

// A file that grows while it is encrypted would get a header that disagrees
// with its body: refused, and nothing is left. 32 MiB make the read last
// long enough for the writer to run during it even on a busy machine.
TEST(Safety, InputThatChangesWhileReadFails) {
  TempDir dir;
  WriteFile(dir / "log", RandomBytes(32 << 20));
  std::atomic<bool> done{false};
  std::atomic<bool> growing{false};
  std::thread writer([&] {
    const int fd = open((dir / "log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    // One byte at a time without pause, until the program is done: on a
    // busy machine a writer that sleeps between writes may not wake up
    // while the program runs. Bounded (1 MB at most), so that a reader that
    // reads to the end does end.
    for (int i = 0; i < 1'000'000 && !done; ++i) {
      if (write(fd, "x", 1) < 0) break;
      growing = true;
    }
    growing = true;
    close(fd);
  });
  // The program starts only once the file is growing.
  while (!growing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto r = Pellfold({"encrypt", "-p", "pass:password", dir / "log", dir / "log.acbc"});
  done = true;
  writer.join();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "pellfold: encrypt: " + dir / "log: input changed while it was being read\n");
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"log"});
}

// Standard input that is a regular file already read from is taken from
// where it stands, and a file that reports size 0 but has content (under
// /proc) is read all the same.
TEST(Safety, InputsAreReadFromWhereTheyStand) {
  TempDir dir;
  const Bytes plain = RandomBytes(3000);
  WriteFile(dir / "plain", plain);
  WriteFile(dir / "tail", Bytes(plain.begin() + 100, plain.end()));
  Bytes skipped = RandomBytes(100);
  const Bytes encrypted = AesEncypt(dir / "plain", u"password");
  skipped.insert(skipped.end(), encrypted.begin(), encrypted.end());
  WriteFile(dir / "skipped", skipped);
  const std::string run = std::string(PELLFOLD_PROGRAM) + " ";
  const std::string skip = "(dd bs=100 count=1 of=/dev/null 2>/dev/null; " + run;
  const std::pair<std::string, std::string> cases[] = {
      {skip + "decrypt -p pass:password - -) < " + dir / "skipped", Text(plain)},
      {skip + "verify -p pass:password -) < " + dir / "skipped", "standard input: OK\n"},
      {skip + "encrypt -p pass:password - -) < " + dir / "plain",
       Text(AesEncypt(dir / "tail", u"password"))},
      {run + "encrypt -p pass:password /proc/version - | " + run + "decrypt -p pass:password - -",
       Text(ReadFile("/proc/version"))}};
  for (const auto& [command, out] : cases) {
    const auto r = RunProcess({"sh", "-c", command});
    EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err;
    EXPECT_TRUE(r.out == out) << command;
  }
}

// Once the new output is in place, a run says so, also when the folder's
// sync fails after that or a signal comes in the middle of the link or
// rename (strace puts the fault exactly there). Where the unnamed file
// cannot be linked, a named temporary file takes its place; one that cannot
// be removed after a failure is named. An input that cannot be removed is
// its own status.
TEST(Safety, OutputInPlaceIsReportedAsWritten) {
  if (RunProcess({"strace", "-o", "/dev/null", "true"}).exitCode != 0) GTEST_SKIP() << "no strace";
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(5000));
  const Bytes encrypted = AesEncypt(dir / "plain", u"password");
  const struct {
    std::vector<std::string> faults;
    std::vector<std::string> args;
    int exitCode;
    std::string message;  // "%" is the name of the file left behind
    std::size_t files;
    bool written;
    std::string out;  // found in standard output
  } cases[] = {
      {{"fsync:error=EIO:when=2"},
       {"encrypt", "-p", "pass:password", dir / "plain", dir / "out"},
       1,
       "encrypt: @/out: written, but its folder could not be synced: Input/output error\n",
       3,
       true,
       ""},
      {{"linkat:signal=SIGTERM"},
       {"encrypt", "-p", "pass:password", dir / "plain", dir / "out"},
       143,
       "encrypt: @/out: written; then stopped by SIGTERM\n",
       3,
       true,
       ""},
      {{"renameat,renameat2:signal=SIGINT"},
       {"rekey", "-p", "pass:old password", "--new-pass", "pass:password", dir / "old.acbc"},
       130,
       "rekey: @/old.acbc: written; then stopped by SIGINT\n",
       2,
       true,
       ""},
      {{"linkat:error=ENOENT"},
       {"encrypt", "-p", "pass:password", dir / "plain", dir / "out"},
       0,
       "",
       3,
       true,
       ""},
      {{"linkat:error=EPERM"},
       {"encrypt", "-f", "-p", "pass:password", dir / "plain", dir / "old.acbc"},
       0,
       "",
       2,
       true,
       ""},
      {{"linkat:error=ENOENT"},
       {"rekey", "-p", "pass:old password", "--new-pass", "pass:password", dir / "old.acbc"},
       0,
       "",
       2,
       true,
       ""},
      {{"linkat:error=EPERM"},
       {"sh", "-c",
        std::string(PELLFOLD_PROGRAM) + " encrypt -p pass:password - " + dir / "out" + " < " +
            dir / "plain"},
       0,
       "",
       3,
       true,
       ""},
      {{"linkat:error=ENOENT"},
       {"sh", "-c",
        std::string(PELLFOLD_PROGRAM) + " encrypt --format age --work-factor 1 " +
            "-p pass:password - " + dir / "out" + " < " + dir / "plain"},
       0,
       "",
       3,
       true,
       ""},
      {{"linkat:error=ENOENT", "renameat,renameat2:error=EIO", "unlink,unlinkat:error=EPERM"},
       {"encrypt", "-p", "pass:password", dir / "plain", dir / "out"},
       1,
       "encrypt: @/%: temporary file left behind: it could not be removed\n"
       "pellfold: encrypt: @/out: write error: Input/output error\n",
       3,
       false,
       ""},
      {{"linkat:error=ENOENT", "renameat,renameat2:error=EIO", "unlink,unlinkat:error=EPERM"},
       {"sh", "-c",
        std::string(PELLFOLD_PROGRAM) + " encrypt --format age --work-factor 1 " +
            "-p pass:password - " + dir / "out" + " < " + dir / "plain"},
       1,
       "encrypt: @/%: temporary file left behind: it could not be removed\n"
       "pellfold: encrypt: @/out: write error: Input/output error\n",
       3,
       false,
       ""},
      {{"unlink,unlinkat:error=EACCES"},
       {"encrypt", "--json", "--remove-input", "-p", "pass:password", dir / "plain", dir / "out"},
       1,
       "encrypt: @/plain: could not be removed: Permission denied\n",
       3,
       true,
       "\"status\": \"not_removed\""}};
  for (const auto& c : cases) {
    WriteFile(dir / "old.acbc", AesEncypt(dir / "plain", u"old password"));
    unlink((dir / "out").c_str());
    // A leak check cannot run under ptrace (in sanitizer builds).
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    std::vector<std::string> argv = {"env",      "ASAN_OPTIONS=" + options, "strace", "-f", "-o",
                                     "/dev/null"};
    for (const auto& fault : c.faults) {
      argv.insert(argv.end(), {"-e", "inject=" + fault});
    }
    if (c.args[0] != "sh") argv.push_back(PELLFOLD_PROGRAM);
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string what = c.faults[0] + " " + c.args.back();
    const auto r = RunProcess(argv);
    const auto names = ListDir(dir.path());
    std::string left;
    for (const auto& name : names) {
      if (name[0] == '.') left = name;
    }
    std::string message = c.message.empty() ? "" : "pellfold: " + Expand(c.message, dir.path());
    if (const std::size_t at = message.find('%'); at != std::string::npos) {
      message.replace(at, 1, left);
    }
    EXPECT_EQ(r.exitCode, c.exitCode) << what << ": " << r.err;
    EXPECT_EQ(r.err, message) << what;
    EXPECT_EQ(names.size(), c.files) << what;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << what << ": " << r.out;
    const bool age = c.args.back().find("--format age") != std::string::npos;
    const std::string written =
        c.args[0] == "rekey" || c.args.back() == dir / "old.acbc" ? dir / "old.acbc" : dir / "out";
    if (!c.written) {
      EXPECT_FALSE(std::filesystem::exists(written)) << what;
    } else if (age) {
      const auto back = Pellfold({"decrypt", "-p", "pass:password", written, "-"});
      EXPECT_TRUE(ToBytes(back.out) == ReadFile(dir / "plain")) << what << ": " << back.err;
    } else {
      EXPECT_TRUE(ReadFile(written) == encrypted) << what;
    }
    if (!left.empty()) unlink((dir / left).c_str());
  }
}

// Many files are committed together: one sync of their file system before
// any is linked, and their folder synced once. A file whose link fails is
// told alone, in its place in the run; the others are written.
TEST(Safety, ManyFilesAreCommittedTogether) {
  if (RunProcess({"strace", "-o", "/dev/null", "true"}).exitCode != 0) GTEST_SKIP() << "no strace";
  TempDir dir;
  std::vector<std::string> argv = {"env",
                                   "ASAN_OPTIONS=detect_leaks=0",
                                   "strace",
                                   "-f",
                                   "-o",
                                   dir / "log",
                                   "-e",
                                   "inject=linkat:error=EACCES:when=2",
                                   PELLFOLD_PROGRAM,
                                   "encrypt",
                                   "--json",
                                   "-p",
                                   "pass:password",
                                   "-m"};
  for (const char* name : {"a", "b", "c"}) {
    WriteFile(dir / name, RandomBytes(3000));
    argv.push_back(dir / name);
  }
  const auto r = RunProcess(argv);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::string statuses;
  for (std::size_t at = r.out.find("\"status\": \""); at != std::string::npos;
       at = r.out.find("\"status\": \"", at + 1)) {
    statuses += r.out.substr(at + 11, r.out.find('"', at + 11) - at - 11) + " ";
  }
  EXPECT_EQ(statuses, "ok write ok ") << r.out;
  const std::string log = Text(ReadFile(dir / "log"));
  const auto calls = [&](const std::string& call) {  // strace's lines: "PID call(...)"
    int n = 0;
    for (std::size_t at = log.find(" " + call); at != std::string::npos;
         at = log.find(" " + call, at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_EQ(calls("syncfs("), 1);
  EXPECT_EQ(calls("fsync(") + calls("fdatasync("), 1);  // the folder
  for (const char* name : {"a", "c"}) {
    EXPECT_TRUE(ReadFile(dir / (std::string(name) + ".acbc")) == AesEncypt(dir / name, u"password"))
        << name;
  }
  EXPECT_FALSE(FileExists(dir / "b.acbc"));
}

// --remove-input removes the file it read and no other, also while another
// file keeps trading names with the input (renameat2 RENAME_EXCHANGE, as
// an atomic save does); strace holds each removal back 20 ms, so that the
// names trade many times in between.
TEST(Safety, RemoveInputRemovesOnlyTheFileRead) {
  if (RunProcess({"strace", "-o", "/dev/null", "true"}).exitCode != 0) GTEST_SKIP() << "no strace";
  TempDir dir;
  const Bytes texts[] = {RandomBytes(1000), RandomBytes(1000)};
  WriteFile(dir / "a", texts[0]);
  WriteFile(dir / "b", texts[1]);
  const Bytes encrypted[] = {AesEncypt(dir / "a", u"password"), AesEncypt(dir / "b", u"password")};
  std::mutex names;  // held by the test between runs
  std::atomic<bool> done{false};
  std::thread trader([&] {
    while (!done) {
      const std::lock_guard<std::mutex> hold(names);
      renameat2(AT_FDCWD, (dir / "in").c_str(), AT_FDCWD, (dir / "other").c_str(), RENAME_EXCHANGE);
    }
  });
  for (int run = 0; run < 30; ++run) {
    {
      const std::lock_guard<std::mutex> hold(names);
      for (const char* name : {"in", "other", "in.acbc"}) unlink((dir / name).c_str());
      WriteFile(dir / "in", texts[0]);
      WriteFile(dir / "other", texts[1]);
    }
    const auto r =
        RunProcess({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                    "inject=unlink,unlinkat:delay_enter=20000", PELLFOLD_PROGRAM, "encrypt",
                    "--remove-input", "-p", "pass:password", dir / "in"});
    const std::lock_guard<std::mutex> hold(names);
    if (r.exitCode != 0) continue;  // the input was moved meanwhile: both stay
    // The file left is the one not read.
    const int read = ReadFile(dir / "in.acbc") == encrypted[0] ? 0 : 1;
    const std::string left = FileExists(dir / "in") ? dir / "in" : dir / "other";
    EXPECT_TRUE(ReadFile(left) == texts[1 - read]) << "run " << run << ": removed the wrong file";
    EXPECT_EQ(ListDir(dir.path()).size(), 4u) << run;
  }
  done = true;
  trader.join();
}

// No plaintext reaches a file but the output: a run creates only its
// output's unnamed temporary file, in the output's folder, and, from
// standard input to standard output, a private file in TMPDIR; nothing but
// standard output is given plaintext.
TEST(Safety, PlaintextReachesOnlyTheOutput) {
  if (RunProcess({"strace", "-o", "/dev/null", "true"}).exitCode != 0) GTEST_SKIP() << "no strace";
  TempDir dir;
  mkdir((dir / "tmp").c_str(), 0700);
  std::string text;
  while (text.size() < 100000) text += "PLAINTEXT-MARKER";
  WriteFile(dir / "plain", ToBytes(text));
  WriteFile(dir / "x.acbc", AesEncypt(dir / "plain", u"password"));
  const std::string x = Text(ReadFile(dir / "x.acbc"));
  const struct {
    std::vector<std::string> args;
    std::string input;
    std::string out;     // standard output
    std::string output;  // the file written, holding x.acbc's bytes
  } cases[] = {{{"upgrade", "--work-factor", "10", dir / "x.acbc"}, "", "", ""},
               {{"encrypt", "-", dir / "out"}, text, "", dir / "out"},
               {{"encrypt", "-", "-"}, text, x, ""},
               {{"decrypt", dir / "x.acbc", "-"}, "", text, ""},
               {{"decrypt", "-", "-"}, x, text, ""},
               {{"decrypt", "--range", "16:100K", dir / "x.acbc", "-"}, "", text.substr(16), ""}};
  for (const auto& c : cases) {
    std::vector<std::string> argv = {"env",
                                     "ASAN_OPTIONS=detect_leaks=0",
                                     "TMPDIR=" + dir / "tmp",
                                     "strace",
                                     "-f",
                                     "-o",
                                     dir / "log",
                                     "-e",
                                     "trace=openat,open,creat,write,pwrite64",
                                     PELLFOLD_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"-p", "pass:password"});
    const std::string what = c.args[0] + " " + c.args[c.args.size() - 2];
    const auto r = RunProcess(argv, c.input);
    ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;
    EXPECT_TRUE(r.out == c.out) << what;
    if (!c.output.empty()) {
      EXPECT_TRUE(Text(ReadFile(c.output)) == x) << what;
    }
    std::istringstream log(Text(ReadFile(dir / "log")));
    for (std::string line; std::getline(log, line);) {
      const bool creates = line.find("O_CREAT") != std::string::npos ||
                           line.find("O_TMPFILE") != std::string::npos ||
                           line.find("creat(") != std::string::npos;
      if (creates && line.find("= -1") == std::string::npos) {
        EXPECT_TRUE(line.find("O_TMPFILE") != std::string::npos ||
                    line.find(dir / "tmp/") != std::string::npos)
            << what << ": " << line;
      }
      if (line.find("write") != std::string::npos && line.find("write(1,") == std::string::npos) {
        EXPECT_EQ(line.find("PLAINTEXT-MARKER"), std::string::npos) << what << ": " << line;
      }
    }
  }
  EXPECT_EQ(ListDir(dir / "tmp").size(), 0u);
}

// A line on standard output is out before the next file is started: a run
// stopped while it waits for its second input has told the first.
TEST(Safety, LinesOfFilesDoneOutliveASignal) {
  TempDir dir;
  WriteFile(dir / "a", ToBytes("first"));
  WriteFile(dir / "a.acbc", AesEncypt(dir / "a", u"password"));
  ASSERT_EQ(mkfifo((dir / "f.acbc").c_str(), 0600), 0);
  const struct {
    std::vector<std::string> args;
    int signal;
    std::string first;
  } cases[] = {{{"encrypt", "--json", "-f", "-m", dir / "a", dir / "f.acbc"},
                SIGTERM,
                "{\"path\": \"" + dir / "a\""},
               {{"decrypt", "--json", "-f", "-m", dir / "a.acbc", dir / "f.acbc"},
                SIGINT,
                "{\"path\": \"" + dir / "a.acbc\""},
               {{"verify", dir / "a.acbc", dir / "f.acbc"}, SIGTERM, dir / "a.acbc: OK\n"}};
  for (const auto& c : cases) {
    std::vector<std::string> argv = {PELLFOLD_PROGRAM, "-p", "pass:password"};
    argv.insert(argv.begin() + 1, c.args.begin(), c.args.end());
    Child child = Spawn(argv, false, dir / "stdout", {});
    int feed = -1;
    for (int tries = 0; feed < 0 && tries < 1000; ++tries) {
      feed = open((dir / "f.acbc").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // once it reads
      if (feed < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(child.pid, c.signal);
    const int status = WaitFor(child.pid, 30);
    if (feed >= 0) close(feed);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + c.signal) << c.args[0];
    EXPECT_EQ(Text(ReadFile(dir / "stdout")).rfind(c.first, 0), 0u) << c.args[0];
  }
}

// inspect reads no further than its verdict needs, so an endless input ends.
TEST(Safety, InspectOfAnEndlessInputEnds) {
  auto r = Pellfold({"inspect", "/dev/zero"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "/dev/zero: not an ACBC file\n");
  r = RunProcess(
      {"sh", "-c",
       "{ printf 'ACBC 0'; cat /dev/zero; } | " + std::string(PELLFOLD_PROGRAM) + " inspect -"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find(": trailing bytes"), std::string::npos) << r.out;
}

// A terminating signal while the program waits for more input (copying it
// aside), or while it writes the temporary output of a large file: the
// status tells the signal, the temporary output is gone, the old output is
// intact, and standard output got nothing.
struct Interrupt {
  const char* command;
  bool fifo;      // input from a FIFO (else standard input, a pipe)
  bool toStdout;  // output "-" (else a file that exists)
  int signal;
  // Input a large file: interrupted once the temporary output exists, after
  // its directory was moved.
  bool large = false;
};

// Whether the process holds a private copy: an unlinked file in `tmpdir`
// (its TMPDIR, or the output's directory for an output not yet linked into
// place), of mode 0600 when `mode` is set.
bool HoldsPrivateCopy(pid_t pid, const std::string& tmpdir, bool mode = true) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& fd : ListDir(fds)) {
    char target[4096];
    const ssize_t n = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
    const std::string link(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    struct stat st {};
    if (link.rfind(tmpdir + "/", 0) == 0 && link.find(" (deleted)") != std::string::npos &&
        stat((fds + "/" + fd).c_str(), &st) == 0 && (!mode || (st.st_mode & 0777) == 0600)) {
      return true;
    }
  }
  return false;
}

class Interrupted : public testing::TestWithParam<Interrupt> {};

TEST_P(Interrupted, CleansUpAndExitsWith128PlusSignal) {
  const Interrupt& c = GetParam();
  const bool encrypt = std::string(c.command) == "encrypt";
  TempDir top, aside;
  const std::string dir = c.large ? top / "sub" : top.path();
  mkdir(dir.c_str(), 0700);
  WriteFile(dir + "/out", ToBytes("old contents"));
  if (c.fifo) {
    ASSERT_EQ(mkfifo((dir + "/in").c_str(), 0600), 0);
  }
  mkdir((aside / "tmp").c_str(), 0700);
  if (c.large) WriteFile(aside / "large", RandomBytes(64 << 20));
  const auto before = Snapshot(dir);

  const std::string input = c.large ? aside / "large" : c.fifo ? dir + "/in" : "-";
  Child child = Spawn({PELLFOLD_PROGRAM, c.command, "-q", "-f", "-p", "pass:password", input,
                       c.toStdout ? "-" : dir + "/out"},
                      !c.fifo && !c.large, aside / "stdout", {"TMPDIR=" + aside / "tmp"});
  int feed = child.stdinFd;
  for (int tries = 0; c.fifo && feed < 0 && tries < 1000; ++tries) {
    feed = open((dir + "/in").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // once it reads
    if (feed < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!c.large) {
    ASSERT_GE(feed, 0);
    fcntl(feed, F_SETFL, 0);
    // Some of the data, and then nothing: the program waits for the rest.
    Bytes data = RandomBytes(100000);
    if (!encrypt) std::copy_n("ACBC 200000", 12, data.begin());
    ASSERT_EQ(write(feed, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  // Interrupt once the work is under way: input from a pipe or FIFO is being
  // copied aside privately; a large file's temporary output exists.
  bool ready = false;
  for (int tries = 0; !ready && tries < 10000; ++tries) {
    // A pipe's plaintext goes into the output's own unnamed file only.
    ready = c.large ? ListDir(dir).size() > before.size() || HoldsPrivateCopy(child.pid, dir, false)
            : encrypt ? HoldsPrivateCopy(child.pid, dir, false)
                      : HoldsPrivateCopy(child.pid, aside / "tmp");
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(ready) << "the temporary output or the private copy never appeared";
  const std::string moved = top / "moved";
  if (c.large) {
    ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
  }
  kill(child.pid, c.signal);
  const int status = WaitFor(child.pid, 30);
  if (feed >= 0) close(feed);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
  EXPECT_TRUE(Snapshot(c.large ? moved : dir) == before)
      << "a temporary file stayed, or the output changed";
  EXPECT_TRUE(ListDir(aside / "tmp").empty());
  EXPECT_TRUE(ReadFile(aside / "stdout").empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         testing::Values(Interrupt{"encrypt", false, false, SIGINT},
                                         Interrupt{"encrypt", true, false, SIGTERM},
                                         Interrupt{"decrypt", false, false, SIGTERM},
                                         Interrupt{"decrypt", true, false, SIGINT},
                                         Interrupt{"decrypt", false, true, SIGINT},
                                         Interrupt{"encrypt", false, false, SIGHUP},
                                         Interrupt{"decrypt", true, false, SIGQUIT},
                                         Interrupt{"encrypt", false, false, SIGQUIT, true},
                                         Interrupt{"encrypt", false, false, SIGTERM, true}),
                         [](const testing::TestParamInfo<Interrupt>& p) {
                           return std::string(p.param.command) +
                                  (p.param.large  ? "Large"
                                   : p.param.fifo ? "Fifo"
                                                  : "Pipe") +
                                  (p.param.toStdout ? "ToStdout" : "ToFile") + "Signal" +
                                  std::to_string(p.param.signal);
                         });

// An input rewritten in place while it is read, its size kept, is refused and
// nothing is written: fault_shim overwrites its first bytes before the
// second read.
TEST(Safety, InputRewrittenWhileReadWritesNothing) {
  TempDir dir;
  WriteFile(dir / "plain", RandomBytes(1 << 20));
  const char* asan = std::getenv("ASAN_OPTIONS");
  const auto r = Pellfold(
      {"encrypt", "-p", "pass:password", dir / "plain", dir / "out"}, "",
      {"LD_PRELOAD=" FAULT_SHIM, "FAULT_CALL=pread", "FAULT_NTH=2",
       "FAULT_REWRITE=" + dir / "plain",
       "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "pellfold: encrypt: " + dir / "plain" + ": input changed while it was being read\n");
  EXPECT_EQ(ListDir(dir.path()).size(), 1u);
}

}  // namespace
}  // namespace pellfold::test
