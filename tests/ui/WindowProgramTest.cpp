// The real window program on a virtual X display (Xvfb), driven as an
// operator would: a gateway sends an uplink, its row appears on the server
// page, the operator presses Stop and then closes the window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "persistence/Application.h"
#include "persistence/Device.h"
#include "runtime/QuorvexApp.h"
#include "support/DeviceSim.h"
#include "support/GatewaySim.h"
#include "support/Ports.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace quorvex::test {
namespace {

std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

bool HaveCommand(const char* name) { return RunCommand(std::string("command -v ") + name + " 2>/dev/null").size() > 0; }

// A screen grab in X's dump format, as xwd writes it (24 or 32 bits a pixel).
struct Screen {
  int width = 0, height = 0, bytesPerLine = 0, bytesPerPixel = 4;
  bool msbFirst = false;
  uint32_t masks[3] = {};
  std::string pixels;

  static std::optional<Screen> Grab(const std::string& display) {
    const std::string dump = RunCommand("xwd -root -silent -display " + display);
    if (dump.size() < 100) return std::nullopt;
    auto word = [&](int i) {
      const auto* b = reinterpret_cast<const uint8_t*>(dump.data()) + 4 * i;
      return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    };
    Screen s;
    const uint32_t headerSize = word(0), bitsPerPixel = word(11), colours = word(19);
    s.width = static_cast<int>(word(4));
    s.height = static_cast<int>(word(5));
    s.msbFirst = word(7) == 1;
    s.bytesPerLine = static_cast<int>(word(12));
    s.masks[0] = word(14), s.masks[1] = word(15), s.masks[2] = word(16);
    const size_t start = headerSize + 12 * colours;
    s.bytesPerPixel = static_cast<int>(bitsPerPixel / 8);
    if ((bitsPerPixel != 32 && bitsPerPixel != 24) || dump.size() < start + size_t(s.bytesPerLine) * s.height) return std::nullopt;
    s.pixels = dump.substr(start);
    return s;
  }

  // Red, green, blue of a pixel.
  std::array<int, 3> At(int x, int y) const {
    const auto* b = reinterpret_cast<const uint8_t*>(pixels.data()) + y * bytesPerLine + bytesPerPixel * x;
    uint32_t v = 0;
    for (int i = 0; i < bytesPerPixel; ++i) {
      const int shift = msbFirst ? 8 * (bytesPerPixel - 1 - i) : 8 * i;
      v |= uint32_t(b[i]) << shift;
    }
    std::array<int, 3> rgb{};
    for (int c = 0; c < 3; ++c) {
      const uint32_t mask = masks[c];
      rgb[static_cast<size_t>(c)] = mask ? static_cast<int>((v & mask) >> __builtin_ctz(mask)) : 0;
    }
    return rgb;
  }

  // Pixels of the red row text in a rectangle.
  int RedPixels(int x0, int y0, int x1, int y1) const {
    int count = 0;
    for (int y = y0; y < y1 && y < height; ++y)
      for (int x = x0; x < x1 && x < width; ++x) {
        const auto [r, g, b] = At(x, y);
        count += r > 180 && g < 90 && b < 90;
      }
    return count;
  }
};

class VirtualDisplay {
 public:
  VirtualDisplay() {
    for (int n = 90 + getpid() % 400; n < 990 && m_Name.empty(); n += 7) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) continue;
      const std::string name = ":" + std::to_string(n);
      m_Server = std::make_unique<ServerProcess>(
          "/usr/bin/Xvfb", std::vector<std::string>{name, "-screen", "0", "1600x1000x24", "-nolisten", "tcp"},
          m_Dir.File("xvfb.out"), m_Dir.File("xvfb.err"));
      if (WaitUntil([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)); }, 10000))
        m_Name = name;
    }
  }
  const std::string& Name() const { return m_Name; }

 private:
  TempDir m_Dir;
  std::unique_ptr<ServerProcess> m_Server;
  std::string m_Name;
};

