#include "read_api.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "gbk.h"
#include "report_store.h"
#include "report_view.h"
#include "symbols/stack_symbolize.h"

namespace collector {
namespace {

// Length of the valid UTF-8 sequence starting at text[at], or 0: overlong forms, surrogates
// and code points above U+10FFFF are invalid.
size_t Utf8Length(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length = 0;
  uint32_t point = 0;
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07u;
  } else {
    return 0;
  }
  if (at + length > text.size()) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0u) != 0x80u) {
      return 0;
    }
    point = (point << 6) | (byte(at + i) & 0x3Fu);
  }
  bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  bool surrogate = point >= 0xD800 && point <= 0xDFFF;
  return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

std::string JsonStrings(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (const std::string& text : texts) {
    out += (out.size() > 1 ? "," : "") + JsonString(text);
  }
  return out + "]";
}

// Report texts arrive as GBK, like list and show take them.
std::string Text(const std::string& gbk) { return JsonString(GbkToUtf8(gbk)); }

ApiAnswer Json(unsigned status, std::string body) {
  ApiAnswer answer;
  answer.status = status;
  answer.body = std::move(body) + "\n";
  return answer;
}

ApiAnswer NotFound() { return Json(404, "{\"error\":\"not found\"}"); }

ApiAnswer StoreFailed(const std::string& error) {
  std::fprintf(stderr, "collector: cannot read reports: %s\n", error.c_str());
  return Json(500, "{\"error\":\"cannot read reports\"}");
}

bool ParseId(const std::string& text, int64_t& id) {
  if (text.empty() || text.size() > 18) {
    return false;
  }
  id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    id = id * 10 + (c - '0');
  }
  return true;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t at = 1;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) {
      slash = path.size();
    }
    parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

ApiAnswer Groups(const std::vector<StoredReport>& reports, const std::vector<ReportGroup>& groups,
                 const std::map<int64_t, std::vector<std::string>>& frames) {
  std::string out = "[";
  for (const ReportGroup& group : groups) {
    const StoredReport& first = reports[group.members.front()];
    CrashFields crash = CrashFieldsOf(first);
    std::vector<std::string> versions;
    for (size_t member : group.members) {
      std::string ver = GbkToUtf8(reports[member].ver);
      bool known = false;
      for (const std::string& seen : versions) {
        known = known || seen == ver;
      }
      if (!known) {
        versions.push_back(ver);
      }
    }
    auto top = frames.find(first.id);
    out += out.size() > 1 ? "," : "";
    out += "{\"id\":" + std::to_string(group.firstId) +
           ",\"program\":" + JsonString(crash.program) + ",\"code\":" + JsonString(crash.code) +
           ",\"address\":" + JsonString(crash.address) + ",\"top_frames\":" +
           JsonStrings(top == frames.end() ? std::vector<std::string>() : top->second) +
           ",\"count\":" + std::to_string(group.count) + ",\"versions\":" + JsonStrings(versions) +
           ",\"first_seen\":" + Text(first.receivedUtc) +
           ",\"last_seen\":" + Text(reports[group.members.back()].receivedUtc) + "}";
  }
  return Json(200, out + "]");
}

ApiAnswer GroupReportsOf(const std::vector<StoredReport>& reports,
                         const std::vector<ReportGroup>& groups, int64_t id) {
  for (const ReportGroup& group : groups) {
    if (group.firstId != id) {
      continue;
    }
    std::string out = "[";
    for (size_t member : group.members) {
      const StoredReport& report = reports[member];
      CrashFields crash = CrashFieldsOf(report);
      out += out.size() > 1 ? "," : "";
      out += "{\"id\":" + std::to_string(report.id) + ",\"received\":" + Text(report.receivedUtc) +
             ",\"ver\":" + Text(report.ver) + ",\"program\":" + JsonString(crash.program) +
             ",\"code\":" + JsonString(crash.code) + ",\"address\":" + JsonString(crash.address) +
             ",\"state\":" + JsonString(report.state) + "}";
    }
    return Json(200, out + "]");
  }
  return NotFound();
}

