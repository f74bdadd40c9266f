// pellfold hash: byte for byte the output of coreutils md5sum and sha256sum,
// and the HMAC-MD5 that openssl dgst computes, on the same files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "program.h"

namespace pellfold::test {
namespace {

std::vector<std::string> MakeFiles(const TempDir& dir) {
  std::vector<std::string> paths;
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"empty", {}},
      {"abc", ToBytes("abc")},
      {"random", RandomBytes(100000)},
      {"big", RandomBytes((1 << 20) + 3)},  // several read chunks
      {"with space", ToBytes("x")},
      // Names that md5sum escapes.
      {"back\\slash", ToBytes("y")},
      {"new\nline", ToBytes("z")},
      {"carriage\rreturn", ToBytes("w")},
  };
  for (const auto& [name, data] : files) {
    WriteFile(dir / name, data);
    paths.push_back(dir / name);
  }
  return paths;
}

class Digests : public testing::TestWithParam<std::string> {};

TEST_P(Digests, OutputEqualsCoreutils) {
  const std::string& algorithm = GetParam();
  const std::string tool = algorithm + "sum";
  TempDir dir;
  std::vector<std::string> files = MakeFiles(dir);

  std::vector<std::string> args = {"hash", algorithm};
  args.insert(args.end(), files.begin(), files.end());
  std::vector<std::string> toolArgs = {tool};
  toolArgs.insert(toolArgs.end(), files.begin(), files.end());
  auto ours = Pellfold(args);
  auto theirs = RunProcess(toolArgs);
  EXPECT_EQ(ours.exitCode, 0) << ours.err;
  EXPECT_EQ(ours.out, theirs.out);

  // A missing file is reported, the others are still hashed.
  args.insert(args.begin() + 3, dir / "missing");
  toolArgs.insert(toolArgs.begin() + 2, dir / "missing");
  ours = Pellfold(args);
  theirs = RunProcess(toolArgs);
  EXPECT_EQ(ours.exitCode, 1);
  EXPECT_EQ(theirs.exitCode, 1);
  EXPECT_EQ(ours.out, theirs.out);
  EXPECT_EQ(ours.err, "pellfold: hash: " + dir / "missing: No such file or directory\n");

  // A list of only good files passes; output that cannot be written fails
  // with the reason.
  WriteFile(dir / "good", ToBytes(RunProcess({tool, files[1]}).out));
  EXPECT_EQ(Pellfold({"hash", algorithm, "-c", dir / "good"}).out, files[1] + ": OK\n");
  EXPECT_EQ(Pellfold({"hash", algorithm, "-c", "--status", dir / "good"}).exitCode, 0);
  const auto full =
      RunProcess({"sh", "-c",
                  std::string(PELLFOLD_PROGRAM) + " hash " + algorithm + " /dev/null > /dev/full"});
  EXPECT_EQ(full.err, "pellfold: hash: standard output: write error: No space left on device\n");
  EXPECT_EQ(full.exitCode, 1);

  // Standard input, implied and named.
  const std::string data = Text(RandomBytes(5000));
  const std::string expected = RunProcess({tool}, data).out;
  EXPECT_EQ(Pellfold({"hash", algorithm}, data).out, expected);
  EXPECT_EQ(Pellfold({"hash", algorithm, "-"}, data).out, expected);
}

// --tag lines, and --check over lists in both forms with a corrupted and a
// missing file: the same lines, warnings and verdict as the coreutils tool.
TEST_P(Digests, TagAndCheckEqualCoreutils) {
  const std::string& algorithm = GetParam();
  const std::string tool = algorithm + "sum";
  TempDir dir;
  std::vector<std::string> files = MakeFiles(dir);
  std::vector<std::string> args = {"hash", algorithm, "--tag"};
  args.insert(args.end(), files.begin(), files.end());
  std::vector<std::string> toolArgs = {tool, "--tag"};
  toolArgs.insert(toolArgs.end(), files.begin(), files.end());
  const std::string tagged = RunProcess(toolArgs).out;
  EXPECT_EQ(Pellfold(args).out, tagged);

  toolArgs.erase(toolArgs.begin() + 1);
  std::string list = RunProcess(toolArgs).out + tagged + "not a digest line\n# comment\n";
  list += std::string(algorithm == "md5" ? 32 : 64, 'A') + "  " + dir / "missing\n";
  WriteFile(dir / "list", ToBytes(list));
  WriteFile(dir / "random", RandomBytes(100000));  // corrupted after listing
  for (const std::string mode : {"--check", "--quiet", "--status"}) {
    std::vector<std::string> flags = {"-c"};
    if (mode != "--check") flags.push_back(mode);
    flags.push_back(dir / "list");
    std::vector<std::string> check = {tool};
    check.insert(check.end(), flags.begin(), flags.end());
    const auto theirs = RunProcess(check);
    check = {"hash", algorithm};
    check.insert(check.end(), flags.begin(), flags.end());
    const auto ours = Pellfold(check);
    EXPECT_EQ(ours.out, theirs.out) << mode;
    std::string err = theirs.err;
    for (std::size_t at = 0; (at = err.find(tool + ": ", at)) != std::string::npos;) {
      err.replace(at, tool.size() + 2, "pellfold: hash: ");
    }
    EXPECT_EQ(ours.err, err) << mode;
    EXPECT_EQ(ours.exitCode, 1);
    EXPECT_EQ(theirs.exitCode, 1);
  }
}

