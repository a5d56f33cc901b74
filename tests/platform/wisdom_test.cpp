// FFTW's wisdom on disk, seen from new processes (wisdom_probe): what one process measured,
// the next one knows; a file FFTW does not accept is passed over and replaced; the disk is
// left alone when told to, and a cache that cannot be written is no error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class WisdomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvex-wisdom-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Exit status of the probe, run with `env` (assignments for env(1)) in its environment.
  int Probe(const std::string& env, const char* mode, int rows = 40, int cols = 48) const {
    std::ostringstream command;
    command << "env -u KORVEX_FFTW_WISDOM -u KORVEX_FFTW_PLANNER -u XDG_CACHE_HOME " << env << " '"
            << KORVEX_WISDOM_PROBE << "' " << mode << ' ' << rows << ' ' << cols;
    const int status = std::system(command.str().c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Cache() const { return "XDG_CACHE_HOME=" + dir_.string(); }
  fs::path File() const { return dir_ / "korvex" / "fftw-wisdom-float"; }
  std::string Read() const {
    std::ifstream in(File());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const std::string& text) const {
    fs::create_directories(File().parent_path());
    std::ofstream(File()) << text;
  }
  // Files in the wisdom folder: the wisdom alone, no temporary left behind.
  size_t Files() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(File().parent_path())) n += entry.exists();
    return n;
  }

  fs::path dir_;
};

TEST_F(WisdomTest, WhatOneProcessMeasuredTheNextKnows) {
  EXPECT_EQ(Probe(Cache(), "known"), 3);
  ASSERT_EQ(Probe(Cache(), "plan"), 0);
  ASSERT_TRUE(fs::exists(File()));
  EXPECT_EQ(Files(), 1u);
  EXPECT_EQ(Probe(Cache(), "known"), 0);
  EXPECT_EQ(Probe(Cache(), "known", 36, 50), 3);  // a geometry never planned
  // Without XDG_CACHE_HOME (or with a relative one) the cache is ~/.cache.
  const std::string home = "HOME=" + (dir_ / "home").string();
  ASSERT_EQ(Probe(home + " XDG_CACHE_HOME=relative", "plan"), 0);
  EXPECT_TRUE(fs::exists(dir_ / "home" / ".cache" / "korvex" / "fftw-wisdom-float"));
  EXPECT_EQ(Probe(home, "known"), 0);
}

TEST_F(WisdomTest, CorruptTruncatedOrForeignFilesArePassedOverAndReplaced) {
  ASSERT_EQ(Probe(Cache(), "plan"), 0);
  const std::string valid = Read();
  std::string foreign = valid;  // the double-precision library's header
  const size_t name = foreign.find("fftwf_wisdom");
  ASSERT_NE(name, std::string::npos) << valid;
  foreign.replace(name, 12, "fftw_wisdom");
  const std::string cases[] = {"not wisdom at all", valid.substr(0, valid.size() / 2), foreign,
                               ""};
  for (const std::string& text : cases) {
    Write(text);
    EXPECT_EQ(Probe(Cache(), "known"), 3) << text;
    EXPECT_EQ(Probe(Cache(), "plan"), 0) << text;
    EXPECT_EQ(Probe(Cache(), "known"), 0) << text;
  }
}

TEST_F(WisdomTest, OffAndUnwritableCachesLeaveTheDiskAlone) {
  ASSERT_EQ(Probe(Cache() + " KORVEX_FFTW_WISDOM=off", "plan"), 0);
  EXPECT_FALSE(fs::exists(dir_ / "korvex"));
  ASSERT_EQ(Probe(Cache() + " KORVEX_FFTW_PLANNER=estimate", "plan"), 0);
  EXPECT_FALSE(fs::exists(dir_ / "korvex"));
  // Off also means not read.
  ASSERT_EQ(Probe(Cache(), "plan"), 0);
  EXPECT_EQ(Probe(Cache() + " KORVEX_FFTW_WISDOM=off", "known"), 3);
  // A cache folder that cannot be made (its parent is a file), as on a read-only home.
  std::ofstream(dir_ / "file") << "x";
  const std::string blocked = "XDG_CACHE_HOME=" + (dir_ / "file" / "cache").string();
  EXPECT_EQ(Probe(blocked, "plan"), 0);
  EXPECT_EQ(Probe(blocked, "known"), 3);
}

}  // namespace
