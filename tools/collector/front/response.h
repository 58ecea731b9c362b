#pragma once

#include <microhttpd.h>

#include <string>
#include <utility>
#include <vector>

#include "render/dashboard.h"
#include "render/read_api.h"

namespace collector {

// Every answer the server sends, whatever produced it: one request per connection, so every
// answer closes it (a stop never waits for an idle keep-alive connection).
struct HttpAnswer {
  unsigned status = 200;
  std::string contentType = "text/plain";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

MHD_Result Respond(MHD_Connection* connection, const HttpAnswer& answer);

// The same without copying the body, for large ones (a symbol file): the answer must stay as it
// is until the request has completed (kept in the request itself).
MHD_Result RespondKept(MHD_Connection* connection, const HttpAnswer& answer);

// A short plain-text answer, as uploads get.
HttpAnswer TextAnswer(unsigned status, std::string body);

// 503 with Retry-After: the client is asked to come back, not told that it failed.
HttpAnswer BusyAnswer(const std::string& contentType, std::string body, int retrySeconds);

// The renderers' answers with the headers their kind needs: the API's never sniffed nor
// cached; the pages' also under a strict content security policy.
HttpAnswer FromApi(const ApiAnswer& answer);
HttpAnswer FromPage(const PageAnswer& page);

}  // namespace collector
