#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "runtime/Settings.h"
#include "support/TempDir.h"

namespace quorvex {
namespace {

using Bytes = std::vector<uint8_t>;

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PutWord(Bytes& image, std::size_t offset, uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint8_t SumOfFirst856(const Bytes& image) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < 856; ++i) sum += image[i];
  return static_cast<uint8_t>(sum);
}

// The file a fresh installation writes: zeros, the defaults, the checksum.
Bytes DefaultImage() {
  Bytes image(860, 0);
  PutWord(image, 4, 1);
  PutWord(image, 8, 1);
  PutWord(image, 12, 1);
  PutWord(image, 16, 1);
  PutWord(image, 32, 8);
  image[856] = SumOfFirst856(image);
  return image;
}

// A valid file in which every option differs from its default and every
// reserved byte is set, as another installation might have left it.
Bytes ForeignImage() {
  Bytes image(860);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  PutWord(image, 0, 1);
  PutWord(image, 4, 0);
  PutWord(image, 8, 0);
  PutWord(image, 12, 0);
  PutWord(image, 16, 0);
  PutWord(image, 32, 5);
  image[856] = SumOfFirst856(image);
  return image;
}

Bytes ImageOf(const CSettingsBlock& block) {
  const SettingsBytes image = block.ToBytes();
  return Bytes(image.begin(), image.end());
}

void SetAllOptions(CSettingsBlock& block, int32_t value) {
  block.m_bAutoRestart = value;
  block.m_bServerDebug = value;
  block.m_bDebugLogView = value;
  block.m_bAutoScroll = value;
  block.m_bAutoReg = value;
  block.m_nAdrRxCount = value;
}

void ExpectDefaults(const CSettingsBlock& block) {
  EXPECT_EQ(block.m_bAutoRestart.Load(), 0);
  EXPECT_EQ(block.m_bServerDebug.Load(), 1);
  EXPECT_EQ(block.m_bDebugLogView.Load(), 1);
  EXPECT_EQ(block.m_bAutoScroll.Load(), 1);
  EXPECT_EQ(block.m_bAutoReg.Load(), 1);
  EXPECT_EQ(block.m_nAdrRxCount.Load(), 8);
  EXPECT_EQ(ImageOf(block), DefaultImage());  // reserved bytes zero too
}

class SettingsTest : public ::testing::Test {
 protected:
  test::TempDir m_Dir;
  const std::string m_Path = m_Dir.File(kSettingsFileName);
};

TEST_F(SettingsTest, FirstStartUsesDefaultsAndWritesThem) {
  CSettingsBlock block;
  ExpectDefaults(block);
  SetAllOptions(block, 7);
  EXPECT_FALSE(block.LoadSettings(m_Path));
  ExpectDefaults(block);
  EXPECT_FALSE(std::filesystem::exists(m_Path));  // loading never writes

  EXPECT_TRUE(block.SaveSettings(m_Path));
  EXPECT_EQ(ReadFile(m_Path), DefaultImage());
}

TEST_F(SettingsTest, InvalidFilesGiveDefaultsAndStayUntouched) {
  const Bytes valid = ForeignImage();
  struct Case {
    const char* what;
    Bytes file;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"859 bytes", Bytes(valid.begin(), valid.end() - 1)},
      {"861 bytes", valid},
      {"checksum byte changed", valid},
  };
  cases[2].file.push_back(0);
  cases[3].file[856] ^= 0x01;
  for (std::size_t offset : {0u, 4u, 16u, 20u, 32u, 35u, 36u, 500u, 855u}) {
    Bytes changed = valid;
    changed[offset] = static_cast<uint8_t>(changed[offset] + 1);
    cases.push_back({"one byte changed", changed});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(m_Path, c.file);
    CSettingsBlock block;
    SetAllOptions(block, 7);
    EXPECT_FALSE(block.LoadSettings(m_Path));
    ExpectDefaults(block);
    EXPECT_EQ(ReadFile(m_Path), c.file);
  }
}

