#include "render/dashboard.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "gbk.h"
#include "readmodel/report_detail.h"
#include "render/query.h"
#include "render/read_api.h"
#include "render/report_view.h"
#include "store/report_store.h"

namespace collector {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";
// Longer logs are cut on the page; the raw download has them whole.
constexpr size_t kMaxLogOnPage = 4u * 1024u * 1024u;
constexpr int kChartHours = 7 * 24;
// More versions than this share one line, so uploads with made-up versions cannot bloat the page.
constexpr size_t kMaxSeries = 10;

// Escapes one text; controls says how control characters are shown (U+FFFD or a hex escape).
std::string Escape(const std::string& text, bool log) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  size_t at = 0;
  while (at < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    size_t length = Utf8SequenceLength(text, at);
    bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0) {
      out += kReplacement;
      ++at;
      continue;
    }
    if (log && (c == '\n' || c == '\t')) {
      out += static_cast<char>(c);
    } else if (log && c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') {
      // The CR of a Windows line end: the line feed follows.
    } else if (c < 0x20 || c == 0x7F || c1) {
      if (log) {
        unsigned point = c1 ? static_cast<unsigned char>(text[at + 1]) : c;
        out += "<span class=\"ctl\">\\x";
        out += kHex[point >> 4];
        out += kHex[point & 0x0F];
        out += "</span>";
      } else {
        out += kReplacement;
      }
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (c == '\'') {
      out += "&#39;";
    } else {
      out.append(text, at, length);
    }
    at += length;
  }
  return out;
}

std::string Page(const std::string& title, const std::string& main) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>" +
         HtmlText(title) +
         " - crash collector</title>\n"
         "<link rel=\"stylesheet\" href=\"/static/dashboard.css\">\n</head>\n<body>\n"
         "<header class=\"top\"><a class=\"home\" href=\"/\">Crash groups</a>"
         "<form class=\"signout\" method=\"post\" action=\"/logout\">"
         "<button type=\"submit\">Sign out</button></form></header>\n<main>\n" +
         main + "</main>\n</body>\n</html>\n";
}

PageAnswer Html(unsigned status, const std::string& title, const std::string& main) {
  PageAnswer answer;
  answer.status = status;
  answer.body = Page(title, main);
  return answer;
}

PageAnswer NotFoundPage() {
  return Html(404, "Not found", "<h1>Not found</h1>\n<p>There is no such page.</p>\n");
}

PageAnswer StoreFailedPage(const std::string& error) {
  std::fprintf(stderr, "collector: cannot read reports: %s\n", error.c_str());
  return Html(500, "Error", "<h1>Cannot read the reports</h1>\n");
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : HtmlText(text); }

std::string Where(const GroupSummary& group) {
  if (group.topFrames.empty()) {
    return "<code>" + OrDash(group.address) + "</code>";
  }
  std::string out;
  for (const std::string& frame : group.topFrames) {
    out += (out.empty() ? "" : "<br>") + std::string("<code>") + HtmlText(frame) + "</code>";
  }
  return out;
}

std::string VersionLinks(const std::vector<std::string>& versions) {
  std::string out;
  for (const std::string& ver : versions) {
    out += out.empty() ? "" : ", ";
    out += "<a href=\"/?version=" + HtmlText(QueryValue(ver)) + "\">" + OrDash(ver) + "</a>";
  }
  return out;
}

std::string Options(const std::vector<std::string>& values, const std::string& chosen,
                    const std::string& all) {
  std::string out = "<option value=\"\">" + all + "</option>";
  for (const std::string& value : values) {
    out += "<option value=\"" + HtmlText(value) + "\"" + (value == chosen ? " selected" : "") +
           ">" + OrDash(value) + "</option>";
  }
  return out;
}

constexpr uint64_t kGroupsPerPage = 50;
// Far past any real list, and small enough that page times size stays a valid SQL offset.
constexpr uint64_t kMostPages = 1000000;
constexpr uint64_t kReportsPerPage = 100;

