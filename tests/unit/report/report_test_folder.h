#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

// A fresh folder for a report's files, removed with everything in it at the end of the test.
class ReportTestFolder {
 public:
  ReportTestFolder()
      : path_(std::filesystem::temp_directory_path() /
              ("vexo-report-" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(path_);
  }
  ~ReportTestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  void Write(const char* name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
  }
  // The folder's path with a trailing separator, as ReportInputs::folder takes it.
  std::string Prefix() const { return (path_ / "").string(); }

 private:
  std::filesystem::path path_;
};
