// The two exports, each call in a child process: results, argument
// conversion, and the fatal exit (status 1, stdio flushed, exit handlers
// skipped, the files left as promised).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "acbc_expect.h"
#include "files.h"
#include "service/acbc_format.h"

namespace pellfold {
namespace {

using test::Bytes;
using test::ExportChildArgument;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kBefore = "before\n";

test::ProcessResult Call(const std::string& op, const std::string& in, const std::string& out,
                         const std::string& password) {
  return test::RunProcess({EXPORT_CHILD, op, in, out, password});
}

void ExpectFatal(const test::ProcessResult& r, const std::string& stdoutAfterBefore = "") {
  EXPECT_EQ(r.exitCode, 1) << r.err;
  // The host's buffered output was flushed, and its atexit handler did not run.
  EXPECT_EQ(r.out, kBefore + stdoutAfterBefore);
}

TEST(Exports, RoundTripReturns999And0AndWritesWhatTheCoreWrites) {
  test::TempDir dir;
  const Bytes plain = test::RandomBytes(5000);
  WriteFile(dir / "plain", plain);
  auto r = Call("encrypt", dir / "plain", dir / "enc", "secret");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string(kBefore) + "returned 999\natexit ran\n");
  EXPECT_TRUE(ReadFile(dir / "enc") == test::ExpectedAcbc(plain, "secret"));

  ASSERT_EQ(AcbcEncryptFile((dir / "plain").c_str(), (dir / "core").c_str(),
                            reinterpret_cast<const std::uint8_t*>("secret"), 6),
            AcbcStatus::kOk);
  EXPECT_TRUE(ReadFile(dir / "core") == ReadFile(dir / "enc"));

  r = Call("decrypt", dir / "enc", dir / "dec", "secret");
  EXPECT_EQ(r.out, std::string(kBefore) + "returned 0\natexit ran\n");
  EXPECT_TRUE(ReadFile(dir / "dec") == plain);
}

// Wide passwords reach the key as UTF-8, whatever the locale.
struct PasswordCase {
  std::u16string wide;
  std::string utf8;
};

class ExportPasswords : public testing::TestWithParam<PasswordCase> {};

TEST_P(ExportPasswords, KeyIsTheUtf8Form) {
  test::TempDir dir;
  const Bytes plain = test::RandomBytes(700);
  WriteFile(dir / "plain", plain);
  const auto r = Call("encrypt", dir / "plain", dir / "enc", ExportChildArgument(GetParam().wide));
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(ReadFile(dir / "enc") == test::ExpectedAcbc(plain, GetParam().utf8));
  ASSERT_EQ(
      Call("decrypt", dir / "enc", dir / "dec", ExportChildArgument(GetParam().wide)).exitCode, 0);
  EXPECT_TRUE(ReadFile(dir / "dec") == plain);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, ExportPasswords,
    testing::Values(PasswordCase{u"", ""},
                    PasswordCase{u"p\u00e4ssw\u00f6rd", "p\xc3\xa4ssw\xc3\xb6rd"},
                    PasswordCase{u"\u20ac\u4e2d", "\xe2\x82\xac\xe4\xb8\xad"},
                    PasswordCase{u"\U0001F600", "\xf0\x9f\x98\x80"},
                    // Unpaired surrogates become U+FFFD.
                    PasswordCase{std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)},
                                 "a\xef\xbf\xbd"
                                 "b\xef\xbf\xbd"},
                    PasswordCase{std::u16string{char16_t(0xDBFF)}, "\xef\xbf\xbd"},
                    // Only 32 bytes count, and a password of any length is safe.
                    PasswordCase{std::u16string(5000, u'x'), std::string(32, 'x')}));

TEST(Exports, CharacterDevicesThatSeekAreEmptyInputs) {
  // /dev/null and /dev/zero both seek to length 0: one record each, and
  // /dev/zero is not read for ever.
  test::TempDir dir;
  for (const char* device : {"/dev/null", "/dev/zero"}) {
    const auto r = Call("encrypt", device, dir / "enc", "pw");
    EXPECT_EQ(r.out, std::string(kBefore) + "returned 999\natexit ran\n") << device;
    EXPECT_TRUE(ReadFile(dir / "enc") == test::ExpectedAcbc({}, "pw")) << device;
  }
}

// A new output is no more readable than the input (its mode & 0666, less
// the umask); an existing output keeps its mode.
TEST(Exports, OutputModeFollowsTheInput) {
  struct Case {
    mode_t input, umask, existing, expected;  // existing 0: no output yet
  };
  const Case cases[] = {{0600, 022, 0, 0600},
                        {0644, 022, 0, 0644},
                        {0755, 0, 0, 0644},
                        {0666, 027, 0, 0640},
                        {0600, 022, 0604, 0604}};
  test::TempDir dir;
  const Bytes plain = test::RandomBytes(100);
  for (const Case& c : cases) {
    for (const char* op : {"encrypt", "decrypt"}) {
      SCOPED_TRACE(testing::Message() << op << " " << std::oct << c.input << " " << c.umask);
      const std::string in = dir / (std::string(op) + ".in"), out = dir / "out";
      WriteFile(in, op[0] == 'e' ? plain : test::ExpectedAcbc(plain, "pw"));
      ASSERT_EQ(chmod(in.c_str(), c.input), 0);
      unlink(out.c_str());
      if (c.existing != 0) {
        WriteFile(out, {1});
        ASSERT_EQ(chmod(out.c_str(), c.existing), 0);
      }
      const mode_t saved = umask(c.umask);
      const auto r = Call(op, in, out, "pw");
      umask(saved);
      EXPECT_EQ(r.exitCode, 0) << r.err;
      struct stat st {};
      ASSERT_EQ(stat(out.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, c.expected);
    }
  }
}

// Decryption reads only the records the header's length needs, so an input
// that never ends (a FIFO fed for ever) ends the call: the writer is ended by
// SIGPIPE, not by its alarm.
TEST(Exports, DecryptOfAnEndlessFifoEnds) {
  test::TempDir dir;
  const Bytes plain = test::RandomBytes(1000);
  const Bytes file = test::ExpectedAcbc(plain, "pw");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    alarm(30);
    const int fd = open((dir / "fifo").c_str(), O_WRONLY);
    if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()))
      _exit(2);
    const Bytes more(65536, 0x5a);
    while (write(fd, more.data(), more.size()) > 0) {
    }
    _exit(3);
  }
  const auto r = Call("decrypt", dir / "fifo", dir / "out", "pw");
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ReadFile(dir / "out") == plain);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
}

