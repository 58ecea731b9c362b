#include "ingest/multipart.h"

#include <algorithm>
#include <cctype>

namespace collector {
namespace {

constexpr char kFileField[] = "file";
constexpr char kVersionField[] = "ver";
constexpr size_t kPostBufferBytes = 64 * 1024;

// The boundary parameter of the multipart Content-Type, unquoted; empty when there is none.
std::string BoundaryOf(MHD_Connection* connection) {
  const char* type =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  std::string text = type != nullptr ? type : "";
  std::string lower = text;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  size_t at = lower.find("boundary=");
  if (at == std::string::npos) {
    return std::string();
  }
  std::string boundary = text.substr(at + 9);
  if (!boundary.empty() && boundary.front() == '"') {
    size_t close = boundary.find('"', 1);
    return close == std::string::npos ? std::string() : boundary.substr(1, close - 1);
  }
  return boundary.substr(0, boundary.find_first_of("; \t"));
}

}  // namespace

MultipartUpload::~MultipartUpload() { Drop(); }

bool MultipartUpload::Start(MHD_Connection* connection, uint64_t expectedBytes) {
  post_ = MHD_create_post_processor(connection, kPostBufferBytes, &MultipartUpload::OnPart, this);
  std::string boundary = BoundaryOf(connection);
  closeDelimiter_ = "\r\n--" + boundary + "--";
  if (post_ == nullptr || boundary.empty()) {
    error_ = "expected a multipart/form-data upload";
    return false;
  }
  file_.reserve(static_cast<size_t>(expectedBytes));
  return true;
}

bool MultipartUpload::Feed(const char* data, size_t size) {
  if (post_ == nullptr) {
    return false;
  }
  if (ended_) {
    return true;  // the epilogue after the close delimiter
  }
  // The parser refuses bytes after the close delimiter, but senders may put an epilogue
  // there, so only the bytes up to it are parsed.
  std::string scan = window_;
  scan.append(data, size);
  size_t at = scan.find(closeDelimiter_);
  size_t feed = size;
  if (at != std::string::npos) {
    feed = at + closeDelimiter_.size() - window_.size();
    ended_ = true;
  }
  size_t keep = std::min(scan.size(), closeDelimiter_.size());
  window_ = scan.substr(scan.size() - keep);
  if (MHD_post_process(post_, data, feed) != MHD_YES) {
    error_ = duplicate_.empty() ? "malformed multipart body" : "duplicate part " + duplicate_;
    Drop();
    return false;
  }
  return true;
}

bool MultipartUpload::Finish() {
  bool complete = post_ != nullptr && MHD_destroy_post_processor(post_) == MHD_YES && ended_;
  post_ = nullptr;
  if (!duplicate_.empty()) {
    error_ = "duplicate part " + duplicate_;
    return false;
  }
  if (!complete) {
    error_ = "malformed multipart body";
    return false;
  }
  if (manyFiles_ && files_.empty()) {
    error_ = "the upload has no file part";
    return false;
  }
  if (!manyFiles_ && !hasFile_) {
    error_ = "the upload has no \"file\" part";
    return false;
  }
  return true;
}

void MultipartUpload::Drop() {
  if (post_ != nullptr) {
    MHD_destroy_post_processor(post_);
    post_ = nullptr;
  }
  std::string().swap(file_);
  std::string().swap(window_);
  std::vector<std::pair<std::string, std::string>>().swap(files_);
}

MHD_Result MultipartUpload::OnPart(void* cls, MHD_ValueKind, const char* key, const char* filename,
                                   const char*, const char*, const char* data, uint64_t offset,
                                   size_t size) {
  MultipartUpload* upload = static_cast<MultipartUpload*>(cls);
  std::string name = key != nullptr ? key : "";
  if (upload->manyFiles_) {
    if (filename == nullptr) {
      return MHD_YES;  // a text field
    }
    // Field names repeat here: a new file name, or offset 0 after bytes, starts a part.
    if (upload->files_.empty() || name != upload->lastKey_ ||
        filename != upload->lastFileName_ || (offset == 0 && upload->lastEnd_ > 0)) {
      upload->files_.emplace_back(filename, std::string());
    }
    upload->lastKey_ = name;
    upload->lastFileName_ = filename;
    upload->lastEnd_ = offset + size;
    upload->files_.back().second.append(data, size);
    return MHD_YES;
  }
  if (name != kFileField && name != kVersionField) {
    return MHD_YES;
  }
  // A chunk at offset 0 starts a part, unless it continues an empty start of the same part.
  bool startsPart = offset == 0 && (name != upload->lastKey_ || upload->lastEnd_ > 0);
  bool& seen = name == kFileField ? upload->hasFile_ : upload->hasVer_;
  if (startsPart && seen) {
    upload->duplicate_ = name;
    return MHD_NO;
  }
  seen = true;
  upload->lastKey_ = name;
  upload->lastEnd_ = offset + size;
  if (name == kFileField) {
    if (startsPart && filename != nullptr) {
      upload->fileName_ = filename;
    }
    upload->file_.append(data, size);
  } else {
    upload->ver_.append(data, size);
  }
  return MHD_YES;
}

}  // namespace collector
