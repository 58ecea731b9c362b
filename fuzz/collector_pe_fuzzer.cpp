// Arbitrary bytes as a symbol file's PE headers: never a read out of bounds, and a debug id is
// always the 32 GUID digits and an age.

#include <cstddef>
#include <cstdint>
#include <string>

#include "pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so ASan sees any read past the end.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  collector::PeIdentity identity;
  std::string error = collector::ReadPeIdentity(bytes, identity);
  if (!identity.debugId.empty() && (identity.debugId.size() < 33 || identity.debugId.size() > 40)) {
    __builtin_trap();
  }
  if (!error.empty() && error.find('\n') != std::string::npos) __builtin_trap();
  return 0;
}
