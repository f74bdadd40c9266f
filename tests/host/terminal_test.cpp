// The program's conventions: --help and --version, usage errors, and what
// it does on a terminal (driven through a pseudo-terminal): the password
// prompt without echo, the refusal to print ciphertext, progress on stderr.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <tuple>

#include "program.h"

namespace pellfold::test {
namespace {

TEST(Cli, HelpVersionAndUsageErrors) {
  for (const std::string command : {"encrypt", "decrypt", "verify", "rekey", "inspect", "hash"}) {
    for (const auto& args :
         {std::vector<std::string>{command, "--help"}, {command, "-h"}, {"help", command}}) {
      const auto r = Pellfold(args);
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.out.rfind("Usage: pellfold " + command + " ", 0), 0u) << r.out;
      EXPECT_EQ(r.err, "");
    }
  }
  auto r = Pellfold({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* command : {"encrypt", "decrypt", "rekey", "inspect", "hash"}) {
    EXPECT_NE(r.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
  }
  EXPECT_EQ(Pellfold({"help", "help"}).out, r.out);
  r = Pellfold({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "pellfold 1.0.0.1\n");

  r = Pellfold({});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err.rfind("Usage: pellfold COMMAND", 0), 0u);
  r = Pellfold({"frobnicate"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(
      r.err,
      "pellfold: unknown command 'frobnicate'\nTry 'pellfold --help' for more information.\n");
  // Output that cannot be written is a failure, not a silent success.
  EXPECT_EQ(
      RunProcess({"sh", "-c", std::string(PELLFOLD_PROGRAM) + " --help > /dev/full"}).exitCode, 1);
}

class Terminal : public testing::Test {
 protected:
  void SetUp() override {
    plain_ = RandomBytes(2000);
    WriteFile(dir_ / "plain", plain_);
    WriteFile(dir_ / "enc.acbc", AesEncypt(dir_ / "plain", u"typed secret"));
  }
  TempDir dir_;
  Bytes plain_;
};

TEST_F(Terminal, EncryptAsksTwiceWithoutEcho) {
  const auto r =
      RunInPty({PELLFOLD_PROGRAM, "encrypt", dir_ / "plain", dir_ / "out"},
               {{"Password: ", "typed secret\n"}, {"Repeat password: ", "typed secret\n"}});
  EXPECT_EQ(r.exitCode, 0) << r.transcript;
  EXPECT_EQ(r.transcript.find("typed secret"), std::string::npos) << "the password was echoed";
  EXPECT_TRUE(r.echoAfter);
  EXPECT_TRUE(ReadFile(dir_ / "out") == ReadFile(dir_ / "enc.acbc"));
  // Once, on the terminal only (never in a pipe: see the progress test).
  const std::string note = "pellfold: encrypt: note: ACBC has no integrity check";
  EXPECT_NE(r.transcript.find(note), std::string::npos) << r.transcript;
  EXPECT_EQ(r.transcript.find(note), r.transcript.rfind(note));
}

TEST_F(Terminal, DecryptAsksOnce) {
  const auto r = RunInPty({PELLFOLD_PROGRAM, "decrypt", dir_ / "enc.acbc", dir_ / "out"},
                          {{"Password: ", "typed secret\n"}});
  EXPECT_EQ(r.exitCode, 0) << r.transcript;
  EXPECT_EQ(r.transcript.find("Repeat"), std::string::npos);
  EXPECT_TRUE(ReadFile(dir_ / "out") == plain_);
}

TEST_F(Terminal, DifferentAnswersFailAndWriteNothing) {
  const auto before = Snapshot(dir_.path());
  const auto r = RunInPty({PELLFOLD_PROGRAM, "encrypt", dir_ / "plain", dir_ / "out"},
                          {{"Password: ", "one\n"}, {"Repeat password: ", "two\n"}});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.transcript.find("pellfold: encrypt: passwords do not match"), std::string::npos);
  EXPECT_TRUE(Snapshot(dir_.path()) == before);
}

// Also for many files prepared before the prompt, each with a named
// temporary file where the file system has no unnamed ones.
TEST_F(Terminal, InterruptAtThePromptRestoresEchoAndCleansUp) {
  WriteFile(dir_ / "second", plain_);
  const auto before = Snapshot(dir_.path());
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
  for (const auto& argv :
       {std::vector<std::string>{PELLFOLD_PROGRAM, "encrypt", dir_ / "plain", dir_ / "out"},
        {"/usr/bin/env", "LD_PRELOAD=" FAULT_SHIM, "FAULT_OLD_FS=1", asanOptions, PELLFOLD_PROGRAM,
         "encrypt", "-m", dir_ / "plain", dir_ / "second"}}) {
    const auto r = RunInPty(argv, {{"Password: ", "\x03"}});  // Ctrl-C
    EXPECT_EQ(r.exitCode, 130) << r.transcript;
    EXPECT_TRUE(r.echoAfter) << "echo stayed off";
    EXPECT_TRUE(Snapshot(dir_.path()) == before) << argv.back();
  }
}

// Ctrl-Z at the prompt gives the shell a terminal that echoes; after SIGCONT
// echo is off again and the prompt shows once more. `--pass stdin` on a
// terminal asks the same way.
TEST_F(Terminal, StopAndContinueAtThePromptKeepTheEchoRight) {
  const auto r =
      RunInPty({PELLFOLD_PROGRAM, "decrypt", "--pass", "stdin", dir_ / "enc.acbc", dir_ / "out"},
               {{"Password: ", "\x1a"}, {"\n", "", SIGCONT}, {"Password: ", "typed secret\n"}});
  EXPECT_EQ(r.exitCode, 0) << r.transcript;
  EXPECT_TRUE(r.echoStopped) << "echo stayed off while stopped";
  EXPECT_EQ(r.transcript.find("typed secret"), std::string::npos) << "the password was echoed";
  EXPECT_TRUE(ReadFile(dir_ / "out") == plain_);
}

// Many files, one prompt (asked twice for encryption).
TEST_F(Terminal, ManyFilesAskOnce) {
  WriteFile(dir_ / "second", plain_);
  const auto r =
      RunInPty({PELLFOLD_PROGRAM, "encrypt", "-m", dir_ / "plain", dir_ / "second"},
               {{"Password: ", "typed secret\n"}, {"Repeat password: ", "typed secret\n"}});
  EXPECT_EQ(r.exitCode, 0) << r.transcript;
  EXPECT_EQ(r.transcript.find("Password: ", r.transcript.find("Repeat")), std::string::npos);
  EXPECT_TRUE(ReadFile(dir_ / "second.acbc") == ReadFile(dir_ / "enc.acbc"));
}

TEST_F(Terminal, CiphertextIsNotWrittenToATerminal) {
  const auto r = RunInPty({PELLFOLD_PROGRAM, "encrypt", "-p", "pass:x", dir_ / "plain", "-"}, {});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.transcript,
            "pellfold: encrypt: standard output: refusing to write ciphertext to a terminal\r\n");
}

TEST_F(Terminal, WithoutATerminalOrPassItFailsAtOnce) {
  const auto before = Snapshot(dir_.path());
  for (const std::string command : {"encrypt", "decrypt"}) {
    // setsid: a new session has no controlling terminal to ask on.
    const auto r =
        RunProcess({"setsid", "-w", PELLFOLD_PROGRAM, command,
                    command == "encrypt" ? dir_ / "plain" : dir_ / "enc.acbc", dir_ / "out"});
    EXPECT_EQ(r.exitCode, 2) << command;
    EXPECT_EQ(r.err, "pellfold: " + command +
                         ": no password given and no terminal to ask for one: use --pass\n"
                         "Try 'pellfold " +
                         command + " --help' for more information.\n");
  }
  EXPECT_TRUE(Snapshot(dir_.path()) == before);
}

// A progress line: "pellfold: encrypt: FILE: NN% of X MiB, Y MiB/s, M:SS left".
bool ShowsProgress(const std::string& transcript, const std::string& file) {
  const std::size_t at = transcript.find("\rpellfold: encrypt: " + file + ": ");
  if (at == std::string::npos) return false;
  const std::size_t percent = transcript.find("% of ", at);
  return percent != std::string::npos && std::isdigit(transcript[percent - 1]) != 0 &&
         transcript.find(" MiB, ", percent) != std::string::npos &&
         transcript.find(" MiB/s, 0:0", percent) != std::string::npos &&
         transcript.find(" left", percent) != std::string::npos;
}

// Progress shows on a terminal once the work takes a while, and never with
// --quiet or when stderr is not a terminal. The output is a FIFO drained
// slowly, so each run lasts about a second on any machine.
TEST_F(Terminal, ProgressShowsOnATerminalUnlessQuiet) {
  WriteFile(dir_ / "big", RandomBytes(2 << 20));
  const Bytes expected = AesEncypt(dir_ / "big", u"password");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  enum Mode { kTerminal, kQuiet, kPipe };
  for (const Mode mode : {kTerminal, kQuiet, kPipe}) {
    Bytes received;
    std::thread reader([&] {
      const int fd = open((dir_ / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
      std::vector<std::uint8_t> chunk(1 << 16);
      ssize_t n = 0;
      while ((n = read(fd, chunk.data(), chunk.size())) > 0) {
        received.insert(received.end(), chunk.begin(), chunk.begin() + n);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
      close(fd);
    });
    std::vector<std::string> argv = {PELLFOLD_PROGRAM, "encrypt",    "-p",
                                     "pass:password",  dir_ / "big", dir_ / "fifo"};
    if (mode == kQuiet) argv.push_back("--quiet");
    std::string shown;
    int exitCode = -1;
    if (mode == kPipe) {
      const auto r = RunProcess(argv);
      std::tie(exitCode, shown) = std::make_tuple(r.exitCode, r.err);
    } else {
      const auto r = RunInPty(argv, {});
      std::tie(exitCode, shown) = std::make_tuple(r.exitCode, r.transcript);
    }
    reader.join();
    EXPECT_EQ(exitCode, 0) << shown;
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(ShowsProgress(shown, dir_ / "big"), mode == kTerminal) << shown;
    EXPECT_TRUE(mode == kTerminal || shown.empty()) << shown;
  }
}

}  // namespace
}  // namespace pellfold::test