// Files hashed side by side print exactly what one after another prints:
// the same lines, complaints and status, in operand order, for good,
// missing and unreadable (a directory) files, standard input and lists.
TEST_P(Digests, JobsGiveTheOutputOfOneJob) {
  const std::string& algorithm = GetParam();
  TempDir dir;
  std::vector<std::string> files = MakeFiles(dir);
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  files.insert(files.begin() + 1, dir / "missing");
  files.insert(files.begin() + 4, dir / "folder");
  files.insert(files.begin() + 5, "-");
  files.push_back(dir / "missing too");
  std::vector<std::string> listed = {"hash", algorithm};
  listed.insert(listed.end(), files.begin(), files.end());
  WriteFile(dir / "list", ToBytes(Pellfold(listed, "stdin").out + Pellfold(listed, "x").out));
  WriteFile(dir / "abc", ToBytes("abd"));  // now fails its check
  std::vector<std::string> tagged = {"--tag"};
  tagged.insert(tagged.end(), files.begin(), files.end());
  const std::vector<std::vector<std::string>> tails = {
      files,
      tagged,
      {"-c", dir / "list", dir / "missing", dir / "list"},
      {"-c", "--quiet", dir / "list"}};
  for (const auto& tail : tails) {
    std::vector<std::string> args = {"hash", algorithm};
    args.insert(args.end(), tail.begin(), tail.end());
    args.push_back("-j1");
    const auto one = Pellfold(args, "stdin");
    EXPECT_EQ(one.exitCode, 1) << one.err;
    for (const std::string jobs : {"-j2", "-j5", "--jobs=64"}) {
      args.back() = jobs;
      const auto many = Pellfold(args, "stdin");
      EXPECT_EQ(many.out, one.out) << jobs;
      EXPECT_EQ(many.err, one.err) << jobs;
      EXPECT_EQ(many.exitCode, one.exitCode) << jobs;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, Digests, testing::Values("md5", "sha256"));

// The key bytes as they are, of every length class HMAC treats differently
// (empty, short, a whole block, longer than a block and hashed first).
TEST(HmacMd5, EqualsOpensslDgstForEveryKeyAndFile) {
  TempDir dir;
  std::vector<std::string> files = MakeFiles(dir);
  files.resize(4);  // names openssl prints without escapes
  for (const std::string& key : {std::string("key"), std::string(), std::string(64, 'k'),
                                 std::string(100, 'q') + "\xc3\xa4"}) {
    std::string expected;
    for (const auto& file : files) {
      const auto o = RunProcess({"openssl", "dgst", "-md5", "-hmac", key, "-r", file});
      ASSERT_EQ(o.exitCode, 0) << o.err;
      expected += o.out.substr(0, 32) + "  " + file + "\n";
    }
    std::vector<std::string> args = {"hash", "hmac-md5", "--key", "pass:" + key};
    args.insert(args.end(), files.begin(), files.end());
    const auto r = Pellfold(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, expected) << "key of " << key.size() << " bytes";
  }
}

TEST(HmacMd5, KeySourcesGiveTheSameKey) {
  TempDir dir;
  WriteFile(dir / "data", RandomBytes(3000));
  WriteFile(dir / "key", ToBytes("key text\r\n"));
  const std::string expected =
      Pellfold({"hash", "hmac-md5", "-k", "pass:key text", dir / "data"}).out;
  ASSERT_EQ(expected.size(), 35 + (dir / "data").size());
  EXPECT_EQ(Pellfold({"hash", "hmac-md5", "--key", "file:" + dir / "key", dir / "data"}).out,
            expected);
  EXPECT_EQ(Pellfold({"hash", "hmac-md5", "--key=env:K", dir / "data"}, "", {"K=key text"}).out,
            expected);
  EXPECT_EQ(Pellfold({"hash", "hmac-md5", "--key", "stdin", dir / "data"}, "key text\n").out,
            expected);
}

TEST(HashUsage, WrongCommandLinesAreUsageErrors) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"hash"},
                                               {"hash", "sha1"},
                                               {"hash", "hmac-md5", "/dev/null"},
                                               {"hash", "md5", "--key", "pass:k", "/dev/null"},
                                               {"hash", "hmac-md5", "--key", "stdin"},
                                               {"hash", "md5", "--tag", "-c"},
                                               {"hash", "md5", "--status"},
                                               {"hash", "md5", "-j", "0"},
                                               {"hash", "md5", "-j", "2x"},
                                               {"hash", "md5", "-j1", "-j2"}}) {
    const auto r = Pellfold(args);
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_NE(r.err.find("Try 'pellfold hash --help'"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace pellfold::test
