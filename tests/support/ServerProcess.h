// Runs the real quorvex-server binary for integration tests and the load
// tool: its stdout and stderr go to files, and waiting for it to end has a
// deadline.
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quorvex::test {

class ServerProcess {
 public:
  // Starts `binary` with `args`; output files are created in `outputDir`.
  ServerProcess(const std::string& binary, const std::vector<std::string>& args, const std::string& outputDir);
  // Starts `binary` with `args`, its stdout and stderr going to these files.
  // Throws std::runtime_error when it cannot fork; a failed exec ends the
  // child with status 127.
  ServerProcess(const std::string& binary, const std::vector<std::string>& args, const std::string& outPath,
                const std::string& errPath);
  // Kills the process if it still runs.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t Pid() const { return m_Pid; }
  void Signal(int signal);
  // True while it has not ended (reaps it when it has).
  bool Running() { return !WaitExit(0).has_value(); }
  // The exit code, or nothing when it did not end within `timeoutMs` (or
  // ended by a signal: then -signal).
  std::optional<int> WaitExit(int timeoutMs);
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  // The output files' path without its ".out" / ".err", made once.
  struct OutputBase {
    std::string path;
  };
  ServerProcess(const std::string& binary, const std::vector<std::string>& args, const OutputBase& base);

  pid_t m_Pid = -1;
  std::optional<int> m_Exit;
  std::string m_OutPath, m_ErrPath;
};

// Runs `binary` with `args` to completion (deadline `timeoutMs`); returns the
// exit code and fills the captured output.
std::optional<int> RunToEnd(const std::string& binary, const std::vector<std::string>& args,
                            const std::string& outputDir, std::string* out, std::string* err,
                            int timeoutMs = 10000);

}  // namespace quorvex::test
