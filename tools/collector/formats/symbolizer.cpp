#include "symbolizer.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace collector {
namespace {

// Splits "FILE:LINE:COLUMN" from the right, since the file may hold colons.
void ParseFileLine(const std::string& text, SourceLocation& out) {
  size_t columnColon = text.rfind(':');
  if (columnColon == std::string::npos || columnColon == 0) {
    return;
  }
  size_t lineColon = text.rfind(':', columnColon - 1);
  if (lineColon == std::string::npos) {
    return;
  }
  std::string file = text.substr(0, lineColon);
  std::string line = text.substr(lineColon + 1, columnColon - lineColon - 1);
  if (file == "??" || file.empty() || line.empty() || line.size() > 9 ||
      line.find_first_not_of("0123456789") != std::string::npos) {
    return;
  }
  out.line = static_cast<uint32_t>(std::stoul(line));
  if (out.line != 0) {
    out.file = file;
  }
}

// llvm-symbolizer leaves C++ names of 32-bit PE files mangled (it expects the extra leading
// underscore of that target's C names): demangle what still looks like an Itanium name.
std::string Demangled(const std::string& name) {
  if (name.compare(0, 2, "_Z") != 0) return name;
  int status = 0;
  char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string out = plain;
  std::free(plain);
  return out;
}

// llvm-symbolizer's default output: per address, pairs of lines (function, FILE:LINE:COLUMN),
// more than one pair when inlined (innermost first), then an empty line.
std::vector<SourceLocation> ParseOutput(const std::string& output, size_t count) {
  std::vector<SourceLocation> locations(count);
  std::vector<std::string> block;
  size_t index = 0;
  size_t start = 0;
  while (start < output.size() && index < count) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) {
      end = output.size();
    }
    std::string line = output.substr(start, end - start);
    start = end + 1;
    if (!line.empty()) {
      block.push_back(line);
      continue;
    }
    if (block.size() >= 2) {
      if (block[0] != "??") {
        locations[index].function = Demangled(block[0]);
      }
      ParseFileLine(block[1], locations[index]);
    }
    block.clear();
    ++index;
  }
  return locations;
}

}  // namespace

std::string SymbolizerProgram() {
  const char* chosen = std::getenv("COLLECTOR_SYMBOLIZER");
  return chosen != nullptr && *chosen != '\0' ? chosen : "llvm-symbolizer";
}

std::vector<SourceLocation> Symbolize(const std::string& objectPath,
                                      const std::vector<uint64_t>& addresses, ScratchDir& scratch) {
  std::vector<SourceLocation> none(addresses.size());
  if (addresses.empty()) {
    return none;
  }
  // The addresses go in through a file, so that writing them can never wait on the child
  // reading while it waits on us to read its output.
  std::string input;
  for (uint64_t address : addresses) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%" PRIx64 "\n", address);
    input += text;
  }
  std::string inputPath = scratch.Write("addresses", input);
  if (inputPath.empty()) {
    return none;
  }

  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    return none;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = SymbolizerProgram();
  std::string objectArg = "--obj=" + objectPath;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(objectArg.c_str()),
                  const_cast<char*>("--demangle"), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  if (spawned != 0) {
    close(outPipe[0]);
    return none;
  }
  std::string output;
  char buffer[8192];
  while (true) {
    ssize_t got = read(outPipe[0], buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    output.append(buffer, static_cast<size_t>(got));
  }
  close(outPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return none;
  }
  return ParseOutput(output, addresses.size());
}

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/collector-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
  }
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) {
    return;
  }
  for (const std::string& file : files_) {
    unlink(file.c_str());
  }
  for (auto dir = dirs_.rbegin(); dir != dirs_.rend(); ++dir) {
    rmdir(dir->c_str());
  }
  rmdir(path_.c_str());
}

std::string ScratchDir::Write(const std::string& name, const std::string& bytes) {
  if (path_.empty()) {
    return std::string();
  }
  std::string path = path_ + "/" + name;
  files_.push_back(path);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return std::string();
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  written = std::fclose(file) == 0 && written;
  return written ? path : std::string();
}

std::string ScratchDir::MakeDir(const std::string& name) {
  if (path_.empty()) {
    return std::string();
  }
  std::string path = path_ + "/" + name;
  if (mkdir(path.c_str(), 0700) != 0) {
    return std::string();
  }
  dirs_.push_back(path);
  return path;
}

}  // namespace collector
