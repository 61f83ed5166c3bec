// libFuzzer target for the gateway datagram path: the raw payload of one UDP
// datagram goes through CQuorvexApp::OnGatewayDatagram exactly as the receive
// thread hands it over (header, JSON, gateway registry, Base64, the join and
// uplink procedures, acknowledgements, the transmit queue).
//
// One application object serves the whole run. Its database lives in a fresh
// temporary directory (QUORVEX_FUZZ_TMPDIR, else TMPDIR, else /tmp), the
// options are the defaults (Auto Reg on), and the server is never started:
// no socket, no thread. The acknowledgements the dispatcher sends therefore
// go nowhere, which is fine: the fuzzer looks at the decisions, not the wire.
//
// Before the first input the fixture gateway (FuzzFixture.h) sends one
// PULL_DATA, so that PUSH_DATA carrying its EUI reaches the "rxpk" path, and
// the fixture applications and devices are stored so that join requests and
// uplinks find their device.
//
// Each input is one datagram. After it the harness puts back whatever the
// input may have changed that would make a later input behave differently
// (gateways it registered, the fixture devices' rows, queued answers, the log
// ring), so that a crashing input also crashes when run on its own.
//
// The dispatcher traces every radio packet to stderr. Unless QUORVEX_FUZZ_TRACE
// is set (to anything) the target asks libFuzzer to close its stderr
// (-close_fd_mask=2); sanitizer reports and libFuzzer's own lines still come
// through on a duplicate of the original descriptor.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzFixture.h"
#include "gateway/JSonIFace2x.h"
#include "persistence/Application.h"
#include "persistence/Device.h"
#include "platform/Tick.h"
#include "runtime/QuorvexApp.h"
#include "runtime/Trace.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using namespace quorvex;

// Log rows only fill the disk; they change no decision. Emptied this often.
constexpr uint64_t kLogPurgeInterval = 1024;

[[noreturn]] void SetUpFailed(const char* what) {
  std::fprintf(stderr, "quorvex-fuzz-datagram: set-up failed: %s\n", what);
  std::abort();
}

