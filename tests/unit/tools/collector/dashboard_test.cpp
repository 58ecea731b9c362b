// The dashboard's pieces that a browser test would only catch by luck: escaping of every hostile
// byte, session values that are expired, tampered with or signed with another token, and the
// chart's hour buckets.

#include "render/dashboard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/session.h"

namespace {

using collector::HtmlLog;
using collector::HtmlText;
using collector::SessionKeys;

const std::string kFffd = "\xEF\xBF\xBD";

TEST(DashboardHtml, EveryHostileByteIsEscapedOrReplaced) {
  EXPECT_EQ(HtmlText("<a href=\"x\" title='y'>&amp;</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
  // Control bytes, C1 controls (U+0085) and invalid UTF-8 cannot end up in an attribute or text.
  EXPECT_EQ(HtmlText("a\nb\x1b\x7f\xC2\x85\xFF\xC0\xAF\xED\xA0\x80z"),
            "a" + kFffd + "b" + kFffd + kFffd + kFffd + kFffd + kFffd + kFffd + kFffd + kFffd +
                kFffd + "z");
  EXPECT_EQ(HtmlText(std::string("x\0y", 3)), "x" + kFffd + "y");
  // Valid UTF-8 (Chinese, U+00A0 just past the C1 range) passes unchanged.
  EXPECT_EQ(HtmlText("\xE6\xB8\xB8\xE6\x88\x8F\xC2\xA0"), "\xE6\xB8\xB8\xE6\x88\x8F\xC2\xA0");

  // A log keeps its lines and tabs; CRLF becomes LF; every other control is a visible escape.
  EXPECT_EQ(HtmlLog("a\tb\r\nc\rd\x1b[0m\xC2\x9B<\x01"),
            "a\tb\nc<span class=\"ctl\">\\x0d</span>d<span class=\"ctl\">\\x1b</span>[0m"
            "<span class=\"ctl\">\\x9b</span>&lt;<span class=\"ctl\">\\x01</span>");
  EXPECT_EQ(HtmlLog("</pre><script>"), "&lt;/pre&gt;&lt;script&gt;");
}

TEST(DashboardSession, OnlyAnUnexpiredValueSignedWithTheSameTokenIsValid) {
  const int64_t now = 1800000000;
  SessionKeys keys("token-one");
  std::string value = keys.Issue(now);
  EXPECT_TRUE(keys.Valid(value, now));
  EXPECT_TRUE(keys.Valid(value, now + collector::kSessionSeconds - 1));
  // Another instance with the same token accepts it: nothing is kept per session.
  EXPECT_TRUE(SessionKeys("token-one").Valid(value, now + 60));

  EXPECT_FALSE(keys.Valid(value, now + collector::kSessionSeconds));
  EXPECT_FALSE(SessionKeys("token-two").Valid(value, now));
  EXPECT_FALSE(SessionKeys("token-one ").Valid(value, now));

  // A later expiry with the old MAC, a flipped MAC digit, a cut MAC, junk.
  size_t dot = value.find('.');
  std::string later = std::to_string(now + collector::kSessionSeconds + 1) + value.substr(dot);
  EXPECT_FALSE(keys.Valid(later, now));
  for (size_t i = dot + 1; i < value.size(); i += 7) {
    std::string flipped = value;
    flipped[i] = flipped[i] == 'a' ? 'b' : 'a';
    EXPECT_FALSE(keys.Valid(flipped, now)) << flipped;
  }
  EXPECT_FALSE(keys.Valid(value.substr(0, value.size() - 1), now));
  EXPECT_FALSE(keys.Valid(value + "0", now));
  EXPECT_FALSE(keys.Valid("", now));
  EXPECT_FALSE(keys.Valid(".", now));
  EXPECT_FALSE(keys.Valid("-5" + value.substr(dot), now));
  // The MAC is not the token's own, so a cookie seen says nothing about the bearer token.
  EXPECT_EQ(value.find("token-one"), std::string::npos);
}

TEST(DashboardSession, CookieHeaderParsing) {
  EXPECT_EQ(collector::CookieFrom("a=1; collector_session=v.1 ; b=2", "collector_session"), "v.1");
  EXPECT_EQ(
      collector::CookieFrom("xcollector_session=v; collector_sessionx=w", "collector_session"), "");
}

TEST(DashboardChart, CountsFallIntoTheirHourAndVersion) {
  std::vector<collector::HourCount> data;
  const int64_t now = collector::UnixSeconds("2026-12-08T14:30:00.000Z");
  ASSERT_GT(now, 0);
  auto add = [&](const std::string& received, const std::string& ver) {
    data.push_back(collector::HourCount{ver, collector::UnixSeconds(received) / 3600, 1});
  };
  add("2026-12-08T14:01:00.000Z", "1.0");  // this hour
  add("2026-12-08T14:59:00.000Z", "1.0");
  add("2026-12-01T15:00:00.000Z", "2.0");  // the first hour of the 168
  add("2026-12-01T14:59:59.000Z", "3.0");  // just before the window: no series
  std::string svg = collector::CrashChart(data, now);
  EXPECT_NE(svg.find("data-version=\"1.0\""), std::string::npos);
  EXPECT_NE(svg.find("data-version=\"2.0\""), std::string::npos);
  EXPECT_EQ(svg.find("data-version=\"3.0\""), std::string::npos);
  // 1.0 peaks at 2 in the last hour: its last point is at the top of the plot; 2.0's first is
  // at half height.
  size_t one = svg.find("data-version=\"1.0\"");
  std::string onePoints = svg.substr(one, svg.find("/>", one) - one);
  EXPECT_NE(onePoints.find(" 944.0,12.0\""), std::string::npos) << onePoints;
  size_t two = svg.find("data-version=\"2.0\"");
  EXPECT_NE(svg.find("points=\"48.0,102.0 ", two), std::string::npos);
  EXPECT_NE(svg.find(">1.0 (2)</text>"), std::string::npos);

  // Beyond ten versions the least frequent share one line.
  for (int i = 0; i < 12; ++i) {
    add("2026-12-08T10:00:00.000Z", "9." + std::to_string(i));
  }
  add("2026-12-08T11:00:00.000Z", "9.11");
  std::string many = collector::CrashChart(data, now);
  size_t lines = 0;
  for (size_t at = many.find("<polyline"); at != std::string::npos;
       at = many.find("<polyline", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 10u);
  EXPECT_NE(many.find("data-version=\"9.11\""), std::string::npos);
  EXPECT_NE(many.find("class=\"series other\""), std::string::npos);
  EXPECT_NE(many.find(">other versions (5)</text>"), std::string::npos);
}

}  // namespace
