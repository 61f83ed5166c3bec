#include "runtime/Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace quorvex {
namespace {

// Owns a file descriptor.
class CFileHandle {
 public:
  explicit CFileHandle(int fd) : m_Fd(fd) {}
  ~CFileHandle() { Close(); }
  CFileHandle(const CFileHandle&) = delete;
  CFileHandle& operator=(const CFileHandle&) = delete;

  int Get() const { return m_Fd; }
  bool IsOpen() const { return m_Fd >= 0; }
  // Closes now; false when the close reports an error (for a written file,
  // a possibly lost write).
  bool Close() {
    if (m_Fd < 0) return true;
    const int result = close(m_Fd);
    m_Fd = -1;
    return result == 0;
  }

 private:
  int m_Fd;
};

// Offsets of the option words in the image.
constexpr std::size_t kAutoRestartAt = 0;
constexpr std::size_t kServerDebugAt = 4;
constexpr std::size_t kDebugLogViewAt = 8;
constexpr std::size_t kAutoScrollAt = 12;
constexpr std::size_t kAutoRegAt = 16;
constexpr std::size_t kAdrRxCountAt = 32;

void PutWord(SettingsBytes& image, std::size_t offset, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  for (std::size_t i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

int32_t GetWord(std::span<const uint8_t, kSettingsSize> image, std::size_t offset) {
  uint32_t bits = 0;
  for (std::size_t i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(image[offset + i]) << (8 * i);
  return static_cast<int32_t>(bits);
}

// Reads up to `buffer.size()` bytes; the count read, or -1 on a read error.
ssize_t ReadAll(int fd, std::span<uint8_t> buffer) {
  std::size_t total = 0;
  while (total < buffer.size()) {
    const ssize_t got = read(fd, buffer.data() + total, buffer.size() - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

bool WriteAll(int fd, std::span<const uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// A name beside `path` for the new image, distinct per process and per save.
std::string TempPathFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
}

// The file `path` leads to through symbolic links (at most a few levels; a
// link's relative target is taken from the link's folder), or `path` itself.
// A link may lead to a file that does not exist yet.
std::string FinalTarget(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path current = path;
  std::error_code error;
  for (int level = 0; level < 8 && fs::is_symlink(current, error); ++level) {
    const fs::path next = fs::read_symlink(current, error);
    if (error) break;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return current.string();
}

// Makes the rename itself durable; a failure only weakens durability.
void SyncDirectoryOf(const std::string& path) {
  std::filesystem::path directory = std::filesystem::path(path).parent_path();
  if (directory.empty()) directory = ".";
  CFileHandle dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.IsOpen()) (void)fsync(dir.Get());
}

}  // namespace

uint8_t SettingsChecksum(std::span<const uint8_t, kSettingsSize> bytes) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < kSettingsChecksumOffset; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

void CSettingsBlock::SetDefaults() {
  std::memset(m_Reserved20, 0, sizeof m_Reserved20);
  std::memset(m_Reserved36, 0, sizeof m_Reserved36);
  m_Checksum = 0;
  std::memset(m_Reserved857, 0, sizeof m_Reserved857);
  m_bAutoRestart = 0;
  m_bServerDebug = 1;
  m_bDebugLogView = 1;
  m_bAutoScroll = 1;
  m_bAutoReg = 1;
  m_nAdrRxCount = kAdrRxCountDefault;
}

SettingsBytes CSettingsBlock::ToBytes() const {
  SettingsBytes image{};
  PutWord(image, kAutoRestartAt, m_bAutoRestart.Load());
  PutWord(image, kServerDebugAt, m_bServerDebug.Load());
  PutWord(image, kDebugLogViewAt, m_bDebugLogView.Load());
  PutWord(image, kAutoScrollAt, m_bAutoScroll.Load());
  PutWord(image, kAutoRegAt, m_bAutoReg.Load());
  std::memcpy(&image[offsetof(CSettingsBlock, m_Reserved20)], m_Reserved20, sizeof m_Reserved20);
  PutWord(image, kAdrRxCountAt, m_nAdrRxCount.Load());
  std::memcpy(&image[offsetof(CSettingsBlock, m_Reserved36)], m_Reserved36, sizeof m_Reserved36);
  std::memcpy(&image[offsetof(CSettingsBlock, m_Reserved857)], m_Reserved857, sizeof m_Reserved857);
  image[kSettingsChecksumOffset] = SettingsChecksum(image);
  return image;
}

bool CSettingsBlock::FromBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() != kSettingsSize) {
    SetDefaults();
    return false;
  }
  const std::span<const uint8_t, kSettingsSize> image(bytes.data(), kSettingsSize);
  if (SettingsChecksum(image) != image[kSettingsChecksumOffset]) {
    SetDefaults();
    return false;
  }
  m_bAutoRestart = GetWord(image, kAutoRestartAt);
  m_bServerDebug = GetWord(image, kServerDebugAt);
  m_bDebugLogView = GetWord(image, kDebugLogViewAt);
  m_bAutoScroll = GetWord(image, kAutoScrollAt);
  m_bAutoReg = GetWord(image, kAutoRegAt);
  std::memcpy(m_Reserved20, &image[offsetof(CSettingsBlock, m_Reserved20)], sizeof m_Reserved20);
  const int32_t adrRxCount = GetWord(image, kAdrRxCountAt);
  m_nAdrRxCount = adrRxCount >= kAdrRxCountMin && adrRxCount <= kAdrRxCountMax ? adrRxCount : kAdrRxCountDefault;
  std::memcpy(m_Reserved36, &image[offsetof(CSettingsBlock, m_Reserved36)], sizeof m_Reserved36);
  m_Checksum = image[kSettingsChecksumOffset];
  std::memcpy(m_Reserved857, &image[offsetof(CSettingsBlock, m_Reserved857)], sizeof m_Reserved857);
  return true;
}

bool CSettingsBlock::LoadSettings(const std::string& path) {
  // One byte more than a valid file, so that a longer file is told apart.
  std::array<uint8_t, kSettingsSize + 1> buffer{};
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  CFileHandle file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!file.IsOpen() || fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return FromBytes({});
  const ssize_t length = ReadAll(file.Get(), buffer);
  if (length < 0) return FromBytes({});
  return FromBytes(std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(length)));
}

bool CSettingsBlock::SaveSettings(const std::string& path) {
  const SettingsBytes image = ToBytes();
  m_Checksum = image[kSettingsChecksumOffset];

  const std::string target = FinalTarget(path);
  const std::string tempPath = TempPathFor(target);
  CFileHandle file(open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.IsOpen()) return false;
  // The data must be on disk before the rename publishes it, or a crash of
  // the machine could leave an empty file under the real name.
  const bool written = WriteAll(file.Get(), image) && fsync(file.Get()) == 0 && file.Close();
  if (!written || std::rename(tempPath.c_str(), target.c_str()) != 0) {
    file.Close();
    (void)unlink(tempPath.c_str());
    return false;
  }
  SyncDirectoryOf(target);
  return true;
}

}  // namespace quorvex
