#include "render/symbol_server.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "store/report_store.h"

namespace collector {
namespace {

constexpr char kPrefix[] = "/symbols/";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool AllHex(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A hex number of 1 to 8 digits, leading zeros allowed.
bool HexNumber(const std::string& text, uint32_t& out) {
  size_t first = text.find_first_not_of('0');
  if (!AllHex(text) || (first != std::string::npos && text.size() - first > 8)) {
    return false;
  }
  out = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

ApiAnswer NotFound() {
  ApiAnswer answer;
  answer.status = 404;
  answer.contentType = "text/plain; charset=utf-8";
  answer.body = "not found\n";
  return answer;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Standard base64 with padding; false on any other byte.
bool DecodeBase64(const std::string& text, std::string& out) {
  out.clear();
  uint32_t bits = 0;
  int count = 0;
  size_t padding = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+') value = 62;
    else if (c == '/') value = 63;
    else if (c == '=') { ++padding; continue; }
    else return false;
    if (padding > 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++count == 4) {
      out += static_cast<char>((bits >> 16) & 0xFF);
      out += static_cast<char>((bits >> 8) & 0xFF);
      out += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1 || padding > 2) return false;
  if (count == 2) out += static_cast<char>((bits >> 4) & 0xFF);
  if (count == 3) {
    out += static_cast<char>((bits >> 10) & 0xFF);
    out += static_cast<char>((bits >> 2) & 0xFF);
  }
  return true;
}

}  // namespace

bool BasicPasswordMatches(const std::string& token, const std::string& authorization) {
  const std::string scheme = "basic ";
  if (token.empty() || authorization.size() <= scheme.size() ||
      Lower(authorization.substr(0, scheme.size())) != scheme) {
    return false;
  }
  std::string pair;
  if (!DecodeBase64(authorization.substr(scheme.size()), pair)) {
    return false;
  }
  size_t colon = pair.find(':');
  if (colon == std::string::npos) {
    return false;
  }
  // The comparison of the read API: its time depends on the lengths only.
  return BearerMatches(token, "Bearer " + pair.substr(colon + 1));
}

bool IsSymbolServerPath(const std::string& path) {
  return path == "/symbols" || path.rfind(kPrefix, 0) == 0;
}

ApiAnswer AnswerSymbolServer(ReportStore& store, const std::string& path) {
  if (path.rfind(kPrefix, 0) != 0) {
    return NotFound();
  }
  std::vector<std::string> parts;
  std::string rest = path.substr(sizeof(kPrefix) - 1);
  for (size_t start = 0;;) {
    size_t slash = rest.find('/', start);
    parts.push_back(rest.substr(start, slash == std::string::npos ? std::string::npos
                                                                   : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (parts.size() != 3 || parts[0].empty() || Lower(parts[0]) != Lower(parts[2])) {
    return NotFound();
  }
  const std::string name = Lower(parts[0]);
  const std::string& key = parts[1];
  SymbolFile file;
  bool found = false;
  std::string error;
  bool read = true;
  if (EndsWith(name, ".pdb")) {
    uint32_t age = 0;
    if (key.size() < 33 || !AllHex(key.substr(0, 32)) || !HexNumber(key.substr(32), age)) {
      return NotFound();
    }
    // Stored as a CodeView record spells it: the age without leading zeros.
    char ageText[16];
    std::snprintf(ageText, sizeof(ageText), "%X", age);
    read = store.FindPdb(name, Upper(key.substr(0, 32)) + ageText, file, found, error) &&
           (!found || store.SymbolBytes(file.id, file.bytes, error));
  } else {
    uint32_t timestamp = 0;
    uint32_t size = 0;
    if (key.size() < 9 || !HexNumber(key.substr(0, 8), timestamp) ||
        !HexNumber(key.substr(8), size)) {
      return NotFound();
    }
    read = store.FindImage(name, timestamp, size, file, found, error);
  }
  if (!read) {
    ApiAnswer failed;
    failed.status = 500;
    failed.contentType = "text/plain; charset=utf-8";
    failed.body = "the store could not be read\n";
    return failed;
  }
  if (!found) {
    return NotFound();
  }
  ApiAnswer answer;
  answer.contentType = "application/octet-stream";
  answer.body.swap(file.bytes);
  return answer;
}

ApiAnswer SymbolUploadAnswer(const SymbolIntake& intake) {
  std::string body = "{\"files\":[";
  for (size_t i = 0; i < intake.files.size(); ++i) {
    const SymbolOutcome& file = intake.files[i];
    body += std::string(i == 0 ? "" : ",") + "{\"file\":" + JsonString(file.fileName) +
            ",\"status\":" + JsonString(file.status);
    if (!file.kind.empty()) {
      body += ",\"name\":" + JsonString(file.name) + ",\"kind\":" + JsonString(file.kind) +
              ",\"debug_id\":" + (file.debugId.empty() ? "null" : JsonString(file.debugId)) +
              ",\"code_id\":" + (file.codeId.empty() ? "null" : JsonString(file.codeId));
    }
    if (!file.error.empty()) {
      body += ",\"error\":" + JsonString(file.error);
    }
    body += "}";
  }
  body += "],\"regrouped\":" + std::to_string(intake.regrouped);
  if (!intake.regroupError.empty()) {
    body += ",\"regroup_error\":" + JsonString(intake.regroupError);
  }
  ApiAnswer answer;
  answer.status = intake.allTaken() ? 200 : 422;
  answer.body = body + "}\n";
  return answer;
}

}  // namespace collector
