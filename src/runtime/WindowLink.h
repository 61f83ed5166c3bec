// The two messages server threads send to the operator window, behind an
// interface that any window (the headless printer, a Qt window) implements.
#pragma once

namespace quorvex {

// A packet-log record was put into the application's log ring.
constexpr int UM_NOTIFY = 2025;
// A gateway was registered for the first time.
constexpr int UM_GATEWAYS = 2026;
// Close the program (accepted by the window; nothing in the server sends it).
constexpr int UM_QUIT = 2027;

class IWindowLink {
 public:
  virtual ~IWindowLink() = default;
  // Delivers `message` to the window and returns once the window has handled
  // it. Called from server threads; callers must not hold a lock that the
  // window's handlers take.
  virtual void SendWindowMessage(int message) = 0;
};

}  // namespace quorvex
