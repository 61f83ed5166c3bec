// Operator settings: the six options that steer the server and the window
// (automatic start, server debug mode, two log display options, automatic
// gateway registration, ADR RX setup count), held in one 860-byte block whose
// bytes are exactly the bytes of the settings file "quorvex.cfg" in the data
// directory. The file has no magic number and no version: a valid file is
// exactly 860 bytes with byte 856 holding the 8-bit sum of bytes 0 to 855;
// anything else means the defaults.
//
// The window thread loads, changes and saves the options while server threads
// read them; each option word is therefore accessed atomically in place
// (relaxed, as the options are independent of each other and of other data).
// Everything else in the block belongs to the window thread.
#pragma once
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quorvex {

// Name of the settings file; the caller joins it to the data directory.
inline constexpr char kSettingsFileName[] = "quorvex.cfg";
// Length of the block and of a valid file.
inline constexpr std::size_t kSettingsSize = 860;
// Offset of the checksum byte; the checksum covers the bytes before it.
inline constexpr std::size_t kSettingsChecksumOffset = 856;

using SettingsBytes = std::array<uint8_t, kSettingsSize>;

// The ADR RX setup count's range and default. A file holding a count
// outside the range (a valid checksum says nothing about the value) gets the
// default.
inline constexpr int32_t kAdrRxCountMin = 2;
inline constexpr int32_t kAdrRxCountMax = 10;
inline constexpr int32_t kAdrRxCountDefault = 8;

// Low 8 bits of the sum of bytes 0 to 855 of a settings image.
uint8_t SettingsChecksum(std::span<const uint8_t, kSettingsSize> bytes);

// One 32-bit little-endian option word of the block. It has the size and
// alignment of an int32_t and no other state, so the block keeps the file's
// layout; every read and write of it is atomic. Not copyable: a block is
// copied through its byte image (CSettingsBlock::ToBytes / FromBytes).
class COptionWord {
 public:
  constexpr COptionWord() = default;
  COptionWord(const COptionWord&) = delete;
  COptionWord& operator=(const COptionWord&) = delete;

  // Current value (atomic, relaxed).
  int32_t Load() const noexcept {
    // A load never writes, so viewing the word through a non-const
    // atomic_ref is sound even for a const block.
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(m_Value)).load(std::memory_order_relaxed);
  }
  // Replaces the value (atomic, relaxed).
  void Store(int32_t value) noexcept { std::atomic_ref<int32_t>(m_Value).store(value, std::memory_order_relaxed); }

  operator int32_t() const noexcept { return Load(); }
  COptionWord& operator=(int32_t value) noexcept {
    Store(value);
    return *this;
  }

 private:
  alignas(std::atomic_ref<int32_t>::required_alignment) int32_t m_Value = 0;
};

// The settings block, byte for byte the settings file. Constructed holding
// the defaults.
struct CSettingsBlock {
  COptionWord m_bAutoRestart;   // 1: start the server by itself after the window opens (default 0)
  COptionWord m_bServerDebug;   // 1: packet-log records are produced, stored and shown (default 1)
  COptionWord m_bDebugLogView;  // 1: debug rows are shown in the server log list (default 1)
  COptionWord m_bAutoScroll;    // 1: the server log list follows each new row (default 1)
  COptionWord m_bAutoReg;       // 1: a gateway heard for the first time is registered active (default 1)
  uint8_t m_Reserved20[12];     // kept as read; zero with the defaults
  COptionWord m_nAdrRxCount;    // ADR RX setup count of uplink processing (default 8)
  uint8_t m_Reserved36[820];    // kept as read; zero with the defaults
  uint8_t m_Checksum;           // 8-bit sum of bytes 0 to 855, set by saving
  uint8_t m_Reserved857[3];     // kept as read; zero with the defaults

  CSettingsBlock() { SetDefaults(); }
  CSettingsBlock(const CSettingsBlock&) = delete;
  CSettingsBlock& operator=(const CSettingsBlock&) = delete;

  // All 860 bytes zero, then the option defaults: auto-restart 0, server
  // debug 1, debug log view 1, auto scroll 1, auto registration 1, ADR RX
  // setup count 8.
  void SetDefaults();

  // The block's file image, its checksum byte computed from its content
  // (the block itself is not changed).
  SettingsBytes ToBytes() const;

  // Takes `bytes` as the block when they are a valid image (exactly 860
  // bytes with a matching checksum) and returns true; otherwise sets the
  // defaults and returns false.
  bool FromBytes(std::span<const uint8_t> bytes);

  // Fills the block from the file at `path`, or with the defaults when the
  // file is missing, unreadable, not a regular file (a FIFO or a device is
  // never waited on), not 860 bytes long or fails its checksum. Returns true
  // when the file was taken. The file is never changed.
  bool LoadSettings(const std::string& path);

  // Stores the checksum into the block and writes the 860-byte image to
  // `path`, replacing the file in one step (a new file renamed over the old
  // one), so the file is always either the old or the new image. When
  // `path` is a symbolic link, the file it leads to is replaced and the link
  // stays. Returns
  // false, leaving the options in memory and any old file as they were, when
  // the file cannot be written.
  bool SaveSettings(const std::string& path);
};

static_assert(std::endian::native == std::endian::little, "the block is the little-endian file image");
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(sizeof(COptionWord) == 4 && alignof(COptionWord) == 4);
static_assert(sizeof(CSettingsBlock) == kSettingsSize);
static_assert(offsetof(CSettingsBlock, m_bAutoRestart) == 0);
static_assert(offsetof(CSettingsBlock, m_bServerDebug) == 4);
static_assert(offsetof(CSettingsBlock, m_bDebugLogView) == 8);
static_assert(offsetof(CSettingsBlock, m_bAutoScroll) == 12);
static_assert(offsetof(CSettingsBlock, m_bAutoReg) == 16);
static_assert(offsetof(CSettingsBlock, m_Reserved20) == 20);
static_assert(offsetof(CSettingsBlock, m_nAdrRxCount) == 32);
static_assert(offsetof(CSettingsBlock, m_Reserved36) == 36);
static_assert(offsetof(CSettingsBlock, m_Checksum) == kSettingsChecksumOffset);
static_assert(offsetof(CSettingsBlock, m_Reserved857) == 857);

}  // namespace quorvex
