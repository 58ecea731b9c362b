#include "render/query.h"

namespace collector {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string FormDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string QueryField(const std::string& query, const std::string& name) {
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) {
      end = query.size();
    }
    std::string pair = query.substr(at, end - at);
    size_t equals = pair.find('=');
    if (FormDecode(pair.substr(0, equals)) == name) {
      return equals == std::string::npos ? "" : FormDecode(pair.substr(equals + 1));
    }
    at = end + 1;
  }
  return std::string();
}

uint64_t QueryNumber(const std::string& query, const std::string& name, uint64_t fallback,
                     uint64_t most) {
  std::string text = QueryField(query, name);
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return fallback;
  }
  uint64_t value = std::stoull(text);
  if (value == 0) {
    return fallback;
  }
  return value < most ? value : most;
}

ReportFilter FilterFromQuery(const std::string& query) {
  ReportFilter filter;
  filter.version = QueryField(query, "version");
  filter.program = QueryField(query, "program");
  filter.status = QueryField(query, "status");
  return filter;
}

std::string QueryValue(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace collector
