#pragma once
// Scratch directories and whole-file reads and writes for suites that touch the disk.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace TestSupport {

// A directory of its own, removed unless the test failed (what was left helps).
class ScratchDir {
 public:
  ScratchDir() {
    std::string dir = testing::TempDir() + "cfm-test-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = dir;
  }
  ~ScratchDir() {
    if (!testing::Test::HasFailure()) std::filesystem::remove_all(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace TestSupport
