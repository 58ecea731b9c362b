#include "read_api.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "crash_data.h"
#include "gbk.h"
#include "report_store.h"
#include "report_view.h"

namespace collector {
namespace {

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

ApiAnswer Groups(const std::vector<GroupSummary>& groups) {
  std::string out = "[";
  for (const GroupSummary& group : groups) {
    out += out.size() > 1 ? "," : "";
    out += "{\"id\":" + std::to_string(group.id) + ",\"program\":" + JsonString(group.program) +
           ",\"code\":" + JsonString(group.code) + ",\"address\":" + JsonString(group.address) +
           ",\"top_frames\":" + JsonStrings(group.topFrames) +
           ",\"count\":" + std::to_string(group.count) +
           ",\"versions\":" + JsonStrings(group.versions) +
           ",\"first_seen\":" + JsonString(group.firstSeen) +
           ",\"last_seen\":" + JsonString(group.lastSeen) + "}";
  }
  return Json(200, out + "]");
}

ApiAnswer GroupReportsOf(const CrashData& data, int64_t id) {
  for (const GroupSummary& group : data.groups) {
    if (group.id != id) {
      continue;
    }
    std::string out = "[";
    for (size_t member : group.members) {
      const StoredReport& report = data.reports[member];
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
  std::vector<std::string> lines = StackLines(store, report);
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
    size_t length = Utf8SequenceLength(bytes, at);
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
  // The scheme is case-insensitive ("bearer", "BEARER"); it is no secret, the token is.
  const std::string scheme = "bearer ";
  if (token.empty() || authorization.size() < scheme.size()) {
    return false;
  }
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i]) {
      return false;
    }
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
    CrashData data;
    if (!LoadCrashData(store, data, error)) {
      return StoreFailed(error);
    }
    return groups ? Groups(data.groups) : GroupReportsOf(data, id);
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