const Key kNwkSKey = {0x44, 0x02, 0x4B, 0x1D, 0xE3, 0xB6, 0x4F, 0x72, 0x55, 0x6B, 0xAC, 0x6E, 0x36, 0x1D, 0x02, 0x9D};
const Key kAppSKey = {0xF1, 0x60, 0xA6, 0x9F, 0xC2, 0x8E, 0x13, 0x8F, 0x66, 0x40, 0x92, 0x8C, 0x81, 0x0B, 0x28, 0xA9};

// A data directory with one ABP device on an application without a server.
void PrepareData(const std::string& dir, const DeviceSim& sim) {
  CQuorvexApp app;
  ASSERT_TRUE(app.InitBase(dir));
  auto application = std::make_unique<CApplication>();
  application->ACTIVATION = 1;
  application->APPEUI[7] = 1;
  CApplication* kept = application.get();
  ASSERT_EQ(app.m_LoRaAppList.InsertApplication(std::move(application)), 0);
  auto device = std::make_unique<CDevice>();
  device->APKEY = kept->PKEY;
  device->JOINED = 1;
  device->DEVEUI[7] = 0x42;
  device->DEVADDR = sim.DevAddr();
  std::copy(sim.NwkSKey().begin(), sim.NwkSKey().end(), device->NETSKEY);
  std::copy(sim.AppSKey().begin(), sim.AppSKey().end(), device->APPSKEY);
  device->TXSEQ = -1;
  device->RXSEQ = -1;
  ASSERT_EQ(app.m_LoRaDevMgr.InsertDevice(std::move(device)), 0);
}

TEST(WindowProgramTest, UplinkRowAppearsThenStopAndClose) {
  ASSERT_TRUE(HaveCommand("Xvfb") && HaveCommand("xdotool") && HaveCommand("xwd"))
      << "the set-up script installs xvfb, xdotool and x11-apps";
  VirtualDisplay display;
  ASSERT_FALSE(display.Name().empty()) << "Xvfb did not start";
  TempDir data;
  DeviceSim sim(0x26011BDA, kNwkSKey, kAppSKey);
  PrepareData(data.Path().string(), sim);
  const uint16_t port = FreeUdpPort();

  setenv("DISPLAY", display.Name().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  ServerProcess window(QUORVEX_WINDOW_BIN,
                       {"--data-dir", data.Path().string(), "--port", std::to_string(port), "--start"},
                       data.File("window.out"), data.File("window.err"));
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  GatewaySim gateway(port, 0xAA555A0000000001ull);
  ASSERT_TRUE(WaitUntil([&] {
    const uint16_t token = gateway.SendPullData();
    auto ack = gateway.WaitFor(PfIdentifier::PullAck, 200);
    return ack && ack->token == token;
  })) << "the window program started the server; stderr: " << window.Stderr();
  RxMeta meta;
  meta.freq = 922.1;
  gateway.SendRxpk(meta, sim.Uplink(1, false, 2, {0x01, 0x02}));
  ASSERT_TRUE(gateway.WaitFor(PfIdentifier::PushAck, kPatienceMs));

  // The server page's list starts at (330, 160) on the screen (the window at
  // the top left, the page at (15, 130), the list at (315, 10) in the page,
  // a 20-pixel header); an uplink row is red.
  std::optional<Screen> screen;
  ASSERT_TRUE(WaitUntil([&] {
    screen = Screen::Grab(display.Name());
    return screen && screen->RedPixels(330, 160, 1370, 260) > 20;
  })) << "no red uplink row on the server page";

  const std::string xdo = "DISPLAY=" + display.Name() + " xdotool ";
  RunCommand(xdo + "mousemove 1353 96 click 1");  // Stop
  EXPECT_TRUE(WaitUntil([&] {
    gateway.SendPullData();
    return !gateway.WaitFor(PfIdentifier::PullAck, 300).has_value();
  })) << "the server still answers after Stop";
  RunCommand(xdo + "mousemove 1378 18 click 1");  // the caption's close button
  const std::optional<int> exit = window.WaitExit(10000);
  ASSERT_TRUE(exit.has_value()) << "the window did not close";
  EXPECT_EQ(*exit, 0) << window.Stderr();
}

}  // namespace
}  // namespace quorvex::test
