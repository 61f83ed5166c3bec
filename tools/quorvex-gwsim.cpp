// quorvex-gwsim: one simulated packet-forwarder gateway on loopback, for
// trying the server by hand. It runs the commands given (pull, stat, rxpk,
// txack) in order from one socket, then prints every datagram that comes
// back while it listens, e.g.
//   quorvex-gwsim --port 1700 --eui 0102030405060708 pull rxpk --data 0001... --listen 6
// Use pull and rxpk in the same run when a downlink is expected: the server
// sends downlinks to the address its last PULL_DATA came from.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/GatewaySim.h"

namespace {

using quorvex::test::GatewaySim;
using quorvex::test::PfIdentifier;
using quorvex::test::RxMeta;
using quorvex::test::SimDatagram;

constexpr double kKeepAliveSeconds = 10;  // PULL_DATA period while listening, as gateways do

void PrintUsage(std::FILE* out, const char* program) {
  std::fprintf(out,
               "Usage: %s [options] COMMAND...\n"
               "Acts as one packet-forwarder gateway (protocol version 2) on 127.0.0.1.\n"
               "Commands, run in the order given:\n"
               "  pull    PULL_DATA (keep-alive; opens the downlink path)\n"
               "  stat    PUSH_DATA with a status report\n"
               "  rxpk    PUSH_DATA with one received packet (needs --data)\n"
               "  txack   TX_ACK, with --txack-json TEXT after the header if given\n"
               "Options:\n"
               "  --port N          server UDP port (default 1700)\n"
               "  --eui HEX         gateway EUI, 16 hex digits (default 0102030405060708)\n"
               "  --data PAYLOAD    PHY payload: hex, or Base64; force with hex:... or b64:...\n"
               "  --size N          \"size\" to send instead of the payload's length\n"
               "  --rssi N --lsnr X --datr TEXT --freq MHZ --tmst N --chan N --codr TEXT\n"
               "                    radio metadata of rxpk (defaults -50, 7.5, SF7BW125,\n"
               "                    868.1, 1000000, 0, 4/5)\n"
               "  --txack-json TEXT JSON text of txack\n"
               "  --version N       protocol version byte (default 2)\n"
               "  --listen SECONDS  how long to print answers (default 1); PULL_DATA is\n"
               "                    repeated every 10 s meanwhile when pull was given\n"
               "  --help\n"
               "Exit status: 0 done, 1 socket error, 2 bad arguments.\n",
               program);
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = text[k];
      unsigned digit;
      if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
      else return std::nullopt;
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

// Hex when the text is made of hex digit pairs only, else Base64; the
// prefixes "hex:" and "b64:" settle the rare text that is both.
std::optional<std::vector<uint8_t>> ParsePayload(std::string_view text) {
  if (text.substr(0, 4) == "hex:") return ParseHex(text.substr(4));
  if (text.substr(0, 4) == "b64:") return quorvex::test::Base64Decode(text.substr(4));
  if (auto hex = ParseHex(text)) return hex;
  return quorvex::test::Base64Decode(text);
}

std::optional<long long> ParseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

// A number as JSON: an integer when written as one, else a real number.
std::optional<Json::Value> ParseNumber(const std::string& text) {
  if (auto integer = ParseInteger(text)) return Json::Value(static_cast<Json::Int64>(*integer));
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return Json::Value(value);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

void PrintDatagram(const SimDatagram& datagram) {
  const char* names[] = {"PUSH_DATA", "PUSH_ACK", "PULL_DATA", "PULL_RESP", "PULL_ACK", "TX_ACK"};
  if (datagram.identifier < 0) {
    std::printf("<- %zu bytes, too short: %s\n", datagram.bytes.size(), Hex(datagram.bytes).c_str());
  } else {
    const char* name = datagram.identifier <= 5 ? names[datagram.identifier] : "unknown identifier";
    std::printf("<- %s version=%d token=0x%04X length=%zu\n", name, datagram.version, datagram.token,
                datagram.bytes.size());
  }
  if (datagram.Is(PfIdentifier::PullResp)) {
    std::printf("   json: %s\n", datagram.json.c_str());
    if (datagram.root.isNull()) std::printf("   (not valid JSON)\n");
    for (const auto& [name, text] : datagram.txpk) std::printf("   txpk.%s = %s\n", name.c_str(), text.c_str());
    if (datagram.phyPayload) {
      std::printf("   phy payload (%zu bytes): %s\n", datagram.phyPayload->size(), Hex(*datagram.phyPayload).c_str());
    }
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 1700;
  uint64_t eui = 0x0102030405060708ULL;
  int version = 2;
  double listenSeconds = 1;
  std::vector<std::string> commands;
  std::optional<std::vector<uint8_t>> payload;
  std::optional<std::string> txackJson;
  RxMeta meta;

  auto bad = [&](const std::string& message) {
    std::fprintf(stderr, "%s: %s (see --help)\n", argv[0], message.c_str());
    return 2;
  };

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout, argv[0]);
      return 0;
    }
    if (arg == "pull" || arg == "stat" || arg == "rxpk" || arg == "txack") {
      commands.push_back(arg);
      continue;
    }
    if (arg.size() < 3 || arg.substr(0, 2) != "--") return bad("unknown command " + arg);
    if (i + 1 >= argc) return bad(arg + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--port") {
      const auto number = ParseInteger(value);
      if (!number || *number < 1 || *number > 65535) return bad("bad port " + value);
      port = static_cast<uint16_t>(*number);
    } else if (arg == "--eui") {
      const auto bytes = ParseHex(value);
      if (!bytes || bytes->size() != 8) return bad("the EUI must be 16 hex digits");
      eui = 0;
      for (uint8_t byte : *bytes) eui = eui << 8 | byte;
    } else if (arg == "--data") {
      payload = ParsePayload(value);
      if (!payload || payload->empty()) return bad("--data is neither hex nor Base64: " + value);
    } else if (arg == "--version") {
      const auto number = ParseInteger(value);
      if (!number || *number < 0 || *number > 255) return bad("bad version " + value);
      version = static_cast<int>(*number);
    } else if (arg == "--listen") {
      char* end = nullptr;
      listenSeconds = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(listenSeconds >= 0) || listenSeconds > 86400) return bad("bad --listen " + value);
    } else if (arg == "--txack-json") {
      txackJson = value;
    } else if (arg == "--datr") {
      meta.datr = value;
    } else if (arg == "--codr") {
      meta.codr = value;
    } else {
      const auto number = ParseNumber(value);
      if (!number) return bad(arg + " needs a number, not " + value);
      if (arg == "--rssi") meta.rssi = *number;
      else if (arg == "--lsnr") meta.lsnr = *number;
      else if (arg == "--freq") meta.freq = *number;
      else if (arg == "--tmst") meta.tmst = *number;
      else if (arg == "--chan") meta.chan = *number;
      else if (arg == "--size") meta.size = *number;
      else return bad("unknown option " + arg);
    }
  }
  if (commands.empty()) return bad("no command given");
  bool pulls = false;
  for (const std::string& command : commands) {
    if (command == "rxpk" && !payload) return bad("rxpk needs --data");
    pulls = pulls || command == "pull";
  }

