// Polling wait for tests: generous deadlines, so that a loaded machine
// slows a test down instead of failing it.
#pragma once
#include <chrono>
#include <thread>

namespace quorvex::test {

// Default deadline for something that normally takes milliseconds.
constexpr int kPatienceMs = 10000;

template <typename Predicate>
bool WaitUntil(Predicate predicate, int timeoutMs = kPatienceMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace quorvex::test
