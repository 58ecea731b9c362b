#pragma once

#include <microhttpd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace collector {

// The parts of a crash upload as its body streams in: the file part "file" (with its file
// name) and the text field "ver"; other parts are skipped, a second "file" or "ver" is an
// error. Bytes after the close delimiter (the crash library sends an empty line there) are
// ignored. Nothing of the raw body is kept. A symbol upload takes any number of file parts
// instead (see AcceptManyFiles).
class MultipartUpload {
 public:
  MultipartUpload() = default;
  ~MultipartUpload();
  MultipartUpload(const MultipartUpload&) = delete;
  MultipartUpload& operator=(const MultipartUpload&) = delete;

  // Before Start: every part with a file name is a file, whatever its field name and however
  // many there are; text fields are skipped. Finish then wants at least one.
  void AcceptManyFiles() { manyFiles_ = true; }

  // Reads the boundary from the request's Content-Type; false when it is no multipart body.
  // expectedBytes (the announced length) is reserved for the file part up front, so it does
  // not grow by doubling.
  bool Start(MHD_Connection* connection, uint64_t expectedBytes);

  // One chunk of the body. False once the body is malformed (error() tells why); the caller
  // then reads on and drops the rest.
  bool Feed(const char* data, size_t size);

  // At the end of the body: false when it was malformed, ended early or lacks a "file" part.
  bool Finish();

  // Frees the parts and the parser, for a body that is refused.
  void Drop();

  const std::string& error() const { return error_; }
  bool hasVer() const { return hasVer_; }
  std::string& ver() { return ver_; }
  std::string& file() { return file_; }
  std::string& fileName() { return fileName_; }
  // The file parts in the order sent (file name, bytes), with AcceptManyFiles.
  std::vector<std::pair<std::string, std::string>>& files() { return files_; }

 private:
  static MHD_Result OnPart(void* cls, MHD_ValueKind kind, const char* key, const char* filename,
                           const char* contentType, const char* encoding, const char* data,
                           uint64_t offset, size_t size);

  MHD_PostProcessor* post_ = nullptr;
  std::string closeDelimiter_;  // "\r\n--BOUNDARY--"
  std::string window_;          // the last bytes, for a delimiter split across chunks
  bool ended_ = false;          // the close delimiter has been seen
  std::string error_;
  std::string file_;
  std::string fileName_;
  std::string ver_;
  bool hasFile_ = false;
  bool hasVer_ = false;
  std::string lastKey_;  // the part the last chunk belonged to
  uint64_t lastEnd_ = 0;
  std::string duplicate_;  // name of a part sent twice
  bool manyFiles_ = false;
  std::string lastFileName_;
  std::vector<std::pair<std::string, std::string>> files_;
};

}  // namespace collector
