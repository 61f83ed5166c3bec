#include "support/TempDir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace quorvex::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_Path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_Path, ec);
}

}  // namespace quorvex::test