// A FIFO or a folder under the file's name gives the defaults at once: the
// start of the program never waits for a writer that will not come.
TEST_F(SettingsTest, OnlyARegularFileIsRead) {
  ASSERT_EQ(mkfifo(m_Path.c_str(), 0600), 0);
  CSettingsBlock block;
  SetAllOptions(block, 7);
  EXPECT_FALSE(block.LoadSettings(m_Path));
  ExpectDefaults(block);
  std::filesystem::remove(m_Path);
  std::filesystem::create_directory(m_Path);
  EXPECT_FALSE(block.LoadSettings(m_Path));
  ExpectDefaults(block);
}

// A valid checksum says nothing about the values: an ADR count outside its
// range is replaced by the default, the rest of the file is taken.
TEST_F(SettingsTest, AnAdrCountOutOfRangeInAValidFileGetsTheDefault) {
  const struct {
    int32_t stored;
    int32_t used;
  } cases[] = {{1, 8}, {11, 8}, {-5, 8}, {0, 8}, {2, 2}, {10, 10}, {5, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    Bytes image = ForeignImage();
    PutWord(image, 32, static_cast<uint32_t>(c.stored));
    image[856] = SumOfFirst856(image);
    WriteFile(m_Path, image);
    CSettingsBlock block;
    EXPECT_TRUE(block.LoadSettings(m_Path));
    EXPECT_EQ(block.m_nAdrRxCount.Load(), c.used);
    EXPECT_EQ(block.m_bAutoRestart.Load(), 1);  // the rest as stored
  }
}

// An operator who keeps the file elsewhere (a link into /etc, say) keeps the
// link: saving replaces the file it leads to, also before it exists.
TEST_F(SettingsTest, SavingWritesThroughASymbolicLink) {
  const std::filesystem::path real = std::filesystem::path(m_Dir.Path()) / "elsewhere";
  std::filesystem::create_directory(real);
  for (const char* name : {"existing.cfg", "not-yet.cfg"}) {
    SCOPED_TRACE(name);
    const std::filesystem::path target = real / name;
    if (std::string(name) == "existing.cfg") WriteFile(target.string(), DefaultImage());
    std::filesystem::remove(m_Path);
    std::filesystem::create_symlink(std::filesystem::path("elsewhere") / name, m_Path);  // relative
    CSettingsBlock block;
    block.m_nAdrRxCount = 4;
    ASSERT_TRUE(block.SaveSettings(m_Path));
    EXPECT_TRUE(std::filesystem::is_symlink(m_Path));
    EXPECT_EQ(ReadFile(target.string()), ImageOf(block));
    CSettingsBlock reread;
    EXPECT_TRUE(reread.LoadSettings(m_Path));
    EXPECT_EQ(reread.m_nAdrRxCount.Load(), 4);
  }
}

TEST_F(SettingsTest, FileBytesAreTheBlockAndSurviveARoundTrip) {
  Bytes file = ForeignImage();
  file[857] ^= 0xFF;  // the bytes after the checksum are not covered by it
  WriteFile(m_Path, file);

  CSettingsBlock block;
  ASSERT_TRUE(block.LoadSettings(m_Path));
  EXPECT_EQ(block.m_bAutoRestart.Load(), 1);
  EXPECT_EQ(block.m_bServerDebug.Load(), 0);
  EXPECT_EQ(block.m_bDebugLogView.Load(), 0);
  EXPECT_EQ(block.m_bAutoScroll.Load(), 0);
  EXPECT_EQ(block.m_bAutoReg.Load(), 0);
  EXPECT_EQ(block.m_nAdrRxCount.Load(), 5);
  // The block in memory is the file byte for byte.
  EXPECT_EQ(std::memcmp(&block, file.data(), file.size()), 0);

  // Saved unchanged elsewhere, every reserved byte comes back as read.
  const std::string copy = m_Dir.File("copy.cfg");
  ASSERT_TRUE(block.SaveSettings(copy));
  EXPECT_EQ(ReadFile(copy), file);

  // An option change touches its word and the checksum only.
  block.m_bAutoReg = 1;
  block.m_nAdrRxCount = 10;
  ASSERT_TRUE(block.SaveSettings(m_Path));
  const Bytes saved = ReadFile(m_Path);
  ASSERT_EQ(saved.size(), 860u);
  EXPECT_EQ(saved[856], SumOfFirst856(saved));
  EXPECT_EQ(block.m_Checksum, saved[856]);
  EXPECT_EQ(std::memcmp(&block, saved.data(), saved.size()), 0);
  Bytes expected = file;
  PutWord(expected, 16, 1);
  PutWord(expected, 32, 10);
  expected[856] = SumOfFirst856(expected);
  EXPECT_EQ(saved, expected);

  CSettingsBlock reloaded;
  ASSERT_TRUE(reloaded.LoadSettings(m_Path));
  EXPECT_EQ(reloaded.m_bAutoReg.Load(), 1);
  EXPECT_EQ(reloaded.m_nAdrRxCount.Load(), 10);
  EXPECT_EQ(ImageOf(reloaded), saved);
}

TEST_F(SettingsTest, SaveReplacesAnInvalidFileAndLeavesNothingElse) {
  Bytes longFile = DefaultImage();
  longFile.push_back(0);
  WriteFile(m_Path, longFile);

  CSettingsBlock block;
  EXPECT_FALSE(block.LoadSettings(m_Path));
  block.m_bAutoReg = 0;
  ASSERT_TRUE(block.SaveSettings(m_Path));

  const Bytes saved = ReadFile(m_Path);
  ASSERT_EQ(saved.size(), 860u);
  EXPECT_EQ(saved[856], SumOfFirst856(saved));
  const auto entries = std::distance(std::filesystem::directory_iterator(m_Dir.Path()), {});
  EXPECT_EQ(entries, 1);  // no temporary file left behind

  CSettingsBlock restarted;
  ASSERT_TRUE(restarted.LoadSettings(m_Path));
  EXPECT_EQ(restarted.m_bAutoReg.Load(), 0);
}

TEST_F(SettingsTest, FailedSaveKeepsTheOptionsAndTheOldFile) {
  CSettingsBlock block;
  block.m_bAutoReg = 0;
  block.m_nAdrRxCount = 3;

  // The directory does not exist: nothing can be created.
  EXPECT_FALSE(block.SaveSettings(m_Dir.File("missing/quorvex.cfg")));
  // A directory stands where the file should go: the new image cannot
  // replace it, and its temporary file is removed again.
  std::filesystem::create_directory(m_Path);
  EXPECT_FALSE(block.SaveSettings(m_Path));
  EXPECT_TRUE(std::filesystem::is_directory(m_Path));
  const auto entries = std::distance(std::filesystem::directory_iterator(m_Dir.Path()), {});
  EXPECT_EQ(entries, 1);

  EXPECT_EQ(block.m_bAutoReg.Load(), 0);
  EXPECT_EQ(block.m_nAdrRxCount.Load(), 3);
}

TEST_F(SettingsTest, ServerThreadsReadWhileTheWindowWrites) {
  CSettingsBlock block;
  std::atomic<bool> done{false};
  std::jthread reader([&] {
    while (!done.load()) {
      const int32_t reg = block.m_bAutoReg;
      const int32_t count = block.m_nAdrRxCount;
      EXPECT_TRUE(reg == 0 || reg == 1);
      EXPECT_TRUE(count >= 2 && count <= 10);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    block.m_bAutoReg = i % 2;
    block.m_nAdrRxCount = 2 + i % 9;
    if (i % 500 == 0) block.SaveSettings(m_Path);
  }
  done = true;
}

}  // namespace
}  // namespace quorvex
