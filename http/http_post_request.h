#pragma once

#include <cstdint>

#include "http/http_request.h"

// Result codes of the multipart layer.
enum PostResult : int {
  kPostOk = 0,
  kPostNotPost = 200,
  kPostNoName = 201,
  kPostNoData = 202,
  kPostNoFileName = 203,
};

// An HTTP/1.0 POST with a multipart/form-data body of text fields and file parts. The boundary is
// kept out of every part's data: when data holds it, a new one replaces it throughout the body.
class HttpPostRequest final : public HttpRequest {
 public:
  static constexpr char kInitialBoundary[] = "---------------------------28253686825547";
  static constexpr unsigned kBoundarySize = 256;

  HttpPostRequest();
  ~HttpPostRequest();

  void Reset() override;
  int GetMethodName(int kind, char* out, unsigned size) override;
  int FinishHead() override;

  int AddFormField(const char* name, const char* value);
  int AddFile(const char* name, const char* fileName, const char* data, unsigned length);
  void CheckBoundary(const char* data, unsigned length);
  void RegenerateBoundary();

  const char* Boundary() const { return boundary; }

 private:
  friend class HttpTestAccess;

  char boundary[kBoundarySize];
  char* body;
  uint32_t bodyLength;
};