  try {
    quorvex::test::GatewaySimOptions options;
    options.version = static_cast<uint8_t>(version);
    GatewaySim gateway(port, eui, options);
    std::printf("gateway %s on 127.0.0.1:%u -> 127.0.0.1:%u\n", gateway.EuiText().c_str(), gateway.PushPort(), port);
    for (const std::string& command : commands) {
      uint16_t token = 0;
      if (command == "pull") token = gateway.SendPullData();
      else if (command == "stat") token = gateway.SendStat();
      else if (command == "rxpk") token = gateway.SendRxpk(meta, *payload);
      else token = gateway.SendTxAck(txackJson);
      std::printf("-> %s token=0x%04X\n", command.c_str(), token);
      if (command == "rxpk") {
        std::printf("   json: %s\n", GatewaySim::ToJsonText(GatewaySim::RxpkElement(meta, *payload)).c_str());
      }
    }
    std::fflush(stdout);

    // Listen in slices so that keep-alives go out on time.
    int received = 0;
    double left = listenSeconds;
    double sinceKeepAlive = 0;
    while (left > 0) {
      const double slice = std::min(left, kKeepAliveSeconds - sinceKeepAlive);
      const auto started = std::chrono::steady_clock::now();
      if (auto datagram = gateway.WaitForAny(static_cast<int>(std::ceil(slice * 1000)))) {
        PrintDatagram(*datagram);
        ++received;
      }
      const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      left -= spent;
      sinceKeepAlive += spent;
      if (pulls && sinceKeepAlive >= kKeepAliveSeconds && left > 0) {
        std::printf("-> pull token=0x%04X (keep-alive)\n", gateway.SendPullData());
        std::fflush(stdout);
        sinceKeepAlive = 0;
      }
    }
    if (received == 0) std::printf("no answer\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
  return 0;
}
