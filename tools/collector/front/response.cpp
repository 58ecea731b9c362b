#include "front/response.h"

namespace collector {
namespace {

constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'";

void Add(HttpAnswer& answer, const char* name, std::string value) {
  answer.headers.emplace_back(name, std::move(value));
}

HttpAnswer Uncached(unsigned status, const std::string& contentType, std::string body) {
  HttpAnswer answer;
  answer.status = status;
  answer.contentType = contentType;
  answer.body = std::move(body);
  Add(answer, "X-Content-Type-Options", "nosniff");
  Add(answer, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  return answer;
}

MHD_Result Send(MHD_Connection* connection, const HttpAnswer& answer, MHD_ResponseMemoryMode mode) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), mode);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  for (const auto& [name, value] : answer.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  MHD_Result result = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return result;
}

}  // namespace

MHD_Result Respond(MHD_Connection* connection, const HttpAnswer& answer) {
  return Send(connection, answer, MHD_RESPMEM_MUST_COPY);
}

MHD_Result RespondKept(MHD_Connection* connection, const HttpAnswer& answer) {
  return Send(connection, answer, MHD_RESPMEM_PERSISTENT);
}

HttpAnswer TextAnswer(unsigned status, std::string body) {
  HttpAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  return answer;
}

HttpAnswer BusyAnswer(const std::string& contentType, std::string body, int retrySeconds) {
  HttpAnswer answer = Uncached(MHD_HTTP_SERVICE_UNAVAILABLE, contentType, std::move(body));
  Add(answer, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(retrySeconds));
  return answer;
}

HttpAnswer FromApi(const ApiAnswer& api) {
  HttpAnswer answer = Uncached(api.status, api.contentType, api.body);
  if (!api.attachment.empty()) {
    Add(answer, MHD_HTTP_HEADER_CONTENT_DISPOSITION,
        "attachment; filename=\"" + api.attachment + "\"");
  }
  if (api.allowGet) {
    Add(answer, MHD_HTTP_HEADER_ALLOW, "GET");
  }
  if (!api.link.empty()) {
    Add(answer, "Link", api.link);
  }
  if (api.status == MHD_HTTP_UNAUTHORIZED) {
    Add(answer, MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
  }
  return answer;
}

HttpAnswer FromPage(const PageAnswer& page) {
  HttpAnswer answer = Uncached(page.status, page.contentType, page.body);
  Add(answer, "Content-Security-Policy", kContentSecurityPolicy);
  Add(answer, "Referrer-Policy", "no-referrer");
  if (!page.location.empty()) {
    Add(answer, MHD_HTTP_HEADER_LOCATION, page.location);
  }
  if (!page.setCookie.empty()) {
    Add(answer, MHD_HTTP_HEADER_SET_COOKIE, page.setCookie);
  }
  return answer;
}

}  // namespace collector
