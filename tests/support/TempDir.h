// A fresh temporary directory per test, removed with everything in it when
// the fixture goes out of scope.
#pragma once
#include <filesystem>
#include <string>

namespace quorvex::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return m_Path; }
  std::string File(const std::string& name) const { return (m_Path / name).string(); }

 private:
  std::filesystem::path m_Path;
};

}  // namespace quorvex::test
