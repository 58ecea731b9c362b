#pragma once

#include <cstdint>
#include <string>

#include "formats/payload_decode.h"

namespace collector {

class ReportStore;

// A JSON string literal, quotes included. The bytes are untrusted: quotes, backslashes and
// control characters are escaped (\u00XX), so are <, > and &, and bytes that are not valid
// UTF-8 become U+FFFD, so the result is always valid UTF-8 and valid JSON.
std::string JsonString(const std::string& bytes);

// True when the Authorization header value is "Bearer TOKEN" with this token. The time taken
// depends on the lengths only, never on where the texts differ.
bool BearerMatches(const std::string& token, const std::string& authorization);

struct ApiAnswer {
  unsigned status = 200;
  std::string contentType = "application/json; charset=utf-8";
  std::string body;
  std::string attachment;  // a file name for Content-Disposition: attachment, "" for none
  bool allowGet = false;    // a 405: Allow: GET
  std::string link;         // Link header value (the next page), "" for none
};

// True for the paths the read side owns: /api and everything below it.
bool IsApiPath(const std::string& path);

// "open", "resolved" or "ignored".
bool IsGroupStatus(const std::string& status);

// Sets a group's status from a JSON body ({"status": "resolved", "version": "1.2.0"}) or a
// url-encoded form (status=...&version=...); answers the group as GET /api/groups lists it,
// 400 for a bad body, 404 for an unknown group.
ApiAnswer ChangeGroupStatus(ReportStore& store, int64_t groupId, const std::string& contentType,
                            const std::string& body);

// The answer to an authorized request for an /api/ path (path without the query).
// Lists are paginated: ?limit=N (at most 1000) with ?page=N for groups (filtered by ?version=
// and ?program=) and ?after=ID for a group's reports; the next page is named in the Link header.
ApiAnswer AnswerApi(ReportStore& store, const std::string& method, const std::string& path,
                    const std::string& query = "",
                    uint64_t maxDecodedBytes = kDefaultMaxDecodedBytes);

}  // namespace collector
