#include "render/read_api.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "gbk.h"
#include "readmodel/read_model.h"
#include "readmodel/report_detail.h"
#include "render/query.h"
#include "store/report_store.h"

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

constexpr uint64_t kDefaultPage = 100;
constexpr uint64_t kMostPerPage = 1000;
// Far past any real list, and small enough that page times size stays a valid SQL offset.
constexpr uint64_t kMostPages = 1000000;

std::string GroupJson(const GroupSummary& group) {
  return "{\"id\":" + std::to_string(group.id) + ",\"program\":" + JsonString(group.program) +
         ",\"code\":" + JsonString(group.code) + ",\"address\":" + JsonString(group.address) +
         ",\"top_frames\":" + JsonStrings(group.topFrames) +
         ",\"count\":" + std::to_string(group.count) +
         ",\"versions\":" + JsonStrings(group.versions) +
         ",\"first_seen\":" + JsonString(group.firstSeen) +
         ",\"last_seen\":" + JsonString(group.lastSeen) +
         ",\"status\":" + JsonString(group.status) + ",\"resolved_in\":" +
         (group.resolvedIn.empty() ? std::string("null") : JsonString(group.resolvedIn)) +
         ",\"regressed\":" + (group.regressed ? "true" : "false") + "}";
}

// A page of groups, most frequent first; a Link header names the next page when there is one.
ApiAnswer Groups(ReportStore& store, const std::string& query) {
  GroupQuery page;
  page.filter = FilterFromQuery(query);
  if (!page.filter.status.empty() && !IsGroupStatus(page.filter.status)) {
    return Json(400, "{\"error\":\"status is open, resolved or ignored\"}");
  }
  page.limit = QueryNumber(query, "limit", kDefaultPage, kMostPerPage);
  uint64_t number = QueryNumber(query, "page", 1, kMostPages);
  page.offset = (number - 1) * page.limit;
  std::vector<GroupSummary> groups;
  bool more = false;
  std::string error;
  if (!ListGroups(store, page, groups, more, error)) {
    return StoreFailed(error);
  }
  std::string out = "[";
  for (const GroupSummary& group : groups) {
    out += (out.size() > 1 ? "," : "") + GroupJson(group);
  }
  ApiAnswer answer = Json(200, out + "]");
  if (more) {
    std::string next =
        "/api/groups?limit=" + std::to_string(page.limit) + "&page=" + std::to_string(number + 1);
    if (!page.filter.version.empty()) {
      next += "&version=" + QueryValue(page.filter.version);
    }
    if (!page.filter.program.empty()) {
      next += "&program=" + QueryValue(page.filter.program);
    }
    if (!page.filter.status.empty()) {
      next += "&status=" + QueryValue(page.filter.status);
    }
    answer.link = "<" + next + ">; rel=\"next\"";
  }
  return answer;
}

// A group's reports in id order, a page at a time from ?after=ID.
ApiAnswer GroupReportsOf(ReportStore& store, int64_t id, const std::string& query) {
  GroupSummary group;
  bool found = false;
  std::string error;
  if (!FindGroup(store, id, ReportFilter(), group, found, error)) {
    return StoreFailed(error);
  }
  if (!found) {
    return NotFound();
  }
  uint64_t limit = QueryNumber(query, "limit", kDefaultPage, kMostPerPage);
  int64_t after = static_cast<int64_t>(QueryNumber(query, "after", 0, INT64_MAX));
  std::vector<CrashEntry> members;
  if (!GroupMembers(store, id, after, limit + 1, members, error)) {
    return StoreFailed(error);
  }
  bool more = members.size() > limit;
  if (more) {
    members.resize(limit);
  }
  std::string out = "[";
  for (const CrashEntry& entry : members) {
    out += out.size() > 1 ? "," : "";
    out += "{\"id\":" + std::to_string(entry.id) +
           ",\"received\":" + JsonString(entry.receivedUtc) + ",\"ver\":" + JsonString(entry.ver) +
           ",\"program\":" + JsonString(entry.program) + ",\"code\":" + JsonString(entry.code) +
           ",\"address\":" + JsonString(entry.address) + ",\"state\":" + JsonString(entry.state) +
           "}";
  }
  ApiAnswer answer = Json(200, out + "]");
  if (more) {
    answer.link = "</api/groups/" + std::to_string(id) + "/reports?limit=" + std::to_string(limit) +
                  "&after=" + std::to_string(members.back().id) + ">; rel=\"next\"";
  }
  return answer;
}

