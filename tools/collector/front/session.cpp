#include "front/session.h"

#include <gnutls/crypto.h>

namespace collector {
namespace {

constexpr size_t kMacBytes = 32;  // SHA-256

std::string HmacSha256(const std::string& key, const std::string& text) {
  unsigned char digest[kMacBytes] = {};
  if (gnutls_hmac_fast(GNUTLS_MAC_SHA256, key.data(), key.size(), text.data(), text.size(),
                       digest) != 0) {
    return std::string();  // never matches: Valid wants kMacBytes * 2 hex digits
  }
  return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    unsigned char b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
  return out;
}

}  // namespace

// The token itself is never the key: a separate key per purpose, so a MAC seen by a client
// says nothing usable about the bearer token.
SessionKeys::SessionKeys(const std::string& token)
    : key_(HmacSha256(token, "collector dashboard session v1")) {}

std::string SessionKeys::Mac(const std::string& text) const { return Hex(HmacSha256(key_, text)); }

std::string SessionKeys::Issue(int64_t now) const {
  std::string expiry = std::to_string(now + kSessionSeconds);
  return expiry + "." + Mac(expiry);
}

bool SessionKeys::Valid(const std::string& value, int64_t now) const {
  size_t dot = value.find('.');
  if (key_.size() != kMacBytes || dot == std::string::npos || dot == 0 || dot > 18) {
    return false;
  }
  int64_t expiry = 0;
  for (size_t i = 0; i < dot; ++i) {
    if (value[i] < '0' || value[i] > '9') {
      return false;
    }
    expiry = expiry * 10 + (value[i] - '0');
  }
  std::string given = value.substr(dot + 1);
  std::string expected = Mac(value.substr(0, dot));
  if (given.size() != expected.size() || expected.size() != kMacBytes * 2) {
    return false;
  }
  unsigned char differ = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  // A valid MAC on a far-future expiry can only come from a clock that went back; it is
  // refused all the same, so no session outlives its lifetime by much.
  return differ == 0 && expiry > now && expiry <= now + kSessionSeconds + 300;
}

std::string CookieFrom(const std::string& header, const std::string& name) {
  size_t at = 0;
  while (at < header.size()) {
    size_t end = header.find(';', at);
    if (end == std::string::npos) {
      end = header.size();
    }
    std::string pair = header.substr(at, end - at);
    size_t start = pair.find_first_not_of(" \t");
    if (start != std::string::npos) {
      pair.erase(0, start);
    }
    if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
        pair[name.size()] == '=') {
      std::string value = pair.substr(name.size() + 1);
      size_t last = value.find_last_not_of(" \t");
      return last == std::string::npos ? std::string() : value.substr(0, last + 1);
    }
    at = end + 1;
  }
  return std::string();
}

std::string SessionCookie(const std::string& value, int64_t maxAge) {
  return std::string(kSessionCookie) + "=" + value + "; Max-Age=" + std::to_string(maxAge) +
         "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace collector
