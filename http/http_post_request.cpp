#include "http/http_post_request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "http/byte_search.h"

namespace {

constexpr size_t kKeptBoundaryPrefix = 31;
constexpr int kRandomValues = 6;
constexpr int kRandomDigits = 11;
constexpr size_t kPartSlack = 1024;
constexpr size_t kFileNameBufferSize = 256;
constexpr uint32_t kBlockRoom = 32;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The size of a temporary block made of these lengths; the block sizes of the game's 32-bit
// process must not wrap, so a sum past 32 bits is refused like an allocation that failed.
size_t BlockSize(std::initializer_list<size_t> lengths) {
  size_t total = 0;
  for (size_t length : lengths) {
    if (length > UINT32_MAX - total) throw std::bad_alloc();
    total += length;
  }
  return total;
}


}  // namespace

HttpPostRequest::HttpPostRequest() : boundary(), body(nullptr), bodyLength(0) {
  std::memcpy(boundary, kInitialBoundary, sizeof(kInitialBoundary));
}

HttpPostRequest::~HttpPostRequest() {
  delete[] body;
  body = nullptr;
}

void HttpPostRequest::Reset() {
  delete[] body;
  body = nullptr;
  bodyLength = 0;
  HttpRequest::Reset();
}

int HttpPostRequest::GetMethodName(int requestKind, char* out, unsigned size) {
  if (requestKind != kHttpPost) return HttpRequest::GetMethodName(requestKind, out, size);
  if (out != nullptr && size != 0) {
    out[size - 1] = '\0';
    if (size > 1) std::strncpy(out, "POST", size - 1);
  }
  return kPostOk;
}

int HttpPostRequest::AddFormField(const char* name, const char* value) {
  if (kind != kHttpPost) return kPostNotPost;
  if (name == nullptr || name[0] == '\0') return kPostNoName;
  if (value == nullptr) return kPostNoData;
  if (state != kHttpHeadOpen) return kHttpWrongState;
  size_t nameLength = std::strlen(name);
  size_t valueLength = std::strlen(value);
  // The name is written into the body too, so it must not hold the boundary either.
  size_t size = BlockSize({nameLength, valueLength, kPartSlack});
  CheckBoundary(name, static_cast<unsigned>(nameLength));
  CheckBoundary(value, static_cast<unsigned>(valueLength));

  // Owned, so a refused append cannot leak it.
  std::unique_ptr<char[]> block(new char[size]);
  int written = std::snprintf(block.get(), size,
                              "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                              boundary, name, value);
  AppendBytes(body, bodyLength, block.get(), static_cast<uint32_t>(written));
  return kPostOk;
}

int HttpPostRequest::AddFile(const char* name, const char* fileName, const char* data,
                             unsigned length) {
  if (data == nullptr || length == 0) return kPostNoData;
  if (kind != kHttpPost) return kPostNotPost;
  if (name == nullptr || name[0] == '\0') return kPostNoName;
  if (fileName == nullptr || fileName[0] == '\0') return kPostNoFileName;
  if (state != kHttpHeadOpen) return kHttpWrongState;
  size_t nameLength = std::strlen(name);
  size_t fileNameLength = std::strlen(fileName);
  char shortName[kFileNameBufferSize];
  std::strncpy(shortName, fileName, sizeof(shortName) - 1);
  shortName[sizeof(shortName) - 1] = '\0';

  // Sized first: a length that cannot be a real block is refused before its bytes are read.
  size_t size = BlockSize({nameLength, fileNameLength, length, kPartSlack});
  CheckBoundary(name, static_cast<unsigned>(nameLength));
  CheckBoundary(shortName, static_cast<unsigned>(std::strlen(shortName)));
  CheckBoundary(data, length);

  std::unique_ptr<char[]> block(new char[size]);
  int written = std::snprintf(block.get(), size,
                              "--%s\r\nContent-Disposition: form-data; name=\"%s\"; "
                              "filename=\"%s\"\r\nContent-Type: application/octet-stream\r\n\r\n",
                              boundary, name, shortName);
  size_t used = static_cast<size_t>(written);
  std::memcpy(block.get() + used, data, length);
  used += length;
  std::memcpy(block.get() + used, "\r\n", 2);
  used += 2;
  AppendBytes(body, bodyLength, block.get(), static_cast<uint32_t>(used));
  return kPostOk;
}

void HttpPostRequest::CheckBoundary(const char* data, unsigned length) {
  while (FindBytes(data, length, boundary, std::strlen(boundary)) != nullptr) RegenerateBoundary();
}

void HttpPostRequest::RegenerateBoundary() {
  size_t currentLength = std::strlen(boundary);
  size_t kept = currentLength < kKeptBoundaryPrefix ? currentLength : kKeptBoundaryPrefix;
  char candidate[kBoundarySize];
  std::memcpy(candidate, boundary, kept);
  size_t candidateLength = kept + kRandomDigits;
  do {
    char digits[2 * kRandomValues];
    for (int i = 0; i < kRandomValues; ++i) {
      int value = std::rand() % 93 + 33;
      digits[2 * i] = kHexDigits[value >> 4];
      digits[2 * i + 1] = kHexDigits[value & 15];
    }
    std::memcpy(candidate + kept, digits, kRandomDigits);
    candidate[candidateLength] = '\0';
  } while (FindBytes(body, bodyLength, candidate, candidateLength) != nullptr);

  if (body != nullptr) {
    // Rewrite the delimiters already in the body to the new boundary.
    const char* end = body + bodyLength;
    size_t grownLength = bodyLength;
    for (const char* p = body; p + currentLength <= end;) {
      if (std::memcmp(p, boundary, currentLength) == 0) {
        grownLength = BlockSize({grownLength - currentLength, candidateLength});
        p += currentLength;
      } else {
        ++p;
      }
    }
    char* grown = new char[BlockSize({grownLength, kBlockRoom})];
    char* out = grown;
    for (const char* p = body; p < end;) {
      if (p + currentLength <= end && std::memcmp(p, boundary, currentLength) == 0) {
        std::memcpy(out, candidate, candidateLength);
        out += candidateLength;
        p += currentLength;
      } else {
        *out++ = *p++;
      }
    }
    std::memset(out, 0, kBlockRoom);
    delete[] body;
    body = grown;
    bodyLength = static_cast<uint32_t>(grownLength);
  }
  std::memcpy(boundary, candidate, candidateLength + 1);
}

int HttpPostRequest::FinishHead() {
  if (state != kHttpHeadOpen) return kHttpWrongState;
  if (bodyLength != 0) {
    // One append for the closing line: each append copies the whole body.
    char closing[kBoundarySize + 8];
    int closingLength = std::snprintf(closing, sizeof(closing), "--%s--\r\n\r\n", boundary);
    AppendBytes(body, bodyLength, closing, static_cast<uint32_t>(closingLength));
    int code = AddHeaderFormat(512, "Content-Type: multipart/form-data; boundary=%s", boundary);
    // Unsigned: the same digits as a signed count for every body that fits 2 GiB, and never a
    // negative length for a larger one.
    if (code == kHttpOk) code = AddHeaderFormat(256, "Content-Length: %u", bodyLength);
    if (code != kHttpOk) return code;
  }
  int code = EndHead();
  if (code != kHttpOk) return code;
  if (bodyLength != 0) {
    AppendBytes(head, headLength, body, bodyLength);
    delete[] body;
    body = nullptr;
    bodyLength = 0;
  }
  state = kHttpHeadComplete;
  return kPostOk;
}