// A group's status as the lists show it: regressed groups say so, resolved ones say in what.
std::string StatusText(const GroupSummary& group) {
  if (group.regressed) {
    return "<span class=\"status regressed\">regressed" +
           (group.resolvedIn.empty() ? std::string()
                                     : " (resolved in " + HtmlText(group.resolvedIn) + ")") +
           "</span>";
  }
  std::string text = HtmlText(group.status);
  if (group.status == "resolved" && !group.resolvedIn.empty()) {
    text += " in " + HtmlText(group.resolvedIn);
  }
  return "<span class=\"status " + HtmlText(group.status) + "\">" + text + "</span>";
}

std::string StatusOptions(const std::string& chosen, const char* all) {
  std::string out = all != nullptr ? std::string("<option value=\"\">") + all + "</option>" : "";
  for (const char* status : {"open", "resolved", "ignored"}) {
    out += std::string("<option value=\"") + status + "\"" + (chosen == status ? " selected" : "") +
           ">" + status + "</option>";
  }
  return out;
}

// The query of the groups page with these filters, on another page.
std::string GroupsPageLink(const ReportFilter& filter, uint64_t page) {
  std::string query;
  auto add = [&query](const std::string& name, const std::string& value) {
    query += (query.empty() ? "?" : "&") + name + "=" + QueryValue(value);
  };
  if (!filter.version.empty()) {
    add("version", filter.version);
  }
  if (!filter.program.empty()) {
    add("program", filter.program);
  }
  if (!filter.status.empty()) {
    add("status", filter.status);
  }
  if (page > 1) {
    add("page", std::to_string(page));
  }
  return "/" + query;
}

PageAnswer GroupsPage(ReportStore& store, const std::string& query, int64_t now) {
  ReportFilter filter = FilterFromQuery(query);
  GroupQuery page;
  page.filter = filter;
  page.limit = kGroupsPerPage;
  uint64_t number = QueryNumber(query, "page", 1, kMostPages);
  page.offset = (number - 1) * kGroupsPerPage;
  std::vector<std::string> versions;
  std::vector<std::string> programs;
  std::vector<HourCount> hours;
  std::vector<GroupSummary> groups;
  bool more = false;
  std::string error;
  const int64_t lastHour = now / 3600;
  if (!Facets(store, versions, programs, error) ||
      !HourlyCounts(store, filter, lastHour - (kChartHours - 1), lastHour, hours, error) ||
      !ListGroups(store, page, groups, more, error)) {
    return StoreFailedPage(error);
  }
  if (!filter.status.empty() && !IsGroupStatus(filter.status)) {
    filter.status.clear();
    page.filter.status.clear();
  }
  bool filtered = !filter.version.empty() || !filter.program.empty() || !filter.status.empty();
  std::string main = "<h1>Crash groups</h1>\n";
  main +=
      "<form class=\"filters\" method=\"get\" action=\"/\">"
      "<label>Version <select name=\"version\">" +
      Options(versions, filter.version, "All versions") +
      "</select></label> <label>Program <select name=\"program\">" +
      Options(programs, filter.program, "All programs") +
      "</select></label> <label>Status <select name=\"status\">" +
      StatusOptions(filter.status, "All statuses") +
      "</select></label> <button type=\"submit\">Filter</button>" +
      (filtered ? " <a class=\"clear\" href=\"/\">Clear</a>" : "") + "</form>\n";
  main += "<section class=\"chart\"><h2>Crashes per hour, last 7 days (UTC)</h2>\n" +
          CrashChart(hours, now) + "</section>\n";
  if (groups.empty() && number == 1) {
    main += std::string("<p class=\"empty\">") +
            (filtered ? "No reports match." : "No crash reports yet.") + "</p>\n";
    return Html(200, "Crash groups", main);
  }
  main +=
      "<table class=\"groups\">\n<thead><tr><th>Group</th><th>Program</th><th>Code</th>"
      "<th>Top frames / address</th><th>Count</th><th>Versions</th><th>First seen</th>"
      "<th>Last seen</th><th>Status</th></tr></thead>\n<tbody>\n";
  for (const GroupSummary& group : groups) {
    std::string id = std::to_string(group.id);
    main += "<tr data-group=\"" + id + "\"><td><a href=\"/groups/" + id + "\">#" + id +
            "</a></td><td class=\"program\">" + OrDash(group.program) + "</td><td><code>" +
            OrDash(group.code) + "</code></td><td class=\"where\">" + Where(group) +
            "</td><td class=\"count\">" + std::to_string(group.count) +
            "</td><td class=\"versions\">" + VersionLinks(group.versions) + "</td><td>" +
            OrDash(group.firstSeen) + "</td><td>" + OrDash(group.lastSeen) + "</td><td>" +
            StatusText(group) + "</td></tr>\n";
  }
  main += "</tbody>\n</table>\n";
  if (number > 1 || more) {
    main += "<nav class=\"pages\">";
    if (number > 1) {
      main += "<a class=\"previous\" href=\"" + HtmlText(GroupsPageLink(filter, number - 1)) +
              "\">Previous page</a> ";
    }
    main += "Page " + std::to_string(number);
    if (more) {
      main += " <a class=\"next\" href=\"" + HtmlText(GroupsPageLink(filter, number + 1)) +
              "\">Next page</a>";
    }
    main += "</nav>\n";
  }
  return Html(200, "Crash groups", main);
}

