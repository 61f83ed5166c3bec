// Base64 codec (RFC 4648 standard alphabet, no line breaks) for the "data"
// fields of the packet-forwarder JSON. One object converts one input: SetData,
// then Encode or Decode, then read the output before the object goes away.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

class CBase64 {
 public:
  CBase64() = default;
  virtual ~CBase64() = default;

  // Copies `count` bytes as the input, dropping any earlier input and output.
  // Refuses (false, nothing changed) a null pointer or a count of 0.
  bool SetData(const uint8_t* data, uint32_t count);
  bool SetData(std::string_view text);

  // Encodes the input: 4 characters per started group of 3 bytes, "=" padded.
  // Refuses (false, output unchanged) when there is no input or an output was
  // already made from it, or when memory runs out.
  bool Encode();

  // Decodes the input. Characters outside the alphabet ("=", white space,
  // line breaks, bytes of 128 and above) are skipped; left-over bits at the
  // end are dropped. Malformed text is never reported: callers compare the
  // decoded length with the length they expect. Refuses as Encode does.
  bool Decode();

  // Result of the last conversion followed by one NUL byte, or null before
  // any conversion; valid until the next SetData or the object's end.
  const uint8_t* GetOutput() const { return m_Output.empty() ? nullptr : m_Output.data(); }
  // Bytes in the output, not counting the NUL.
  uint32_t GetOutputLength() const { return m_OutputLength; }
  // The output as a string (empty before any conversion).
  std::string GetOutputText() const {
    return std::string(reinterpret_cast<const char*>(m_Output.data()), m_OutputLength);
  }
  uint32_t GetInputLength() const { return static_cast<uint32_t>(m_Input.size()); }

 private:
  bool CanConvert() const { return !m_Input.empty() && !(!m_Output.empty() && m_OutputLength != 0); }

  std::vector<uint8_t> m_Input;   // empty: no input
  std::vector<uint8_t> m_Output;  // empty: no output; else the result and a NUL
  uint32_t m_OutputLength = 0;
};

}  // namespace quorvex