ApiAnswer Report(ReportStore& store, const StoredReport& report) {
  CrashFields crash = CrashFieldsOf(report);
  std::vector<std::string> lines;
  if (report.hasStack) {
    StackTrace trace = ParseStackText(report.stack);
    if (!trace.frames.empty()) {
      // Held in a variable: a range-for over .front() of a temporary would outlive it.
      std::vector<std::vector<ResolvedFrame>> resolved =
          ResolveStacks(store, {trace}, kMaxStackFrames);
      for (const ResolvedFrame& frame : resolved.front()) {
        lines.push_back(FrameLine(frame));
      }
    }
  }
  std::string out =
      "{\"id\":" + std::to_string(report.id) + ",\"received\":" + Text(report.receivedUtc) +
      ",\"peer\":" + Text(report.peer) + ",\"path\":" + Text(report.path) +
      ",\"ver\":" + (report.hasVer ? Text(report.ver) : "null") +
      ",\"file\":" + Text(report.fileName) +
      ",\"file_bytes\":" + std::to_string(report.payloadSize) +
      ",\"state\":" + JsonString(report.state) + ",\"note\":" + Text(report.note) +
      ",\"answered\":" + std::to_string(report.httpStatus) +
      ",\"program\":" + JsonString(crash.program) + ",\"code\":" + JsonString(crash.code) +
      ",\"address\":" + JsonString(crash.address) +
      ",\"log_bytes\":" + (report.hasLog ? std::to_string(report.log.size()) : "null") +
      ",\"stack\":" + JsonStrings(lines) +
      ",\"log\":" + (report.hasLog ? Text(report.log) : "null") + "}";
  return Json(200, out);
}

}  // namespace

std::string JsonString(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  size_t at = 0;
  while (at < bytes.size()) {
    unsigned char c = static_cast<unsigned char>(bytes[at]);
    size_t length = Utf8Length(bytes, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
      // <, > and & too, so the text stays inert should it ever end up inside HTML.
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      ++at;
    } else {
      out.append(bytes, at, length);
      at += length;
    }
  }
  return out + "\"";
}

bool BearerMatches(const std::string& token, const std::string& authorization) {
  const std::string scheme = "Bearer ";
  if (token.empty() || authorization.size() < scheme.size() ||
      authorization.compare(0, scheme.size(), scheme) != 0) {
    return false;
  }
  std::string given = authorization.substr(scheme.size());
  // Every byte of the token is compared whatever the given text holds.
  unsigned char differ = given.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); ++i) {
    unsigned char other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    differ |= static_cast<unsigned char>(other ^ static_cast<unsigned char>(token[i]));
  }
  return differ == 0;
}

bool IsApiPath(const std::string& path) { return path == "/api" || path.rfind("/api/", 0) == 0; }

ApiAnswer AnswerApi(ReportStore& store, const std::string& method, const std::string& path) {
  std::vector<std::string> parts = SplitPath(path);
  int64_t id = 0;
  bool groups = parts.size() == 2 && parts[1] == "groups";
  bool groupReports =
      parts.size() == 4 && parts[1] == "groups" && ParseId(parts[2], id) && parts[3] == "reports";
  bool report = parts.size() == 3 && parts[1] == "reports" && ParseId(parts[2], id);
  bool raw =
      parts.size() == 4 && parts[1] == "reports" && ParseId(parts[2], id) && parts[3] == "raw";
  if (!groups && !groupReports && !report && !raw) {
    return NotFound();
  }
  if (method != "GET" && method != "HEAD") {
    ApiAnswer answer = Json(405, "{\"error\":\"method not allowed\"}");
    answer.allowGet = true;
    return answer;
  }
  std::string error;
  if (groups || groupReports) {
    std::vector<StoredReport> reports;
    if (!store.List(reports, error)) {
      return StoreFailed(error);
    }
    std::map<int64_t, std::vector<std::string>> frames;
    std::map<int64_t, std::string> keys = StackGroupKeys(store, reports, &frames);
    std::vector<ReportGroup> grouped = GroupReports(reports, keys);
    return groups ? Groups(reports, grouped, frames) : GroupReportsOf(reports, grouped, id);
  }
  StoredReport stored;
  bool found = false;
  if (!store.Get(id, stored, found, error)) {
    return StoreFailed(error);
  }
  if (!found || (raw && !stored.hasLog)) {
    return NotFound();
  }
  if (!raw) {
    return Report(store, stored);
  }
  ApiAnswer answer;
  answer.contentType = "application/octet-stream";
  answer.attachment = true;
  answer.body = std::move(stored.log);
  return answer;
}

}  // namespace collector
