#include "stack_text.h"

#include <cstdio>

namespace collector {
namespace {

constexpr char kHeader[] = "VexoCrashRpt stack 1";

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

// 1 to 8 hex digits without prefix. The writer pads where the grammar says so; the reader does
// not insist, since a value is a value.
bool ParseHexDigits(const std::string& digits, uint32_t& out) {
  if (digits.empty() || digits.size() > 8) {
    return false;
  }
  uint32_t value = 0;
  for (char c : digits) {
    if (!IsHexDigit(c)) {
      return false;
    }
    value = (value << 4) | HexValue(c);
  }
  out = value;
  return true;
}

bool ParseHex(const std::string& token, uint32_t& out) {
  return token.size() > 2 && token[0] == '0' && token[1] == 'x' &&
         ParseHexDigits(token.substr(2), out);
}

std::vector<std::string> SplitSpaces(const std::string& text) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (true) {
    size_t space = text.find(' ', start);
    tokens.push_back(text.substr(start, space - start));
    if (space == std::string::npos) {
      return tokens;
    }
    start = space + 1;
  }
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", value);
  return text;
}

std::string HexShort(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", value);
  return text;
}

bool IsDebugId(const std::string& token) {
  // 32 digits of GUID and 1 to 8 of age.
  if (token.size() < 33 || token.size() > 40) {
    return false;
  }
  for (char c : token) {
    if (!IsHexDigit(c)) {
      return false;
    }
  }
  return true;
}

void ParseException(const std::string& rest, StackTrace& trace) {
  std::vector<std::string> tokens = SplitSpaces(rest);
  uint32_t code = 0;
  uint32_t address = 0;
  if (tokens.size() == 2 && ParseHex(tokens[0], code) && ParseHex(tokens[1], address)) {
    trace.hasException = true;
    trace.code = code;
    trace.exceptionAddress = address;
  }
}

void ParseRegisters(const std::string& rest, StackTrace& trace) {
  std::vector<std::pair<std::string, uint32_t>> registers;
  for (const std::string& token : SplitSpaces(rest)) {
    size_t equals = token.find('=');
    uint32_t value = 0;
    if (equals == std::string::npos || equals == 0 || !ParseHex(token.substr(equals + 1), value)) {
      continue;
    }
    std::string name = token.substr(0, equals);
    bool plain = true;
    for (char c : name) {
      plain = plain && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    }
    if (plain) {
      registers.emplace_back(name, value);
    }
  }
  if (!registers.empty()) {
    trace.registers = std::move(registers);
  }
}

void ParseModule(const std::string& rest, StackTrace& trace) {
  // Four single-space separated tokens, then the name, which may hold spaces.
  StackModule module;
  size_t start = 0;
  std::string tokens[4];
  for (std::string& token : tokens) {
    size_t space = rest.find(' ', start);
    if (space == std::string::npos) {
      return;
    }
    token = rest.substr(start, space - start);
    start = space + 1;
  }
  if (!ParseHex(tokens[0], module.base) || !ParseHex(tokens[1], module.size) ||
      !ParseHex(tokens[2], module.timestamp)) {
    return;
  }
  if (tokens[3] != "-") {
    if (!IsDebugId(tokens[3])) {
      return;
    }
    module.debugId = tokens[3];
  }
  std::string names = rest.substr(start);
  size_t bar = names.find('|');
  module.name = names.substr(0, bar);
  if (bar != std::string::npos) {
    module.debugFile = names.substr(bar + 1);
  }
  if (module.name.empty()) {
    return;
  }
  trace.modules.push_back(std::move(module));
}

void ParseFrame(const std::string& line, StackTrace& trace) {
  size_t digitsEnd = 1;
  while (digitsEnd < line.size() && line[digitsEnd] >= '0' && line[digitsEnd] <= '9') {
    ++digitsEnd;
  }
  if (digitsEnd == 1 || digitsEnd > 6 || digitsEnd >= line.size() || line[digitsEnd] != ' ' ||
      trace.frames.size() >= kMaxStackFrames) {
    return;
  }
  StackFrame frame;
  frame.index = static_cast<uint32_t>(std::stoul(line.substr(1, digitsEnd - 1)));
  // Parsed from the right: the method is the last token, and module names may hold spaces.
  std::string rest = line.substr(digitsEnd + 1);
  size_t lastSpace = rest.rfind(' ');
  if (lastSpace == std::string::npos || lastSpace == 0 || lastSpace + 1 == rest.size()) {
    return;
  }
  frame.method = rest.substr(lastSpace + 1);
  std::string location = rest.substr(0, lastSpace);
  size_t plus = location.rfind("+0x");
  if (plus != std::string::npos && plus > 0 &&
      ParseHexDigits(location.substr(plus + 3), frame.offset)) {
    frame.module = location.substr(0, plus);
  } else if (!ParseHex(location, frame.address)) {
    return;
  }
  trace.frames.push_back(std::move(frame));
}

}  // namespace

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

StackTrace ParseStackText(const std::string& text) {
  StackTrace trace;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line == kHeader) {
      trace.hasHeader = true;
    } else if (StartsWith(line, "exception ")) {
      ParseException(line.substr(10), trace);
    } else if (StartsWith(line, "thread ")) {
      trace.hasThread = ParseHex(line.substr(7), trace.thread) || trace.hasThread;
    } else if (StartsWith(line, "registers ")) {
      ParseRegisters(line.substr(10), trace);
    } else if (StartsWith(line, "module ")) {
      ParseModule(line.substr(7), trace);
    } else if (StartsWith(line, "#")) {
      ParseFrame(line, trace);
    }
  }
  return trace;
}

std::string FormatStackText(const StackTrace& trace) {
  std::string out;
  if (trace.hasHeader) {
    out += std::string(kHeader) + "\r\n";
  }
  if (trace.hasException) {
    out += "exception " + Hex8(trace.code) + " " + Hex8(trace.exceptionAddress) + "\r\n";
  }
  if (trace.hasThread) {
    out += "thread " + Hex8(trace.thread) + "\r\n";
  }
  if (!trace.registers.empty()) {
    out += "registers";
    for (const auto& [name, value] : trace.registers) {
      out += " " + name + "=" + Hex8(value);
    }
    out += "\r\n";
  }
  for (const StackModule& module : trace.modules) {
    out += "module " + Hex8(module.base) + " " + Hex8(module.size) + " " + Hex8(module.timestamp) +
           " " + (module.debugId.empty() ? std::string("-") : module.debugId) + " " + module.name;
    if (!module.debugFile.empty()) {
      out += "|" + module.debugFile;
    }
    out += "\r\n";
  }
  for (const StackFrame& frame : trace.frames) {
    out +=
        "#" + std::to_string(frame.index) + " " +
        (frame.module.empty() ? Hex8(frame.address) : frame.module + "+" + HexShort(frame.offset)) +
        " " + frame.method + "\r\n";
  }
  return out;
}

const StackModule* ModuleOf(const StackTrace& trace, const StackFrame& frame) {
  if (frame.module.empty()) {
    return nullptr;
  }
  std::string wanted = LowerAscii(frame.module);
  for (const StackModule& module : trace.modules) {
    if (LowerAscii(module.name) == wanted) {
      return &module;
    }
  }
  return nullptr;
}

}  // namespace collector