std::string Field(const std::string& name, const std::string& html) {
  return "<dt>" + name + "</dt><dd>" + html + "</dd>\n";
}

PageAnswer GroupPage(ReportStore& store, int64_t id, const std::string& query) {
  GroupSummary group;
  bool found = false;
  std::string error;
  int64_t after = static_cast<int64_t>(QueryNumber(query, "after", 0, INT64_MAX));
  std::vector<CrashEntry> members;
  if (!FindGroup(store, id, ReportFilter(), group, found, error) ||
      (found && !GroupMembers(store, id, after, kReportsPerPage + 1, members, error))) {
    return StoreFailedPage(error);
  }
  if (!found) {
    return NotFoundPage();
  }
  bool more = members.size() > kReportsPerPage;
  if (more) {
    members.resize(kReportsPerPage);
  }
  std::string main = "<h1>Group #" + std::to_string(id) + "</h1>\n<dl class=\"fields\">\n" +
                     Field("program", OrDash(group.program)) +
                     Field("code", "<code>" + OrDash(group.code) + "</code>") +
                     Field(group.topFrames.empty() ? "address" : "top frames", Where(group)) +
                     Field("count", std::to_string(group.count)) +
                     Field("versions", VersionLinks(group.versions)) +
                     Field("first seen", OrDash(group.firstSeen)) +
                     Field("last seen", OrDash(group.lastSeen)) +
                     Field("status", StatusText(group)) + "</dl>\n";
  main += "<form class=\"status\" method=\"post\" action=\"/groups/" + std::to_string(id) +
          "/status\"><label>Status <select name=\"status\">" + StatusOptions(group.status, nullptr) +
          "</select></label> <label>Resolved in version <input name=\"version\" maxlength=\"256\""
          " value=\"" + HtmlText(group.resolvedIn) + "\"></label> <button type=\"submit\">"
          "Set status</button></form>\n";
  main +=
      "<h2>Reports</h2>\n<table class=\"reports\">\n<thead><tr><th>Report</th>"
      "<th>Received</th><th>Version</th><th>Program</th><th>Code</th><th>Address</th>"
      "<th>State</th></tr></thead>\n<tbody>\n";
  for (const CrashEntry& report : members) {
    std::string rid = std::to_string(report.id);
    main += "<tr data-report=\"" + rid + "\"><td><a href=\"/reports/" + rid + "\">#" + rid +
            "</a></td><td>" + OrDash(report.receivedUtc) + "</td><td>" + OrDash(report.ver) +
            "</td><td>" + OrDash(report.program) + "</td><td><code>" + OrDash(report.code) +
            "</code></td><td><code>" + OrDash(report.address) + "</code></td><td>" +
            HtmlText(report.state) + "</td></tr>\n";
  }
  main += "</tbody>\n</table>\n";
  if (after > 0 || more) {
    main += "<nav class=\"pages\">";
    if (after > 0) {
      main += "<a class=\"first\" href=\"/groups/" + std::to_string(id) + "\">First reports</a> ";
    }
    if (more) {
      main += "<a class=\"next\" href=\"/groups/" + std::to_string(id) +
              "?after=" + std::to_string(members.back().id) + "\">Next reports</a>";
    }
    main += "</nav>\n";
  }
  return Html(200, "Group #" + std::to_string(id), main);
}

