#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace collector {

struct SourceLocation {
  std::string function;  // "" when unknown
  std::string file;      // "" when unknown
  uint32_t line = 0;
};

// The llvm-symbolizer to run: $COLLECTOR_SYMBOLIZER when set, else llvm-symbolizer from PATH.
std::string SymbolizerProgram();

// A private directory under $TMPDIR (or /tmp), removed with its files when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Writes a file inside the directory (name may be "DIR/NAME" for a directory made by
  // MakeDir); returns its path, or "" on failure.
  std::string Write(const std::string& name, const std::string& bytes);
  // Makes a directory inside it, removed with it; returns its path, or "" on failure.
  std::string MakeDir(const std::string& name);

 private:
  std::string path_;
  std::vector<std::string> files_;
  std::vector<std::string> dirs_;
};

// Looks the addresses up in one object file with llvm-symbolizer as a child process. Returns one
// location per address; they stay empty when the program is missing, fails or says nothing.
std::vector<SourceLocation> Symbolize(const std::string& objectPath,
                                      const std::vector<uint64_t>& addresses, ScratchDir& scratch);

}  // namespace collector
