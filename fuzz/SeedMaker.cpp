// quorvex-fuzz-seeds DIR: writes the seed datagrams of the datagram fuzzer
// into DIR (the checked-in fuzz/corpus/datagram was made with it). Each seed
// is one datagram as a gateway would send it, or a deliberately broken one.
// The LoRaWAN frames address the fixture devices of FuzzFixture.h and carry
// correct MICs, so the fuzzer starts from frames the procedures accept.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzFixture.h"
#include "lorawan/LoRaCrypto.h"
#include "util/Base64.h"

namespace {

using namespace quorvex;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kUnknownGatewayEui = 0xAA555A00000002FFULL;

Bytes Header(uint8_t version, uint16_t token, uint8_t identifier, uint64_t eui) {
  Bytes bytes = {version, static_cast<uint8_t>(token >> 8), static_cast<uint8_t>(token), identifier};
  for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(eui >> shift));
  return bytes;
}

Bytes WithText(Bytes bytes, const std::string& text) {
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

Bytes Push(const std::string& json, uint64_t eui = fuzz::kGatewayEui, uint8_t version = 2) {
  return WithText(Header(version, 0x0A01, 0, eui), json);
}

std::string Base64(const Bytes& bytes) {
  CBase64 codec;
  if (!codec.SetData(bytes.data(), static_cast<uint32_t>(bytes.size())) || !codec.Encode()) return {};
  return codec.GetOutputText();
}

void PutLe32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Join request: MHDR 0x00, AppEUI and DevEUI least significant byte first,
// DevNonce, MIC under the AppKey. 23 bytes.
Bytes JoinRequest(uint16_t devNonce) {
  Bytes frame = {0x00};
  for (int i = 7; i >= 0; --i) frame.push_back(fuzz::kOtaaAppEui[i]);
  for (int i = 7; i >= 0; --i) frame.push_back(fuzz::kOtaaDevEui[i]);
  frame.push_back(static_cast<uint8_t>(devNonce));
  frame.push_back(static_cast<uint8_t>(devNonce >> 8));
  PutLe32(frame, ComputeJoinMic(frame.data(), frame.size(), fuzz::kOtaaAppKey));
  return frame;
}

// Data uplink of the personalised device: MHDR, DevAddr, FCtrl (FOptsLen
// from `fopts`), FCnt, FOpts, then FPort and the enciphered payload when
// `port` is not negative, then the MIC.
Bytes Uplink(uint8_t mhdr, uint8_t fctrlFlags, const Bytes& fopts, int port, const Bytes& payload,
             uint16_t fcnt = fuzz::kSeedFrameCounter) {
  Bytes frame = {mhdr};
  PutLe32(frame, fuzz::kAbpDevAddr);
  frame.push_back(static_cast<uint8_t>(fctrlFlags | (fopts.size() & 0x0F)));
  frame.push_back(static_cast<uint8_t>(fcnt));
  frame.push_back(static_cast<uint8_t>(fcnt >> 8));
  frame.insert(frame.end(), fopts.begin(), fopts.end());
  if (port >= 0) {
    frame.push_back(static_cast<uint8_t>(port));
    Bytes cipher(payload.size());
    const uint8_t* key = port == 0 ? fuzz::kAbpNwkSKey : fuzz::kAbpAppSKey;
    CipherPayload(payload.data(), static_cast<uint16_t>(payload.size()), key, fuzz::kAbpDevAddr, kLoRaDirUplink,
                  fcnt, cipher.data());
    frame.insert(frame.end(), cipher.begin(), cipher.end());
  }
  PutLe32(frame, ComputeDataMic(frame.data(), frame.size(), fuzz::kAbpNwkSKey, fuzz::kAbpDevAddr, kLoRaDirUplink,
                                fcnt));
  return frame;
}

// One "rxpk" element as a packet forwarder writes it, `extra` members first.
std::string Rxpk(const Bytes& phy, const std::string& extra = {}) {
  return "{" + extra + "\"tmst\":3512348611,\"chan\":2,\"rfch\":0,\"freq\":866.349812,\"stat\":1,"
         "\"modu\":\"LORA\",\"datr\":\"SF7BW125\",\"codr\":\"4/6\",\"rssi\":-35,\"lsnr\":5.1,\"size\":" +
         std::to_string(phy.size()) + ",\"data\":\"" + Base64(phy) + "\"}";
}

const char kStat[] =
    "{\"time\":\"2014-01-12 08:59:28 GMT\",\"lati\":46.24000,\"long\":3.25230,\"alti\":145,\"rxnb\":2,"
    "\"rxok\":2,\"rxfw\":2,\"ackr\":100.0,\"dwnb\":2,\"txnb\":2}";

bool Write(const std::string& dir, const std::string& name, const Bytes& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];

  const Bytes join = JoinRequest(0x2D1F);
  const Bytes unconfirmed = Uplink(0x40, 0x00, {}, 1, {0x01, 0x02, 0x03, 0x04, 0x05});
  // Confirmed, ADR and ADRACKReq set, LinkCheckReq and DeviceTimeReq in FOpts.
  const Bytes confirmed = Uplink(0x80, 0xC0, {0x02, 0x0D}, 2, {0xCA, 0xFE});
  // MAC answers in an FPort 0 payload: LinkADRAns, DevStatusAns, RXParamSetupAns.
  const Bytes macOnly = Uplink(0x40, 0x80, {}, 0, {0x03, 0x07, 0x06, 0xFE, 0x05, 0x05, 0x07});
  // No FPort: an empty uplink that only acknowledges (ACK bit).
  const Bytes ackOnly = Uplink(0x40, 0x20, {}, -1, {});
  // The stored counter again: a repeat of the last uplink.
  const Bytes repeat = Uplink(0x40, 0x80, {}, 1, {0x0A}, static_cast<uint16_t>(fuzz::kAbpStoredRxSeq));

  const std::string longText(600, 'A');
  struct Seed {
    const char* name;
    Bytes bytes;
  };
  const std::vector<Seed> seeds = {
      {"pull_data", Header(2, 0x1234, 2, fuzz::kGatewayEui)},
      {"pull_data_v31_unknown_gateway", Header(31, 0x4321, 2, kUnknownGatewayEui)},
      {"push_stat", Push("{\"stat\":" + std::string(kStat) + "}")},
      {"push_rxpk_join_request", Push("{\"rxpk\":[" + Rxpk(join) + "]}")},
      {"push_rxpk_unconfirmed_up", Push("{\"rxpk\":[" + Rxpk(unconfirmed) + "]}")},
      {"push_rxpk_confirmed_up_fopts", Push("{\"rxpk\":[" + Rxpk(confirmed) + "]}")},
      {"push_rxpk_port0_mac", Push("{\"rxpk\":[" + Rxpk(macOnly) + "]}")},
      {"push_rxpk_no_port_ack", Push("{\"rxpk\":[" + Rxpk(ackOnly) + "]}")},
      {"push_rxpk_repeated_counter", Push("{\"rxpk\":[" + Rxpk(repeat) + "]}")},
      {"push_stat_and_rxpk", Push("{\"rxpk\":[" + Rxpk(unconfirmed) + "],\"stat\":" + kStat + "}")},
      {"push_rxpk_three_packets",
       Push("{\"rxpk\":[" + Rxpk(confirmed) + "," + Rxpk(join) + "," + Rxpk(unconfirmed) + "]}")},
      {"push_rxpk_unknown_gateway", Push("{\"rxpk\":[" + Rxpk(join) + "]}", kUnknownGatewayEui)},
      {"push_rxpk_join_accept_mtype", Push("{\"rxpk\":[" + Rxpk({0x20, 0x11, 0x22, 0x33, 0x44, 0x55}) + "]}")},
      {"push_rxpk_meta_as_strings",
       Push("{\"rxpk\":[{\"tmst\":\"4294967295\",\"freq\":\"868.1\",\"rssi\":\"-120\",\"lsnr\":7.0,"
            "\"datr\":\"SF12BW125\",\"codr\":\"4/5\",\"size\":\"23\",\"data\":\"" +
            Base64(join) + "\"}]}")},
      {"push_rxpk_meta_as_containers",
       Push("{\"rxpk\":[{\"tmst\":[1],\"freq\":[868.1],\"rssi\":{\"v\":-35},\"lsnr\":null,\"datr\":true,"
            "\"size\":23,\"data\":\"" +
            Base64(join) + "\"}]}")},
      {"push_rxpk_long_strings",
       Push("{\"rxpk\":[" + Rxpk(unconfirmed, "\"datr\":\"" + longText + "\",\"codr\":\"" + longText + "\",") + "]}")},
      {"push_rxpk_size_mismatch",
       Push("{\"rxpk\":[{\"freq\":868.1,\"rssi\":-35,\"size\":24,\"data\":\"" + Base64(join) + "\"}]}")},
      {"push_rxpk_size_negative_bad_base64",
       Push("{\"rxpk\":[{\"freq\":868.1,\"rssi\":-35,\"size\":-3,\"data\":\"@@==!!\\u0000AA\"}]}")},
      {"push_rxpk_empty_and_odd", Push("{\"rxpk\":[7,{\"size\":1}]} /* comment */ trailing")},
      {"push_rxpk_object_then_nul", Push(std::string("{\"rxpk\":{}}\0{\"stat\":1}", 22))},
      {"push_not_json", Push("{\"rxpk\":[{\"size\":23,")},
      {"push_deep_nesting", Push(std::string(80, '[') + std::string(80, ']'))},
      {"push_laststat_key", Push("{\"laststat\":1,\"stat\":{},\"rxpk\":[]}")},
      {"tx_ack_ok", Header(2, 0x0B01, 5, fuzz::kGatewayEui)},
      {"tx_ack_error", WithText(Header(2, 0x0B02, 5, fuzz::kGatewayEui), "{\"txpk_ack\":{\"error\":\"TOO_LATE\"}}")},
      {"tx_ack_none", WithText(Header(2, 0x0B03, 5, fuzz::kGatewayEui), "{\"txpk_ack\":{\"error\":\"NONE\"}}")},
      {"bad_version_1", Push("{\"rxpk\":[" + Rxpk(join) + "]}", fuzz::kGatewayEui, 1)},
      {"unsupported_identifier_pull_resp", WithText(Header(2, 0x0C01, 3, fuzz::kGatewayEui), "{\"txpk\":{}}")},
      {"short_11_bytes", Bytes{2, 0x12, 0x34, 2, 0xAA, 0x55, 0x5A, 0x00, 0x00, 0x00, 0x01}},
      {"short_header_only", Bytes{2, 0x12, 0x34, 0}},
  };

  int failures = 0;
  for (const Seed& seed : seeds) {
    if (!Write(dir, seed.name, seed.bytes)) {
      std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), seed.name);
      ++failures;
    }
  }
  std::printf("%zu seeds written to %s\n", seeds.size() - failures, dir.c_str());
  return failures == 0 ? 0 : 1;
}