PageAnswer ReportPage(ReportStore& store, int64_t id, uint64_t maxDecodedBytes) {
  ReportDetail detail;
  bool found = false;
  std::string error;
  if (!LoadReport(store, id, maxDecodedBytes, detail, found, error)) {
    return StoreFailedPage(error);
  }
  if (!found) {
    return NotFoundPage();
  }
  std::string rid = std::to_string(id);
  const CrashEntry& crash = detail.crash;
  std::string groupLink = detail.hasCrash ? "<a href=\"/groups/" + std::to_string(crash.groupId) +
                                                "\">#" + std::to_string(crash.groupId) + "</a>"
                                          : "-";
  if (!detail.hasRow) {
    std::string main =
        "<h1>Report #" + rid + "</h1>\n<dl class=\"fields\">\n" +
        Field("received", OrDash(crash.receivedUtc)) +
        Field("version", crash.hasVer ? OrDash(crash.ver) : "(missing)") +
        Field("state", HtmlText(crash.state)) + Field("group", groupLink) +
        Field("program", OrDash(crash.program)) +
        Field("code", "<code>" + OrDash(crash.code) + "</code>") +
        Field("address", "<code>" + OrDash(crash.address) + "</code>") + "</dl>\n" +
        "<p class=\"empty\">The upload and its log were removed by retention; the report still "
        "counts in its group.</p>\n";
    return Html(200, "Report #" + rid, main);
  }
  const StoredReport& report = detail.row;
  std::string main =
      "<h1>Report #" + rid + "</h1>\n<dl class=\"fields\">\n" +
      Field("received", OrDash(GbkToUtf8(report.receivedUtc))) +
      Field("peer", OrDash(GbkToUtf8(report.peer))) +
      Field("path", "<code>" + OrDash(GbkToUtf8(report.path)) + "</code>") +
      Field("version", report.hasVer ? OrDash(GbkToUtf8(report.ver)) : "(missing)") +
      Field("file", OrDash(GbkToUtf8(report.fileName)) + ", " + std::to_string(report.payloadSize) +
                        " bytes") +
      Field("state", HtmlText(report.state)) + Field("note", OrDash(GbkToUtf8(report.note))) +
      Field("answered", std::to_string(report.httpStatus)) + Field("group", groupLink) +
      Field("program", OrDash(crash.program)) +
      Field("code", "<code>" + OrDash(crash.code) + "</code>") +
      Field("address", "<code>" + OrDash(crash.address) + "</code>") +
      Field("log", detail.hasLog ? std::to_string(detail.log.size()) + " bytes" : "(none)");
  if (detail.minidump.present) {
    // The API route takes the session cookie too, like the raw log's link.
    main += Field("minidump", HtmlText(MinidumpText(detail.minidump)) +
                                  (detail.minidump.decoded ? " <a href=\"/api/reports/" + rid +
                                                                 "/minidump\">download</a>"
                                                           : ""));
  }
  main += "</dl>\n";
  if (detail.hasStack) {
    std::string stack;
    for (const std::string& line : detail.stackLines) {
      stack += HtmlText(line) + "\n";
    }
    main += "<h2>Stack</h2>\n<pre class=\"stack\">" +
            (detail.stackLines.empty() ? std::string("(no frames)") : stack) + "</pre>\n";
  }
  main += "<h2>Log</h2>\n";
  if (!detail.hasLog) {
    main += std::string("<p class=\"empty\">") +
            (report.state == "too-large" ? "The log is larger than this collector decodes."
                                         : "The upload could not be decoded.") +
            "</p>\n";
    return Html(200, "Report #" + rid, main);
  }
  main += "<p><a class=\"raw\" href=\"/api/reports/" + rid +
          "/raw\">Download the log as uploaded</a></p>\n";
  std::string& log = detail.log;
  bool cut = log.size() > kMaxLogOnPage;
  if (cut) {
    log.resize(kMaxLogOnPage);
    main += "<p class=\"note\">Only the first " + std::to_string(kMaxLogOnPage) +
            " bytes are shown.</p>\n";
  }
  main += "<pre class=\"log\">" + HtmlLog(GbkToUtf8(log)) + "</pre>\n";
  return Html(200, "Report #" + rid, main);
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

}  // namespace

