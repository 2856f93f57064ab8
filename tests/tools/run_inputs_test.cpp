// The files a run is given, checked before it starts, on the real file system.
#include "tools/run_inputs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::tools {
namespace {

class RunInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vx-run-inputs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Make(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static bool Says(const std::string& problem, const std::string& words) {
    return problem.find(words) != std::string::npos;
  }
  std::string dir_;
};

// What cannot be judged is refused before the run: nothing to send, a size
// that says nothing of the contents, a name the window cannot carry.
TEST_F(RunInputs, AFileThatCannotBeSentAndJudgedIsRefusedWithItsReason) {
  EXPECT_EQ(SourceFileProblem(Make("sample.bin", "hello")), "");
  EXPECT_EQ(SourceFileProblem(Make("caf\xc3\xa9 menu.txt", "x")), "") << "UTF-8 and spaces are fine";
  EXPECT_PRED2(Says, SourceFileProblem(Make("empty.bin", "")), "is empty: there is nothing to send");
  EXPECT_PRED2(Says, SourceFileProblem("/proc/self/status"), "is made up by the system as it is read");
  if (access("/sys/kernel/uevent_seqnum", R_OK) == 0) {  // holds a few bytes, says 4096
    EXPECT_PRED2(Says, SourceFileProblem("/sys/kernel/uevent_seqnum"), "is made up by the system as it is read");
  }
  EXPECT_PRED2(Says, SourceFileProblem(dir_), "is not a regular file");
  EXPECT_PRED2(Says, SourceFileProblem(dir_ + "/missing"), "cannot read");
  EXPECT_PRED2(Says, SourceFileProblem(Make("lat\xe9.bin", "x")), "is not UTF-8");
  EXPECT_PRED2(Says, SourceFileProblem(Make("\xc3(.bin", "x")), "is not UTF-8") << "a lead byte with no follower";
  for (const char* name : {"\xc0\xaf.bin", "\xe0\x80\x80.bin", "\xf0\x80\x80\x80.bin"})
    EXPECT_PRED2(Says, SourceFileProblem(Make(name, "x")), "is not UTF-8") << "an overlong form";
  EXPECT_PRED2(Says, SourceFileProblem(Make("\xed\xa0\x80.bin", "x")), "is not UTF-8") << "a surrogate";
  EXPECT_PRED2(Says, SourceFileProblem(Make("\xf4\x90\x80\x80.bin", "x")), "is not UTF-8") << "past U+10FFFF";
  EXPECT_PRED2(Says, SourceFileProblem(Make("\xf5\x80\x80\x80.bin", "x")), "is not UTF-8") << "no such lead";
  EXPECT_EQ(SourceFileProblem(Make("\xf0\x9f\x93\x84 \xed\x9f\xbf.bin", "x")), "") << "U+1F4C4 and U+D7FF";
}

// A report that would destroy the file under test, or could not be written
// at all, is a bad argument found before a long run, not after it.
TEST_F(RunInputs, AReportTargetIsCheckedBeforeTheRunAndLeftAsItWas) {
  const std::string sent = Make("firmware.bin", "payload");
  EXPECT_PRED2(Says, ReportTargetProblem(sent, sent), "is the file to send");
  ASSERT_EQ(link(sent.c_str(), (dir_ + "/alias.bin").c_str()), 0);
  EXPECT_PRED2(Says, ReportTargetProblem(dir_ + "/alias.bin", sent), "is the file to send") << "a second name";
  EXPECT_PRED2(Says, ReportTargetProblem(dir_, sent), "is a directory");
  EXPECT_PRED2(Says, ReportTargetProblem(dir_ + "/no/such/dir/report.json", sent), "cannot write the report");

  const std::string fresh = dir_ + "/report.json";
  EXPECT_EQ(ReportTargetProblem(fresh, sent), "");
  struct stat st;
  EXPECT_NE(stat(fresh.c_str(), &st), 0) << "the check leaves no empty report behind";
  const std::string old = Make("old.json", "{\"verdict\": \"ok\"}");
  EXPECT_EQ(ReportTargetProblem(old, sent), "");
  ASSERT_EQ(stat(old.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 17) << "an earlier report is not cut before the run has one to put in its place";

  // A named pipe is not opened to ask (its reader would take that for an
  // empty report and go); a link that leads nowhere is left as it is.
  const std::string pipe = dir_ + "/report.fifo";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(ReportTargetProblem(pipe, sent), "") << "it would block here, with no reader";
  const std::string dangling = dir_ + "/link.json";
  ASSERT_EQ(symlink((dir_ + "/target.json").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(ReportTargetProblem(dangling, sent), "");
  EXPECT_EQ(lstat(dangling.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is still a link";
  EXPECT_NE(stat((dir_ + "/target.json").c_str(), &st), 0) << "and leads nowhere still";
}

}  // namespace
}  // namespace vx::tools
