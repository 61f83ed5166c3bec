// Conversions used across the server: hex text <-> bytes, Base64 in place,
// gateway timestamp arithmetic, datarate names (SF7BW125) and the ADR SNR
// margin, and the paths of files beside the executable. Stateless: every
// operation is static and safe to call from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace quorvex {

class CWinUtils {
 public:
  virtual ~CWinUtils() = default;

  // Size of the work area that hex digits are gathered in; a request must
  // stay below it.
  static constexpr int kHexWorkSize = 1024;

  // Parses hex text into `length` bytes at `dst`. Spaces, tabs, "-", ":", ","
  // and every "0x"/"0X" are ignored; case does not matter. The destination is
  // zeroed first. Digits are taken two per byte until `length` bytes are full
  // (later text is not looked at); an odd final digit lands in the low half of
  // the next byte. Returns the number of whole bytes parsed (at most
  // `length`), or 0 - destination all zero - when a character that is not a
  // hex digit is met first. With `reverse` the n parsed bytes are stored in
  // reverse order (for EUIs and addresses that travel least significant byte
  // first) and the rest stays zero. A null `dst` or a `length` outside
  // 0..kHexWorkSize-1 is refused: the result is 0 and nothing is written.
  static int HexToBytes(const std::string& text, uint8_t* dst, int length, bool reverse);

  // The strict reading for values an operator types and that must never be
  // guessed at (keys, EUIs, a channel mask, downlink data): HexToBytes skips
  // what it does not expect and zero-fills, so a typing slip would silently
  // become a zero key. Here the text is groups separated by runs of spaces,
  // tabs, "-", ":" or ","; a group may start with "0x" or "0X" and then holds
  // an even number (at least two) of hex digits in either case. So
  // "70 B3 D5", "70-b3-d5", "70B3D5" and "0x70, 0xB3, 0xD5" all read as
  // 70 B3 D5, while "7 0B3D5" (a split pair), a lone "0x", "0x" inside a group
  // and "12G4" are refused. Writes the bytes in typed order to `dst` and
  // returns their number (0 for a text without any group), or -1 - `dst`
  // untouched - when the text is not such hex or holds more than `capacity`
  // bytes.
  static int ParseHexStrict(const std::string& text, uint8_t* dst, int capacity);

  // Upper-case hex of `count` bytes, "%02X" each, with `separator` between
  // bytes unless it is 0. A count of 0 or less (or null bytes) gives "".
  static std::string BytesToHex(const uint8_t* bytes, char separator, int count);

  // 1 when the number in `a` is greater than the one in `b`, else 0; an empty
  // `a` gives 0, else an empty `b` gives 1. Text that is not a number counts
  // as 0. The comparison is traced.
  static int IsHighFloat(const std::string& a, const std::string& b);

  // Adds `delay` microseconds to a gateway timestamp given as decimal text
  // (an unsigned 32-bit counter, at most 10 digits). From 5 characters on, the
  // delay is added in whole milliseconds to all but the last three digits,
  // which stay as they are. The result is not wrapped at 2^32.
  static int64_t AddDelayToTmst(const std::string& tmst, uint32_t delay);

  // Replaces the first `count` bytes of `buffer` with their Base64 text and a
  // NUL, and returns the text's length (4 per started group of 3 bytes; 0 for
  // a count of 0). `capacity` is the buffer's size: when the text and its NUL
  // do not fit, or `count` is negative or `buffer` null, the result is -1 and
  // the buffer is unchanged.
  static int EncodeBase64InPlace(uint8_t* buffer, int count, std::size_t capacity);

  // Spreading-factor digits of a datarate text: "SF7BW125" and "sf12bw125"
  // give "7" and "12"; a text without "B" gives "".
  static std::string GetSfText(const std::string& datr);
  // The same as a number; 0 when there are no digits.
  static int GetSf(const std::string& datr);

  // How many spreading-factor steps (0 to 3) the SNR allows, counting from
  // `start` (12 minus the current spreading factor) while the SNR is strictly
  // above each demodulation floor plus a 3 dB margin. SF7 (start 5) and any
  // start outside 0..4 give 0.
  static int GetSnrMarginSteps(float snr, int start);

  // Directory of the running executable without a trailing "/", or, when
  // `name` is not empty, that directory + "/" + name. Should the executable's
  // path be unreadable, the result is `name` alone (relative to the current
  // directory).
  static std::string GetModulePath(const std::string& name = std::string());
  // The executable's directory + "/Images".
  static std::string GetImagesPath();

  // `when` as local time in a strftime format; "" when it cannot be shown.
  // Safe on any thread (it never resets the time zone as mktime does).
  static std::string LocalTimeText(const char* format, time_t when);
};

}  // namespace quorvex
