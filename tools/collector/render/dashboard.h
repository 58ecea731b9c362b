#pragma once

#include <cstdint>
#include <string>

#include "formats/payload_decode.h"
#include "readmodel/read_model.h"

namespace collector {

class ReportStore;

// An HTML page (or a redirect) of the dashboard.
struct PageAnswer {
  unsigned status = 200;
  std::string contentType = "text/html; charset=utf-8";
  std::string body;
  std::string location;   // Location of a 303, "" otherwise
  std::string setCookie;  // Set-Cookie value, "" for none
};

// One-line text for HTML text or a double-quoted attribute: &, <, >, " and ' escaped, every
// control character (line ends too) and every byte that is not valid UTF-8 shown as U+FFFD.
std::string HtmlText(const std::string& utf8);

// A log for a <pre> block: escaped like HtmlText, but line feeds and tabs stay, a CR before a
// line feed is dropped, and every other control character is shown as a marked hex escape
// (<span class="ctl">\x1b</span>), so nothing of it can act on the page or hide.
std::string HtmlLog(const std::string& utf8);

// The sign-in page: a form that POSTs the token to /login. The same page, with this status,
// answers every request without a session, so it tells nothing about what exists.
PageAnswer LoginPage(unsigned status, const std::string& message = "");

// The stylesheet every page links to (the pages carry no inline style).
const std::string& DashboardCss();

// An authorized GET of a dashboard path (path without the query; query as received, raw).
// now is the current Unix time, for the chart.
// Lists are paginated: ?page=N on the groups page, ?after=ID on a group's page.
PageAnswer AnswerPage(ReportStore& store, const std::string& path, const std::string& query,
                      int64_t now, uint64_t maxDecodedBytes = kDefaultMaxDecodedBytes);

// The crashes per hour over the 168 hours up to now (UTC), one line per version, as an inline
// SVG with axes and a legend, from the hourly counts the read model keeps.
std::string CrashChart(const std::vector<HourCount>& hours, int64_t now);

}  // namespace collector
