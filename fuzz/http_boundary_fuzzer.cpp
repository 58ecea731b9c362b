// Multipart bodies built from arbitrary parts: whatever the data holds, the finished body uses one
// boundary throughout, never holds it inside a part, and carries every part intact.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_post_request.h"
#include "http/http_test_access.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Part {
  bool isFile;
  std::string data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0 seeds rand; then parts, each a kind/length byte and its bytes.
  std::srand(data[0]);
  std::vector<Part> parts;
  size_t at = 1;
  while (at < size && parts.size() < 16) {
    uint8_t control = data[at++];
    size_t length = control & 0x7F;
    if (length == 0x7F && at < size) length = 0x7F + data[at++] * 16u;
    if (length > size - at) length = size - at;
    parts.push_back(
        {(control & 0x80) != 0, std::string(reinterpret_cast<const char*>(data + at), length)});
    at += length;
  }

  HttpPostRequest request;
  Check(request.OpenUrl("http://127.0.0.1/up", kHttpPost) == kHttpOk);
  std::vector<Part> added;
  for (Part& part : parts) {
    if (part.isFile) {
      if (part.data.empty()) continue;
      Check(request.AddFile("file", "log.pak", part.data.data(),
                            static_cast<unsigned>(part.data.size())) == kPostOk);
    } else {
      part.data = part.data.c_str();  // a field value is text up to its NUL
      Check(request.AddFormField("ver", part.data.c_str()) == kPostOk);
    }
    added.push_back(part);
  }
  Check(request.FinishHead() == kPostOk);

  const std::string boundary = request.Boundary();
  Check(boundary.size() == 41 || boundary.size() == 42);
  std::string body;
  for (const Part& part : added) {
    Check(part.data.find(boundary) == std::string::npos);
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
            (part.isFile ? "file\"; filename=\"log.pak\"\r\nContent-Type: application/octet-stream"
                         : "ver\"") +
            "\r\n\r\n" + part.data + "\r\n";
  }
  std::string head = HttpTestAccess::Head(request);
  std::string expected =
      "POST /up HTTP/1.0\r\nHOST: 127.0.0.1\r\nAccept: */*\r\nPragma: no-cache\r\n"
      "Cache-Control: no-cache\r\n";
  if (!added.empty()) {
    body += "--" + boundary + "--\r\n\r\n";
    expected += "Content-Type: multipart/form-data; boundary=" + boundary +
                "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  expected += "Connection: close\r\n\r\n" + body;
  Check(head == expected);
  return 0;
}