// The directory the temporary data directory is made in.
std::string TempBase() {
  for (const char* name : {"QUORVEX_FUZZ_TMPDIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "/tmp";
}

class DatagramHarness {
 public:
  DatagramHarness() {
    m_Dir = MakeTempDir();
    if (!MakeAddress(fuzz::kSenderIp, fuzz::kSenderPort, m_Sender)) SetUpFailed("sender address");

    // Trace lines must not reach a console program that happens to run on
    // this machine: look for one under a name nobody listens on.
    trace_testing::UseConsoleName("quorvex-fuzz-" + std::to_string(getpid()));

    // InitBase makes the data directory the current one; libFuzzer writes
    // new corpus entries and crash files relative to the directory it was
    // started in, so go back. The database path is absolute.
    std::error_code error;
    const std::filesystem::path startDir = std::filesystem::current_path(error);
    if (error) SetUpFailed("current directory");
    m_App = std::make_unique<CQuorvexApp>();
    m_App->m_Settings.SetDefaults();  // Auto Reg on, typed log records on
    if (!m_App->InitBase(m_Dir.string())) SetUpFailed("InitBase");
    std::filesystem::current_path(startDir, error);
    if (error) SetUpFailed("back to the start directory");
    if (!m_App->m_LoRaDbMgr.IsOpen() || m_App->m_LoRaDbMgr.m_Result != 0) SetUpFailed("database open");
    {
      // Durability is not under test; without it each insert costs no sync.
      std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
      sqlite3_exec(m_App->m_LoRaDbMgr.Connection(), "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    }
    if (m_App->LoadRegistries() != 0) SetUpFailed("LoadRegistries");

    StoreFixture();
    PullOnce();
  }

  ~DatagramHarness() {
    m_App.reset();  // closes the database before its directory goes
    std::error_code error;
    std::filesystem::remove_all(m_Dir, error);
  }

  DatagramHarness(const DatagramHarness&) = delete;
  DatagramHarness& operator=(const DatagramHarness&) = delete;

  // One datagram, in a buffer with one spare byte after it as the receive
  // thread provides (and zeroes), then the reset.
  void Feed(const uint8_t* data, size_t size) {
    std::vector<uint8_t> buffer(size + 1, 0);
    if (size != 0) std::memcpy(buffer.data(), data, size);
    const int64_t changesBefore = RowChanges();
    // Arrived as it is handed over, as a datagram the receive thread read at once.
    m_App->OnGatewayDatagram(m_Sender, buffer.data(), static_cast<uint32_t>(size), GetTickCount64() + 1);
    m_App->m_LoRaDbMgr.CommitBatch();  // as the receive loop does at the end of a burst
    Reset(RowChanges() != changesBefore);
  }

 private:
  static std::filesystem::path MakeTempDir() {
    std::string pattern = TempBase() + "/quorvex-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) SetUpFailed("mkdtemp (set QUORVEX_FUZZ_TMPDIR to a writable directory)");
    std::error_code error;
    std::filesystem::path dir = std::filesystem::absolute(name.data(), error);
    if (error) SetUpFailed("absolute temp path");
    return dir;
  }

  template <size_t N>
  static void Copy(uint8_t (&to)[N], const uint8_t (&from)[N]) {
    std::memcpy(to, from, N);
  }

  // One application per activation mode, each with its device; the rows as
  // stored are kept to be written back after every input.
  void StoreFixture() {
    const auto makeApplication = [](int32_t activation, const auto& appEui) {
      auto application = std::make_unique<CApplication>();
      application->ACTIVATION = activation;
      application->ADR = 1;
      application->CHMASK = 0x00FF;
      Copy(application->APPEUI, appEui);
      application->RX2CHAN = 921900000;
      return application;
    };
    auto otaaApp = makeApplication(0, fuzz::kOtaaAppEui);
    auto abpApp = makeApplication(1, fuzz::kAbpAppEui);
    const CApplication* otaaRecord = otaaApp.get();
    const CApplication* abpRecord = abpApp.get();
    if (m_App->m_LoRaAppList.InsertApplication(std::move(otaaApp)) != 0 ||
        m_App->m_LoRaAppList.InsertApplication(std::move(abpApp)) != 0)
      SetUpFailed("storing the applications");

    auto otaaDevice = std::make_unique<CDevice>();
    otaaDevice->APKEY = otaaRecord->PKEY;
    Copy(otaaDevice->DEVEUI, fuzz::kOtaaDevEui);
    Copy(otaaDevice->APPKEY, fuzz::kOtaaAppKey);
    otaaDevice->TXSEQ = -1;
    otaaDevice->RXSEQ = -1;
    auto abpDevice = std::make_unique<CDevice>();
    abpDevice->APKEY = abpRecord->PKEY;
    abpDevice->JOINED = 1;
    Copy(abpDevice->DEVEUI, fuzz::kAbpDevEui);
    abpDevice->DEVADDR = fuzz::kAbpDevAddr;
    Copy(abpDevice->NETSKEY, fuzz::kAbpNwkSKey);
    Copy(abpDevice->APPSKEY, fuzz::kAbpAppSKey);
    abpDevice->TXSEQ = -1;
    abpDevice->RXSEQ = fuzz::kAbpStoredRxSeq;
    abpDevice->ADR = 0;  // no LinkADRReq pending: the ADR decision runs
    if (m_App->m_LoRaDevMgr.InsertDevice(std::move(otaaDevice)) != 0 ||
        m_App->m_LoRaDevMgr.InsertDevice(std::move(abpDevice)) != 0)
      SetUpFailed("storing the devices");

    for (const auto* eui : {&fuzz::kOtaaDevEui, &fuzz::kAbpDevEui}) {
      const std::unique_ptr<CDevice> stored = m_App->m_LoRaDevMgr.GetDeviceByEui(*eui);
      if (!stored) SetUpFailed("reading the devices back");
      m_DeviceRows.push_back(static_cast<const CDeviceRow&>(*stored));
    }
  }

  // The fixture gateway registers itself and pulls; it must come out active
  // and pulled, or no input would ever reach the radio packets.
  void PullOnce() {
    std::vector<uint8_t> pull = {2, 0x12, 0x34, CJSonIFace2x::kIdPullData};
    for (int shift = 56; shift >= 0; shift -= 8) pull.push_back(static_cast<uint8_t>(fuzz::kGatewayEui >> shift));
    Feed(pull.data(), pull.size());
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaGateMgr.Mutex());
    const auto& gateways = m_App->m_LoRaGateMgr.m_Gateways;
    if (gateways.size() != 1 || gateways[0]->ACTIVE != 1 || gateways[0]->m_PullSeen != 1 ||
        gateways[0]->PKEY == 0)
      SetUpFailed("the fixture gateway is not active and pulled after its PULL_DATA");
  }

  // Rows inserted, updated or deleted so far on the connection.
  int64_t RowChanges() {
    std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaDbMgr.Mutex());
    return sqlite3_total_changes64(m_App->m_LoRaDbMgr.Connection());
  }

  void Reset(bool rowsChanged) {
    CLog record;
    while (m_App->TakeLogRecord(record)) {
    }
    // Answers are never sent (no scheduler thread); drop them now.
    m_App->m_LoRaJitMgr.DeleteAll();
    {
      // Gateways registered by this input leave the list and the table; the
      // fixture gateway is always the first record.
      std::lock_guard<std::recursive_mutex> lock(m_App->m_LoRaGateMgr.Mutex());
      auto& gateways = m_App->m_LoRaGateMgr.m_Gateways;
      while (gateways.size() > 1) {
        int32_t result = 0;
        if (gateways.back()->PKEY != 0) m_App->m_LoRaDbMgr.DeleteGatewayRow(gateways.back()->PKEY, result);
        gateways.pop_back();
      }
    }
    // The devices' counters, keys and join state, when the input wrote
    // anything at all (rarely: most inputs stop before the database).
    if (rowsChanged) {
      for (const CDeviceRow& row : m_DeviceRows) m_App->m_LoRaDevMgr.UpdateDevice(&row);
    }
    if (++m_Runs % kLogPurgeInterval == 0) {
      int32_t result = 0;
      m_App->m_LoRaDbMgr.DeleteAllLogRows(result);
    }
  }

  std::filesystem::path m_Dir;
  std::unique_ptr<CQuorvexApp> m_App;
  SocketAddress m_Sender{};
  std::vector<CDeviceRow> m_DeviceRows;
  uint64_t m_Runs = 0;
};

std::unique_ptr<DatagramHarness> g_Harness;

// argv with libFuzzer's flag that closes the target's stderr appended; kept
// for the life of the process because libFuzzer keeps pointing into it.
std::vector<std::string> g_ArgText;
std::vector<char*> g_Args;

void QuietStderr(int* argc, char*** argv) {
  if (std::getenv("QUORVEX_FUZZ_TRACE") != nullptr) return;
  for (int i = 1; i < *argc; ++i)
    if (std::strncmp((*argv)[i], "-close_fd_mask=", 15) == 0) return;  // the caller chose
  g_ArgText.assign(*argv, *argv + *argc);
  g_ArgText.emplace_back("-close_fd_mask=2");
  for (std::string& arg : g_ArgText) g_Args.push_back(arg.data());
  g_Args.push_back(nullptr);
  *argc = static_cast<int>(g_ArgText.size());
  *argv = g_Args.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Set up while stderr is still open, so a failed set-up says why.
  g_Harness = std::make_unique<DatagramHarness>();
  QuietStderr(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_Harness->Feed(data, size);
  return 0;
}
