#pragma once

#include <cstdint>
#include <string>

namespace collector {

constexpr char kSessionCookie[] = "collector_session";
constexpr int64_t kSessionSeconds = 12 * 60 * 60;

// Signs and checks dashboard sessions without keeping any state: the cookie value is
// "EXPIRY.MAC", EXPIRY in Unix seconds and MAC the hex HMAC-SHA256 of it under a key derived
// from the read token, so every collector that reads the same token file accepts it, and
// changing the token ends every session.
class SessionKeys {
 public:
  explicit SessionKeys(const std::string& token);

  // A value that expires kSessionSeconds after now.
  std::string Issue(int64_t now) const;

  // True for a value issued with this token that has not expired. The MAC is compared in
  // constant time.
  bool Valid(const std::string& value, int64_t now) const;

 private:
  std::string Mac(const std::string& text) const;
  std::string key_;
};

// The Set-Cookie value for a session value; maxAge 0 with an empty value signs out.
std::string SessionCookie(const std::string& value, int64_t maxAge);

// The value of the named cookie in a Cookie header, or "" when it is not there.
std::string CookieFrom(const std::string& header, const std::string& name);

}  // namespace collector