TEST(Exports, NonAsciiPathsAreUtf8) {
  test::TempDir dir;
  const std::u16string base(dir.path().begin(), dir.path().end());
  const Bytes plain = test::RandomBytes(10);
  WriteFile(dir / "pl\xc3\xa4in", plain);
  ASSERT_EQ(Call("encrypt", ExportChildArgument(base + u"/pl\u00e4in"),
                 ExportChildArgument(base + u"/\u00fcn\u00efc\u00f8d\u00e9"), "pw")
                .exitCode,
            0);
  EXPECT_TRUE(ReadFile(dir / "\xc3\xbcn\xc3\xaf"
                             "c\xc3\xb8"
                             "d\xc3\xa9") == test::ExpectedAcbc(plain, "pw"));
}

TEST(ExportsFatal, NullArgumentTouchesNoFile) {
  test::TempDir dir;
  WriteFile(dir / "in", test::RandomBytes(10));
  WriteFile(dir / "existing", {7, 7});
  for (const char* op : {"encrypt", "decrypt"}) {
    SCOPED_TRACE(op);
    ExpectFatal(Call(op, "(null)", dir / "out", "pw"));
    ExpectFatal(Call(op, dir / "in", "(null)", "pw"));
    ExpectFatal(Call(op, dir / "in", dir / "out", "(null)"));
    ExpectFatal(Call(op, dir / "in", dir / "existing", "(null)"));
    EXPECT_FALSE(test::FileExists(dir / "out"));
    EXPECT_TRUE(ReadFile(dir / "existing") == Bytes({7, 7}));
  }
}

TEST(ExportsFatal, MissingInputCreatesNoOutput) {
  test::TempDir dir;
  for (const char* op : {"encrypt", "decrypt"}) {
    ExpectFatal(Call(op, dir / "missing", dir / "out", "pw"));
    EXPECT_FALSE(test::FileExists(dir / "out"));
  }
}

TEST(ExportsFatal, WrongMagicPrintsTheMessageAndLeavesAnEmptyOutput) {
  test::TempDir dir;
  for (const std::string content : {"", "ACB", "acbc 12", "ACBC-5", "ACBC z"}) {
    WriteFile(dir / "in", Bytes(content.begin(), content.end()));
    WriteFile(dir / "out", {1, 2, 3});
    ExpectFatal(Call("decrypt", dir / "in", dir / "out", "pw"), "error: wrong input file format\n");
    EXPECT_TRUE(ReadFile(dir / "out").empty()) << content;
  }
}

TEST(ExportsFatal, OutputThatIsTheInputLeavesTheInputIntact) {
  test::TempDir dir;
  const Bytes before = test::ExpectedAcbc(test::RandomBytes(1000), "pw");
  WriteFile(dir / "in", before);
  ASSERT_EQ(link((dir / "in").c_str(), (dir / "alias").c_str()), 0);
  for (const char* op : {"encrypt", "decrypt"}) {
    ExpectFatal(Call(op, dir / "in", dir / "alias", "pw"));
    ExpectFatal(Call(op, dir / "in", dir / "in", "pw"));
    EXPECT_TRUE(ReadFile(dir / "in") == before) << op;
  }
}

TEST(ExportsFatal, OverlongPathFailsLikeAnUnopenableFile) {
  test::TempDir dir;
  WriteFile(dir / "in", test::RandomBytes(10));
  // Fits in UTF-16 units but its UTF-8 form (3 bytes per unit) exceeds PATH_MAX.
  const std::u16string longName = u"/" + std::u16string(PATH_MAX / 2, u'\u4e2d');
  const std::u16string base(dir.path().begin(), dir.path().end());
  ExpectFatal(Call("encrypt", ExportChildArgument(base + longName), dir / "out", "pw"));
  EXPECT_FALSE(test::FileExists(dir / "out"));
  ExpectFatal(Call("encrypt", dir / "in", ExportChildArgument(base + longName), "pw"));
  EXPECT_EQ(test::ListDir(dir.path()), std::vector<std::string>{"in"});
}

TEST(ExportsFatal, InputWithoutALengthLeavesTheOutputAlone) {
  test::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int writer = open((dir / "fifo").c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  WriteFile(dir / "out", {5});
  ExpectFatal(Call("encrypt", dir / "fifo", dir / "out", "pw"));
  EXPECT_TRUE(ReadFile(dir / "out") == Bytes({5}));
  close(writer);
}

TEST(ExportsFatal, WriteErrorAtCloseIsNotSuccess) {
  test::TempDir dir;
  WriteFile(dir / "in", test::RandomBytes(10));
  ExpectFatal(Call("encrypt", dir / "in", "/dev/full", "pw"));
  WriteFile(dir / "acbc", test::ExpectedAcbc(test::RandomBytes(10), "pw"));
  ExpectFatal(Call("decrypt", dir / "acbc", "/dev/full", "pw"));
}

}  // namespace
}  // namespace pellfold
