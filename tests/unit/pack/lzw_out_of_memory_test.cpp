// Its own program: it replaces the nothrow array operator new, which the LZW coder allocates
// through, so that a chosen allocation fails.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "pack/compress.h"
#include "pack/lzw_encode.h"
#include "test_bytes.h"

namespace {

int allocationsUntilFailure = 0;  // 0: none fails; n: the n-th nothrow new[] from now fails

struct FailNthAllocation {
  explicit FailNthAllocation(int n) { allocationsUntilFailure = n; }
  ~FailNthAllocation() { allocationsUntilFailure = 0; }
};

constexpr int64_t kTableBytes = 78643 * 12;

}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (allocationsUntilFailure > 0 && --allocationsUntilFailure == 0) return nullptr;
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

// Compress with pack type 10 when the n-th allocation fails: it must fail as a result, leave the
// caller's buffer alone and name the request that failed.
void ExpectCompressFails(const Bytes& data, int failingAllocation, int64_t failedBytes) {
  unsigned char* const input = new unsigned char[data.size()];
  std::memcpy(input, data.data(), data.size());
  unsigned char* buffer = input;
  int length = static_cast<int>(data.size());
  int result;
  {
    FailNthAllocation failing(failingAllocation);
    result = Compress(buffer, length, kPackLzw, 1, 1);
  }
  EXPECT_EQ(result, kCompressFailed);
  EXPECT_EQ(buffer, input);
  EXPECT_EQ(length, static_cast<int>(data.size()));
  EXPECT_EQ(std::string(CompressError),
            "in Compress fun, new alloc error! (" + std::to_string(failedBytes) + ")");
  EXPECT_EQ(std::memcmp(input, data.data(), data.size()), 0);  // neither released nor changed
  delete[] input;
}

}  // namespace

TEST(LzwOutOfMemory, TableAllocationFails) {
  const Bytes input = LogText(1000, 1);
  unsigned char* stream = nullptr;
  FailNthAllocation failing(1);
  EXPECT_EQ(LzwEncode(input.data(), static_cast<int64_t>(input.size()), stream), -kTableBytes);
  EXPECT_EQ(stream, nullptr);
}

TEST(LzwOutOfMemory, CompressReportsTheFailedTable) {
  ExpectCompressFails(LogText(1000, 2), 1, kTableBytes);
}

TEST(LzwOutOfMemory, CompressReportsTheFailedStream) {
  // The stream starts at a quarter of the input in codes: (1000 / 4 + 2) * 2 bytes.
  ExpectCompressFails(LogText(1000, 3), 2, 504);
}

TEST(LzwOutOfMemory, CompressReportsTheFailedGrowth) {
  // Random bytes give about one code per byte, so the stream outgrows its first 5,004 bytes and
  // asks for twice that and two.
  ExpectCompressFails(RandomBytes(10000, 4), 3, 10010);
}

TEST(LzwOutOfMemory, NextCallPacksAsBefore) {
  const Bytes data = RandomBytes(10000, 5);
  unsigned char* failed = nullptr;
  {
    FailNthAllocation failing(3);
    EXPECT_LT(LzwEncode(data.data(), static_cast<int64_t>(data.size()), failed), 0);
  }
  unsigned char* first = nullptr;
  unsigned char* second = nullptr;
  const int64_t size = LzwEncode(data.data(), static_cast<int64_t>(data.size()), first);
  ASSERT_GT(size, 0);
  ASSERT_EQ(LzwEncode(data.data(), static_cast<int64_t>(data.size()), second), size);
  EXPECT_EQ(std::memcmp(first, second, static_cast<size_t>(size)), 0);
  delete[] first;
  delete[] second;
}