std::string MinidumpJson(const MinidumpSummary& dump) {
  if (!dump.decoded) {
    return "null";
  }
  std::string threads = dump.readable ? std::to_string(dump.threads) : "null";
  std::string modules = dump.readable ? std::to_string(dump.modules) : "null";
  return "{\"threads\":" + threads + ",\"modules\":" + modules +
         ",\"bytes\":" + std::to_string(dump.bytes) + "}";
}

// The report's crash.dmp as a download, read apart from the report: a dump needs neither the
// log decoded nor the stack symbolized.
ApiAnswer MinidumpOf(ReportStore& store, int64_t id, uint64_t maxDecodedBytes) {
  ArchiveEntry entry;
  bool found = false;
  std::string error;
  if (!LoadMinidump(store, id, maxDecodedBytes, entry, found, error)) {
    return StoreFailed(error);
  }
  if (!found || !entry.decoded) {
    return NotFound();
  }
  ApiAnswer answer;
  answer.contentType = "application/octet-stream";
  answer.attachment = "report-" + std::to_string(id) + ".dmp";
  answer.body = std::move(entry.bytes);
  return answer;
}

ApiAnswer Report(const ReportDetail& detail) {
  const StoredReport& report = detail.row;
  const CrashEntry& crash = detail.crash;
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
      ",\"group\":" + (detail.hasCrash ? std::to_string(crash.groupId) : "null") +
      ",\"log_bytes\":" + (detail.hasLog ? std::to_string(detail.log.size()) : "null") +
      ",\"stack\":" + JsonStrings(detail.stackLines) +
      ",\"minidump\":" + MinidumpJson(detail.minidump) +
      ",\"log\":" + (detail.hasLog ? Text(detail.log) : "null") + "}";
  return Json(200, out);
}

// A report whose bytes retention removed: what the read model keeps of it.
ApiAnswer PrunedReport(const CrashEntry& crash) {
  return Json(200, "{\"id\":" + std::to_string(crash.id) +
                       ",\"received\":" + JsonString(crash.receivedUtc) +
                       ",\"ver\":" + (crash.hasVer ? JsonString(crash.ver) : "null") +
                       ",\"state\":" + JsonString(crash.state) + ",\"pruned\":true,\"program\":" +
                       JsonString(crash.program) + ",\"code\":" + JsonString(crash.code) +
                       ",\"address\":" + JsonString(crash.address) +
                       ",\"group\":" + std::to_string(crash.groupId) + "}");
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

bool IsGroupStatus(const std::string& status) {
  return status == "open" || status == "resolved" || status == "ignored";
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class FlatJson {
 public:
  explicit FlatJson(const std::string& text) : text_(text) {}

  // An object whose values are strings, numbers, true, false or null (kept as their text);
  // anything nested or malformed is refused.
  bool Parse(std::map<std::string, std::string>& out) {
    Space();
    if (!Take('{')) return false;
    Space();
    if (Take('}')) return End();
    for (;;) {
      std::string key;
      std::string value;
      Space();
      if (!String(key)) return false;
      Space();
      if (!Take(':')) return false;
      Space();
      if (at_ < text_.size() && text_[at_] == '"') {
        if (!String(value)) return false;
      } else if (!Scalar(value)) {
        return false;
      }
      out[key] = value;
      Space();
      if (Take('}')) return End();
      if (!Take(',')) return false;
    }
  }

 private:
  bool End() {
    Space();
    return at_ == text_.size();
  }
  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                  text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Hex4(uint32_t& code) {
    if (at_ + 4 > text_.size()) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = HexDigit(text_[at_++]);
      if (digit < 0) return false;
      code = code << 4 | static_cast<uint32_t>(digit);
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      char e = text_[at_++];
      const char* plain = "\"\\/bfnrt";
      const char* meant = "\"\\/\b\f\n\r\t";
      const char* found = e != '\0' ? std::strchr(plain, e) : nullptr;
      if (found != nullptr) {
        out += meant[found - plain];
      } else if (e == 'u') {
        uint32_t code = 0;
        if (!Hex4(code)) return false;
        if (code >= 0xD800 && code < 0xDC00) {
          uint32_t low = 0;
          if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low >= 0xE000) {
            return false;
          }
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code < 0xE000) {
          return false;
        }
        AppendUtf8(code, out);
      } else {
        return false;
      }
    }
    return false;
  }
  bool Scalar(std::string& out) {
    size_t start = at_;
    while (at_ < text_.size() && std::strchr(",} \t\r\n", text_[at_]) == nullptr) ++at_;
    out = text_.substr(start, at_ - start);
    return !out.empty() && out.find_first_of("{[\"") == std::string::npos;
  }

  const std::string& text_;
  size_t at_ = 0;
};

