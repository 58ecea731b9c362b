#pragma once

#include <string>

namespace collector {

// Converts GBK (code page 936) bytes to UTF-8. Never fails: each byte that does not start a
// valid GBK sequence becomes U+FFFD and the conversion carries on after it.
std::string GbkToUtf8(const std::string& gbk);

}  // namespace collector