std::string HtmlText(const std::string& utf8) { return Escape(utf8, false); }

std::string HtmlLog(const std::string& utf8) { return Escape(utf8, true); }

PageAnswer LoginPage(unsigned status, const std::string& message) {
  PageAnswer answer;
  answer.status = status;
  answer.body =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Sign in - crash collector</title>\n"
      "<link rel=\"stylesheet\" href=\"/static/dashboard.css\">\n</head>\n<body>\n"
      "<main class=\"login\">\n<h1>Crash collector</h1>\n" +
      (message.empty() ? "" : "<p class=\"error\">" + HtmlText(message) + "</p>\n") +
      "<form method=\"post\" action=\"/login\">\n<label for=\"token\">Read token</label>\n"
      "<input type=\"password\" id=\"token\" name=\"token\" autocomplete=\"current-password\" "
      "required autofocus>\n<button type=\"submit\">Sign in</button>\n</form>\n</main>\n"
      "</body>\n</html>\n";
  return answer;
}

const std::string& DashboardCss() {
  static const std::string kCss =
      "body{font:14px/1.4 system-ui,sans-serif;margin:0;color:#1d2330;background:#f6f7f9}\n"
      "main{padding:16px 24px}\n"
      "header.top{display:flex;justify-content:space-between;align-items:center;"
      "padding:8px 24px;background:#1d2330}\n"
      "header.top a.home{color:#fff;font-weight:600;text-decoration:none}\n"
      "form.signout{margin:0}\n"
      "h1{font-size:20px;margin:8px 0 12px}h2{font-size:16px;margin:20px 0 8px}\n"
      "table{border-collapse:collapse;background:#fff;width:100%}\n"
      "th,td{border:1px solid #d9dde3;padding:4px 8px;text-align:left;vertical-align:top}\n"
      "th{background:#eceff3}td.count{text-align:right;font-weight:600}\n"
      "code,pre{font-family:ui-monospace,monospace;font-size:12px}\n"
      "pre{background:#fff;border:1px solid #d9dde3;padding:8px;overflow:auto;"
      "white-space:pre-wrap;word-break:break-all}\n"
      "pre .ctl{color:#b00020;background:#fde8ec}\n"
      "dl.fields{display:grid;grid-template-columns:max-content auto;gap:2px 16px}\n"
      "dl.fields dt{color:#5b6472}dl.fields dd{margin:0}\n"
      "form.filters{margin:0 0 12px}\n"
      "section.chart svg{background:#fff;border:1px solid #d9dde3;max-width:100%;height:auto}\n"
      "main.login{max-width:320px;margin:80px auto;background:#fff;border:1px solid #d9dde3;"
      "padding:24px}\n"
      "main.login input{display:block;width:100%;box-sizing:border-box;margin:4px 0 12px}\n"
      "p.error{color:#b00020}\n"
      "span.status.regressed{color:#b00020;font-weight:bold}\n"
      "span.status.resolved,span.status.ignored{color:#5f6b7a}\n"
      "form.status{margin:12px 0}\n";
  return kCss;
}

