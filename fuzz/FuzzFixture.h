// The fixed world the datagram fuzzer runs in, shared by the fuzz target
// (which stores it in the database before the first input) and the seed
// maker (which writes datagrams that address it): one gateway that has
// already pulled, one over-the-air application with a device that has not
// joined, and one personalised application with a device in session. Seeds
// built from these values reach the join and uplink procedures with frames
// whose MICs are right, so the fuzzer starts from the deep end of the path.
#pragma once
#include <cstdint>

namespace quorvex::fuzz {

// EUI of the gateway that pulls once before the first input; every seed that
// is meant to reach the "rxpk" path carries it in bytes 4 to 11.
inline constexpr uint64_t kGatewayEui = 0xAA555A0000000101ULL;
// Every datagram comes from this loopback sender (the gateway's push and
// pull address alike).
inline constexpr char kSenderIp[] = "127.0.0.1";
inline constexpr uint16_t kSenderPort = 41700;

// Over-the-air application and its device, EUIs most significant byte first.
inline constexpr uint8_t kOtaaAppEui[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x01};
inline constexpr uint8_t kOtaaDevEui[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x01};
inline constexpr uint8_t kOtaaAppKey[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                            0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

// Personalised application and its device, in session from the start.
inline constexpr uint8_t kAbpAppEui[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x02};
inline constexpr uint8_t kAbpDevEui[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x02};
inline constexpr uint32_t kAbpDevAddr = 0x26011F02;
inline constexpr uint8_t kAbpNwkSKey[16] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                            0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
inline constexpr uint8_t kAbpAppSKey[16] = {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
                                            0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F};

// Last uplink counter stored for the personalised device, and the counter of
// the seeds' data uplinks: the next one. A seed that repeats the stored
// counter takes the repeat path (the same frame through another gateway).
inline constexpr int32_t kAbpStoredRxSeq = 0;
inline constexpr uint16_t kSeedFrameCounter = 1;

}  // namespace quorvex::fuzz