bool IsJsonType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type == "application/json";
}

}  // namespace

ApiAnswer ChangeGroupStatus(ReportStore& store, int64_t groupId, const std::string& contentType,
                            const std::string& body) {
  std::string status;
  std::string version;
  if (IsJsonType(contentType)) {
    std::map<std::string, std::string> fields;
    if (!FlatJson(body).Parse(fields)) {
      return Json(400, "{\"error\":\"the body is no JSON object of strings\"}");
    }
    status = fields["status"];
    version = fields.count("version") != 0 && fields["version"] != "null" ? fields["version"] : "";
  } else {
    status = QueryField(body, "status");
    version = QueryField(body, "version");
  }
  if (!IsGroupStatus(status)) {
    return Json(400, "{\"error\":\"status is open, resolved or ignored\"}");
  }
  if (version.size() > 256) {
    return Json(400, "{\"error\":\"the version is longer than 256 bytes\"}");
  }
  bool found = false;
  std::string error;
  if (!SetGroupStatus(store, groupId, status, version, found, error)) {
    return StoreFailed(error);
  }
  GroupSummary group;
  if (!found || !FindGroup(store, groupId, ReportFilter(), group, found, error)) {
    return found ? StoreFailed(error) : NotFound();
  }
  return found ? Json(200, GroupJson(group)) : NotFound();
}

ApiAnswer AnswerApi(ReportStore& store, const std::string& method, const std::string& path,
                    const std::string& query, uint64_t maxDecodedBytes) {
  std::vector<std::string> parts = SplitPath(path);
  int64_t id = 0;
  bool groups = parts.size() == 2 && parts[1] == "groups";
  bool groupReports =
      parts.size() == 4 && parts[1] == "groups" && ParseId(parts[2], id) && parts[3] == "reports";
  bool report = parts.size() == 3 && parts[1] == "reports" && ParseId(parts[2], id);
  bool reportPart = parts.size() == 4 && parts[1] == "reports" && ParseId(parts[2], id);
  bool raw = reportPart && parts[3] == "raw";
  bool minidump = reportPart && parts[3] == "minidump";
  if (!groups && !groupReports && !report && !raw && !minidump) {
    return NotFound();
  }
  if (method != "GET" && method != "HEAD") {
    ApiAnswer answer = Json(405, "{\"error\":\"method not allowed\"}");
    answer.allowGet = true;
    return answer;
  }
  if (groups) {
    return Groups(store, query);
  }
  if (groupReports) {
    return GroupReportsOf(store, id, query);
  }
  if (minidump) {
    return MinidumpOf(store, id, maxDecodedBytes);
  }
  ReportDetail detail;
  bool found = false;
  std::string error;
  if (!LoadReport(store, id, maxDecodedBytes, detail, found, error)) {
    return StoreFailed(error);
  }
  if (!found || (raw && !detail.hasLog)) {
    return NotFound();
  }
  if (!raw) {
    return detail.hasRow ? Report(detail) : PrunedReport(detail.crash);
  }
  ApiAnswer answer;
  answer.contentType = "application/octet-stream";
  answer.attachment = "log.txt";
  answer.body = std::move(detail.log);
  return answer;
}

}  // namespace collector