std::string CrashChart(const std::vector<HourCount>& hours, int64_t now) {
  static const char* const kColors[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                        "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  const int64_t lastHour = now / 3600;
  const int64_t firstHour = lastHour - (kChartHours - 1);
  std::map<std::string, std::vector<int>> series;  // by version, ordered by name
  std::vector<int> others;                         // the versions beyond kMaxSeries, summed
  for (const HourCount& count : hours) {
    if (count.hour < firstHour || count.hour > lastHour) {
      continue;
    }
    std::vector<int>& counts = series[count.ver];
    counts.resize(kChartHours, 0);
    counts[static_cast<size_t>(count.hour - firstHour)] += static_cast<int>(count.count);
  }
  if (series.size() > kMaxSeries) {
    // The most frequent versions keep their lines; the rest are summed into one.
    std::vector<std::pair<int, std::string>> totals;
    for (const auto& entry : series) {
      int total = 0;
      for (int count : entry.second) {
        total += count;
      }
      totals.emplace_back(-total, entry.first);
    }
    std::sort(totals.begin(), totals.end());
    std::vector<int> rest(kChartHours, 0);
    for (size_t i = kMaxSeries - 1; i < totals.size(); ++i) {
      const std::vector<int>& counts = series[totals[i].second];
      for (size_t hour = 0; hour < rest.size(); ++hour) {
        rest[hour] += counts[hour];
      }
      series.erase(totals[i].second);
    }
    others = std::move(rest);
  }
  int peak = 1;
  for (const auto& entry : series) {
    peak = std::max(peak, *std::max_element(entry.second.begin(), entry.second.end()));
  }
  if (!others.empty()) {
    peak = std::max(peak, *std::max_element(others.begin(), others.end()));
  }
  const size_t lines = series.size() + (others.empty() ? 0 : 1);
  const double left = 48;
  const double right = 16;
  const double top = 12;
  const double plotHeight = 180;
  const double width = 960;
  const double plotWidth = width - left - right;
  const double axisY = top + plotHeight;
  const int perRow = 4;
  const double legendTop = axisY + 40;
  const size_t rows = (lines + perRow - 1) / perRow;
  const double height = legendTop + 20 * static_cast<double>(std::max<size_t>(rows, 1)) + 4;
  auto x = [&](int hour) { return left + plotWidth * hour / (kChartHours - 1); };
  auto y = [&](int count) { return axisY - plotHeight * count / peak; };

  std::string svg = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                    Number(width) + " " + Number(height) + "\" width=\"" + Number(width) +
                    "\" height=\"" + Number(height) +
                    "\" role=\"img\" aria-label=\"Crashes per hour over the last 7 days, one line "
                    "per version\" font-family=\"sans-serif\" font-size=\"11\">\n";
  // The value axis: 0, the middle and the peak, with grid lines.
  std::vector<int> ticks = {0, peak};
  if (peak >= 4) {
    ticks.insert(ticks.begin() + 1, peak / 2);
  }
  svg += "<g class=\"y-axis\">";
  for (int tick : ticks) {
    svg += "<line x1=\"" + Number(left) + "\" y1=\"" + Number(y(tick)) + "\" x2=\"" +
           Number(width - right) + "\" y2=\"" + Number(y(tick)) +
           "\" stroke=\"#e3e6ea\"/><text x=\"" + Number(left - 6) + "\" y=\"" +
           Number(y(tick) + 4) + "\" text-anchor=\"end\" fill=\"#5b6472\">" + std::to_string(tick) +
           "</text>";
  }
  svg += "<line x1=\"" + Number(left) + "\" y1=\"" + Number(top) + "\" x2=\"" + Number(left) +
         "\" y2=\"" + Number(axisY) + "\" stroke=\"#5b6472\"/></g>\n";
  // The time axis: a tick at each midnight (UTC), labelled with the date.
  svg += "<g class=\"x-axis\"><line x1=\"" + Number(left) + "\" y1=\"" + Number(axisY) +
         "\" x2=\"" + Number(width - right) + "\" y2=\"" + Number(axisY) +
         "\" stroke=\"#5b6472\"/>";
  for (int hour = 0; hour < kChartHours; ++hour) {
    if ((firstHour + hour) % 24 != 0) {
      continue;
    }
    std::time_t seconds = static_cast<std::time_t>((firstHour + hour) * 3600);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char label[16];
    std::snprintf(label, sizeof(label), "%02d-%02d", parts.tm_mon + 1, parts.tm_mday);
    svg += "<line x1=\"" + Number(x(hour)) + "\" y1=\"" + Number(axisY) + "\" x2=\"" +
           Number(x(hour)) + "\" y2=\"" + Number(axisY + 5) + "\" stroke=\"#5b6472\"/><text x=\"" +
           Number(x(hour)) + "\" y=\"" + Number(axisY + 18) +
           "\" text-anchor=\"middle\" fill=\"#5b6472\">" + label + "</text>";
  }
  svg += "<text x=\"" + Number(width - right) + "\" y=\"" + Number(axisY + 32) +
         "\" text-anchor=\"end\" fill=\"#5b6472\">hour (UTC)</text></g>\n";
  if (series.empty()) {
    svg += "<text class=\"empty\" x=\"" + Number(left + plotWidth / 2) + "\" y=\"" +
           Number(top + plotHeight / 2) +
           "\" text-anchor=\"middle\" fill=\"#5b6472\">No crashes in the last 7 days</text>\n";
  }
  size_t index = 0;
  std::string legend = "<g class=\"legend\">";
  auto draw = [&](const std::vector<int>& counts, const std::string& lineClass,
                  const std::string& dataVersion, const std::string& label) {
    const char* color = kColors[index % (sizeof(kColors) / sizeof(kColors[0]))];
    std::string points;
    int total = 0;
    for (int hour = 0; hour < kChartHours; ++hour) {
      int count = counts[static_cast<size_t>(hour)];
      total += count;
      points += (points.empty() ? "" : " ") + Number(x(hour)) + "," + Number(y(count));
    }
    svg += "<polyline class=\"" + lineClass + "\"" + dataVersion + " fill=\"none\" stroke=\"" +
           color + "\" stroke-width=\"1.5\" points=\"" + points + "\"/>\n";
    double itemX = left + static_cast<double>(index % perRow) * 220;
    double itemY = legendTop + 20 * static_cast<double>(index / perRow);
    legend += "<g class=\"legend-item\"><rect x=\"" + Number(itemX) + "\" y=\"" +
              Number(itemY - 10) + "\" width=\"12\" height=\"12\" fill=\"" + color +
              "\"/><text x=\"" + Number(itemX + 18) + "\" y=\"" + Number(itemY) +
              "\" fill=\"#1d2330\">" + HtmlText(label) + " (" + std::to_string(total) +
              ")</text></g>";
    ++index;
  };
  for (const auto& entry : series) {
    draw(entry.second, "series", " data-version=\"" + HtmlText(entry.first) + "\"",
         entry.first.empty() ? "(no version)" : entry.first);
  }
  if (!others.empty()) {
    draw(others, "series other", "", "other versions");
  }
  svg += legend + "</g>\n</svg>\n";
  return svg;
}

PageAnswer AnswerPage(ReportStore& store, const std::string& path, const std::string& query,
                      int64_t now, uint64_t maxDecodedBytes) {
  if (path == "/") {
    return GroupsPage(store, query, now);
  }
  int64_t id = 0;
  const std::string groups = "/groups/";
  const std::string reports = "/reports/";
  if (path.rfind(groups, 0) == 0 && ParseId(path.substr(groups.size()), id)) {
    return GroupPage(store, id, query);
  }
  if (path.rfind(reports, 0) == 0 && ParseId(path.substr(reports.size()), id)) {
    return ReportPage(store, id, maxDecodedBytes);
  }
  return NotFoundPage();
}

}  // namespace collector
