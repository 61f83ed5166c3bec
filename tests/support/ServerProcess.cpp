#include "support/ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quorvex::test {

namespace {
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
int counter = 0;
}  // namespace

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& args,
                             const std::string& outputDir)
    : ServerProcess(binary, args,
                    OutputBase{outputDir + "/server-" + std::to_string(getpid()) + "-" + std::to_string(++counter)}) {}

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& args,
                             const OutputBase& base)
    : ServerProcess(binary, args, base.path + ".out", base.path + ".err") {}

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& args,
                             const std::string& outPath, const std::string& errPath)
    : m_OutPath(outPath), m_ErrPath(errPath) {
  // Everything the child needs is made before the fork: after it, only
  // async-signal-safe calls until exec.
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  m_Pid = fork();
  if (m_Pid < 0) throw std::runtime_error("fork failed");
  if (m_Pid == 0) {
    const int out = open(m_OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(m_ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    close_range(3, ~0u, 0);  // the server must not hold the caller's sockets
    execv(raw[0], raw.data());
    _exit(127);
  }
}

ServerProcess::~ServerProcess() {
  if (!m_Exit && m_Pid > 0) {
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
  }
}

void ServerProcess::Signal(int signal) {
  if (!m_Exit && m_Pid > 0) kill(m_Pid, signal);
}

std::optional<int> ServerProcess::WaitExit(int timeoutMs) {
  if (m_Exit) return m_Exit;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(m_Pid, &status, WNOHANG);
    if (done == m_Pid) {
      m_Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return m_Exit;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ServerProcess::Stdout() const { return ReadFile(m_OutPath); }
std::string ServerProcess::Stderr() const { return ReadFile(m_ErrPath); }

std::optional<int> RunToEnd(const std::string& binary, const std::vector<std::string>& args,
                            const std::string& outputDir, std::string* out, std::string* err, int timeoutMs) {
  ServerProcess process(binary, args, outputDir);
  const auto code = process.WaitExit(timeoutMs);
  if (out) *out = process.Stdout();
  if (err) *err = process.Stderr();
  return code;
}

}  // namespace quorvex::test
