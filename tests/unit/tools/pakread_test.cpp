#include "tools/pakread/pakread.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "pack/compress.h"
#include "pack/pak_archive.h"

namespace {

// While watching, the largest single request made through operator new in this binary.
std::atomic<bool> watchingAllocations{false};
std::atomic<size_t> largestAllocation{0};

void* Allocate(size_t size) {
  if (watchingAllocations.load()) {
    size_t seen = largestAllocation.load();
    while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
    }
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

class LargestAllocation {
 public:
  LargestAllocation() {
    largestAllocation = 0;
    watchingAllocations = true;
  }
  ~LargestAllocation() { watchingAllocations = false; }
  size_t bytes() const { return largestAllocation.load(); }
};

}  // namespace

// All plain forms, so every new and delete of the binary pairs malloc with free.
void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes Block(int packType, uint32_t rawSize, const Bytes& data) {
  Bytes block(12 + data.size(), 0);
  block[0] = 'N';
  block[1] = 'Z';
  block[2] = static_cast<uint8_t>(packType);
  block[3] = static_cast<uint8_t>(packType >> 8);
  PutLe32(block, 4, rawSize);
  PutLe32(block, 8, static_cast<uint32_t>(data.size()));
  for (size_t i = 0; i < data.size(); ++i) block[12 + i] = data[i];
  return block;
}

Bytes Codes(std::initializer_list<uint16_t> codes) {
  Bytes stream;
  for (uint16_t code : codes) {
    stream.push_back(static_cast<uint8_t>(code));
    stream.push_back(static_cast<uint8_t>(code >> 8));
  }
  return stream;
}

std::string Decode(const Bytes& block, Bytes* out = nullptr) {
  Bytes decoded;
  const std::string reason = pakread::DecodeBlock(block.data(), block.size(), decoded);
  if (out != nullptr) *out = decoded;
  if (!reason.empty()) {
    EXPECT_TRUE(decoded.empty());
  }
  EXPECT_EQ(reason.find('\n'), std::string::npos);
  return reason;
}

Bytes PackedBlock(const std::string& text, int packType) {
  unsigned char* buffer = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
  int length = static_cast<int>(text.size());
  EXPECT_EQ(Compress(buffer, length, packType, 0, 0), kCompressOk);
  Bytes block(buffer, buffer + length);
  delete[] buffer;
  return block;
}

Bytes Image(std::initializer_list<std::pair<const char*, std::string>> entries) {
  PakArchive archive;
  for (const auto& entry : entries) {
    archive.AddEntry(entry.first, reinterpret_cast<const unsigned char*>(entry.second.data()),
                     static_cast<uint32_t>(entry.second.size()));
  }
  uint32_t size = 0;
  const unsigned char* image = archive.Build(&size);
  return Bytes(image, image + size);
}

std::string Parse(const Bytes& image) {
  std::vector<pakread::EntryInfo> entries;
  const std::string reason = pakread::ParseArchive(image.data(), image.size(), entries);
  if (!reason.empty()) {
    EXPECT_TRUE(entries.empty());
  }
  EXPECT_EQ(reason.find('\n'), std::string::npos);
  return reason;
}

const std::string kLongText(3000, 'q');

Bytes RandomBytes(std::mt19937& random, size_t count) {
  Bytes bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// The stream "a", "aa", "aaa", ...: each code one byte longer than the last, the most that
// many codes can give.
Bytes GrowingCodes(uint16_t count) {
  Bytes stream;
  for (uint32_t i = 0; i <= count; ++i) {
    const uint32_t code = i == 0 ? 97 : i == count ? 256 : 256 + i;
    stream.push_back(static_cast<uint8_t>(code));
    stream.push_back(static_cast<uint8_t>(code >> 8));
  }
  return stream;
}

}  // namespace

TEST(DecodeBlock, DecodesTheThreePackTypes) {
  Bytes out;
  pakread::BlockInfo info;
  const Bytes stored = Block(0, 3, {'a', 'b', 'c'});
  ASSERT_EQ(pakread::DecodeBlock(stored.data(), stored.size(), out, &info), "");
  EXPECT_EQ(out, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(info.packType, 0);
  EXPECT_EQ(info.storedSize, 3u);

  EXPECT_EQ(Decode(Block(10, 6, Codes({97, 98, 257, 257, 256})), &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), "ababab");

  EXPECT_EQ(Decode(Block(11, 3, {0x14, 0x61, 0x62, 0x63, 0x11, 0x00, 0x00}), &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), "abc");
}

TEST(DecodeBlock, RejectsBadHeaders) {
  EXPECT_NE(Decode(Bytes{'N', 'Z', 0, 0, 0}), "");
  EXPECT_NE(Decode(Bytes()), "");
  Bytes badMagic = Block(0, 1, {'x'});
  badMagic[0] = 'X';
  EXPECT_NE(Decode(badMagic), "");
  EXPECT_NE(Decode(Block(5, 1, {'x'})), "");
  EXPECT_NE(Decode(Block(0x10B, 1, {'x'})), "");
  Bytes longer = Block(0, 4, {'a', 'b', 'c', 'd'});
  PutLe32(longer, 8, 5);  // stored size past the end
  EXPECT_NE(Decode(longer), "");
  PutLe32(longer, 8, 0xFFFFFFFF);
  EXPECT_NE(Decode(longer), "");
  PutLe32(longer, 8, 3);  // a byte left over after the data
  EXPECT_NE(Decode(longer), "");
  EXPECT_NE(Decode(Block(0, 2, {'a', 'b', 'c'})), "");  // stored but sizes differ
}

TEST(DecodeBlock, RejectsMalformedLzwStreams) {
  EXPECT_NE(Decode(Block(10, 1, {0x61})), "");                          // odd length
  EXPECT_NE(Decode(Block(10, 0, {})), "");                              // no end code
  EXPECT_NE(Decode(Block(10, 1, Codes({97}))), "");                     // no end code
  EXPECT_NE(Decode(Block(10, 2, Codes({97, 256, 98, 256}))), "");       // end code inside
  EXPECT_NE(Decode(Block(10, 2, Codes({257, 256}))), "");               // first code a string
  EXPECT_NE(Decode(Block(10, 4, Codes({97, 258, 256}))), "");           // not defined yet
  EXPECT_NE(Decode(Block(10, 99, Codes({97, 65535, 256}))), "");        // far past the table
  EXPECT_NE(Decode(Block(10, 5, Codes({97, 98, 257, 257, 256}))), "");  // more than rawSize
  EXPECT_NE(Decode(Block(10, 7, Codes({97, 98, 257, 257, 256}))), "");  // less than rawSize
  EXPECT_NE(Decode(Block(10, 0xFFFFFFFF, Codes({97, 256}))), "");
  Bytes out;
  EXPECT_EQ(Decode(Block(10, 3, Codes({97, 257, 256})), &out), "");  // defined as it is used
  EXPECT_EQ(std::string(out.begin(), out.end()), "aaa");
}

TEST(DecodeBlock, RefusesLzwClaimsTheCodesCannotReach) {
  // A real packed log claiming far more than its codes can give: refused before any decoding.
  std::string log;
  for (int i = 0; i < 300; ++i) log += "[12:00:" + std::to_string(i % 60) + "] frame\r\n";
  Bytes bomb = PackedBlock(log, kPackLzw);
  ASSERT_EQ(bomb[2], 10);
  Bytes out;
  ASSERT_EQ(Decode(bomb, &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), log);
  PutLe32(bomb, 4, 500u << 20);
  const std::string reason = Decode(bomb);
  EXPECT_NE(reason.find("decodes to at most"), std::string::npos) << reason;

  // The bound is exact: 1000 codes that each grow by a byte reach it, one byte more is refused.
  const uint64_t reachable = 1000 * 1001 / 2;
  ASSERT_EQ(Decode(Block(10, reachable, GrowingCodes(1000)), &out), "");
  EXPECT_EQ(out, Bytes(reachable, 'a'));
  EXPECT_EQ(Decode(Block(10, reachable + 1, GrowingCodes(1000))),
            "LZW stream of 1001 codes decodes to at most 500500 bytes, less than the raw size "
            "of 500501");
}

TEST(DecodeBlock, AllocatesForWhatTheStreamGivesNotForTheClaim) {
  // 2 MB of garbage claiming 500 MB as LZO: measured and refused without allocating the claim.
  std::mt19937 random(7);
  const Bytes garbage = Block(11, 500000000, RandomBytes(random, 2 << 20));
  {
    LargestAllocation largest;
    EXPECT_NE(Decode(garbage), "");
    EXPECT_LT(largest.bytes(), size_t{64} << 20);
  }
  // 64 KB of LZW codes whose claim is reachable, broken after a few bytes.
  Bytes codes = GrowingCodes(32000);
  codes[10] = 0xFF;  // code 65535 long before it is defined
  codes[11] = 0xFF;
  const Bytes broken = Block(10, 400000000, codes);
  {
    LargestAllocation largest;
    EXPECT_NE(Decode(broken).find("not defined yet"), std::string::npos);
    EXPECT_LT(largest.bytes(), size_t{4} << 20);
  }
}

// What lzo1x_decompress_safe makes of a stream, with room for all it can give, must be what
// MeasureLzo says: the same status, and on success the same length.
int CompareWithDecoder(const Bytes& stream) {
  static Bytes decoded;
  lzo_uint produced = stream.size() * 256 + 1024;
  if (decoded.size() < produced) decoded.resize(produced);
  const int status =
      lzo1x_decompress_safe(stream.data(), stream.size(), decoded.data(), &produced, nullptr);
  EXPECT_NE(status, LZO_E_OUTPUT_OVERRUN);
  uint64_t length = 0;
  EXPECT_EQ(pakread::MeasureLzo(stream.data(), stream.size(), length), status);
  if (status == LZO_E_OK) {
    EXPECT_EQ(length, produced);
  }
  return status;
}

// A literal run of count (4 or more) bytes that starts a stream.
Bytes Literals(size_t count) {
  Bytes stream;
  size_t rest = count - 3;
  if (rest <= 15) {
    stream.push_back(static_cast<uint8_t>(rest));
  } else {
    rest -= 15;
    stream.push_back(0);
    for (; rest > 255; rest -= 255) stream.push_back(0);
    stream.push_back(static_cast<uint8_t>(rest));
  }
  stream.insert(stream.end(), count, 'x');
  return stream;
}

Bytes WithEnd(Bytes stream) {
  stream.insert(stream.end(), {0x11, 0x00, 0x00});
  return stream;
}

TEST(MeasureLzo, AgreesWithTheDecoderOnIntactAndDamagedStreams) {
  ASSERT_EQ(lzo_init(), LZO_E_OK);
  std::mt19937 random(11);
  std::vector<uint8_t> workMemory(LZO1X_1_MEM_COMPRESS);
  for (int round = 0; round < 300; ++round) {
    // Random bytes, text with near repeats, long runs, repeats more than 16 KB back.
    const size_t size = 1 + random() % 6000;
    Bytes raw;
    if (round % 4 == 0) {
      raw = RandomBytes(random, size);
    } else if (round % 4 == 1) {
      static const char* const kWords[] = {"frame ", "0x401000 ", "tick\r\n", "game.exe ", "a"};
      while (raw.size() < size) {
        const std::string word = kWords[random() % 5];
        raw.insert(raw.end(), word.begin(), word.end());
      }
    } else if (round % 4 == 2) {
      while (raw.size() < size) {
        raw.insert(raw.end(), 1 + random() % 3000, static_cast<uint8_t>(random() % 4));
      }
    } else {
      const Bytes piece = RandomBytes(random, 2000);
      raw = piece;
      for (int i = 0; i < 2; ++i) {
        const Bytes filler = RandomBytes(random, 15000 + random() % 20000);
        raw.insert(raw.end(), filler.begin(), filler.end());
        raw.insert(raw.end(), piece.begin(), piece.end());
      }
    }
    Bytes packed(raw.size() + raw.size() / 16 + 64 + 3);
    lzo_uint packedSize = 0;
    ASSERT_EQ(
        lzo1x_1_compress(raw.data(), raw.size(), packed.data(), &packedSize, workMemory.data()),
        LZO_E_OK);
    packed.resize(packedSize);
    uint64_t length = 0;
    ASSERT_EQ(pakread::MeasureLzo(packed.data(), packed.size(), length), LZO_E_OK);
    ASSERT_EQ(length, raw.size());

    for (int damage = 0; damage < 20; ++damage) {
      Bytes stream = packed;
      const int kind = damage % 4;
      if (kind == 0) {
        stream.resize(1 + random() % stream.size());
      } else if (kind == 3) {
        stream.push_back(static_cast<uint8_t>(random()));
      } else {
        for (int i = 0; i < kind; ++i) {
          stream[random() % stream.size()] = static_cast<uint8_t>(random());
        }
      }
      CompareWithDecoder(stream);
      ASSERT_FALSE(HasFailure()) << "round " << round << " damage " << damage;
    }
  }

  // Each form of match reaching exactly back to the first byte, then one byte further.
  for (uint32_t extra = 0; extra < 2; ++extra) {
    const int expected = extra == 0 ? LZO_E_OK : LZO_E_LOOKBEHIND_OVERRUN;
    uint32_t back = 2000 + extra - 1;  // 3 bytes 1 + ((t >> 2) & 7) + (b << 3) back
    Bytes stream = Literals(2000);
    stream.insert(stream.end(),
                  {static_cast<uint8_t>(0x40 | (back & 7) << 2), static_cast<uint8_t>(back >> 3)});
    EXPECT_EQ(CompareWithDecoder(WithEnd(stream)), expected);

    back = 2500 + extra - 0x801;  // 3 bytes 0x801 + (t >> 2) + (b << 2) back, after literals
    stream = Literals(2500);
    stream.insert(stream.end(),
                  {static_cast<uint8_t>((back & 3) << 2), static_cast<uint8_t>(back >> 2)});
    EXPECT_EQ(CompareWithDecoder(WithEnd(stream)), expected);

    back = 10000 + extra - 1;  // 3 bytes 1 + (d >> 2) back
    stream = Literals(10000);
    stream.insert(stream.end(),
                  {0x21, static_cast<uint8_t>(back << 2), static_cast<uint8_t>(back >> 6)});
    EXPECT_EQ(CompareWithDecoder(WithEnd(stream)), expected);

    for (uint32_t far : {0u, 0x4000u}) {  // 3 bytes 0x4000 + far + (d >> 2) back
      const uint32_t reach = 20000 + far;
      back = reach + extra - 0x4000 - far;
      stream = Literals(reach);
      stream.insert(stream.end(),
                    {static_cast<uint8_t>(0x11 | (far != 0 ? 8 : 0)),
                     static_cast<uint8_t>(back << 2), static_cast<uint8_t>(back >> 6)});
      EXPECT_EQ(CompareWithDecoder(WithEnd(stream)), expected);
    }

    // 2 bytes 1 + (t >> 2) + (b << 2) back, only after a match's trailing literal.
    back = 604 + extra - 1;
    stream = Literals(600);
    stream.insert(stream.end(), {0x21, 0x01, 0x00, 'y', static_cast<uint8_t>((back & 3) << 2),
                                 static_cast<uint8_t>(back >> 2)});
    EXPECT_EQ(CompareWithDecoder(WithEnd(stream)), expected);
  }
}

TEST(DecodeBlock, RejectsMalformedLzoStreams) {
  const Bytes good = PackedBlock(kLongText, kPackLzo);
  ASSERT_EQ(good[2], 11);
  Bytes out;
  ASSERT_EQ(Decode(good, &out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), kLongText);

  Bytes wrongRaw = good;
  PutLe32(wrongRaw, 4, 2999);  // output would overrun the declared size
  EXPECT_NE(Decode(wrongRaw), "");
  PutLe32(wrongRaw, 4, 3001);  // stream ends short of it
  EXPECT_NE(Decode(wrongRaw), "");
  PutLe32(wrongRaw, 4, 0xFFFFFFFF);  // absurd, must not be allocated
  EXPECT_NE(Decode(wrongRaw), "");

  Bytes cut(good.begin(), good.end() - 3);  // end-of-stream marker missing
  PutLe32(cut, 8, static_cast<uint32_t>(cut.size() - 12));
  EXPECT_NE(Decode(cut), "");

  const Bytes farBack =
      Block(11, 8, {0x12, 'a', 0x2F, 0xFC, 0xFF, 0x11, 0x00, 0x00});  // match before start
  EXPECT_NE(Decode(farBack), "");
}

TEST(LooksLikeBlock, NeedsMagicKnownTypeAndExactSize) {
  const Bytes block = Block(10, 1, Codes({97, 256}));
  EXPECT_TRUE(pakread::LooksLikeBlock(block.data(), block.size()));
  EXPECT_FALSE(pakread::LooksLikeBlock(block.data(), block.size() - 1));
  Bytes longer = block;
  longer.push_back(0);
  EXPECT_FALSE(pakread::LooksLikeBlock(longer.data(), longer.size()));
  EXPECT_FALSE(pakread::LooksLikeBlock(Block(12, 1, {'x'}).data(), 13));
  EXPECT_FALSE(pakread::LooksLikeBlock(block.data(), 11));
  EXPECT_FALSE(pakread::LooksLikeBlock(nullptr, 0));
  const std::string text = "NZ but only text";
  EXPECT_FALSE(pakread::LooksLikeBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(ParseArchive, ListsEntriesAndTellsBlocksFromRawData) {
  const Bytes image = Image({{"log.txt", kLongText}, {"short", "hello"}, {"none", ""}});
  std::vector<pakread::EntryInfo> entries;
  ASSERT_EQ(pakread::ParseArchive(image.data(), image.size(), entries), "");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "log.txt");
  EXPECT_EQ(entries[0].offset, 16u + 3 * 48);
  EXPECT_TRUE(entries[0].isBlock);
  EXPECT_EQ(entries[0].block.packType, 11);
  EXPECT_EQ(entries[0].block.rawSize, 3000u);
  EXPECT_EQ(entries[1].name, "short");
  EXPECT_FALSE(entries[1].isBlock);
  EXPECT_EQ(entries[1].size, 5u);
  EXPECT_EQ(entries[2].size, 0u);
  EXPECT_EQ(entries[2].offset, image.size());

  Bytes out;
  EXPECT_EQ(pakread::ExtractByName(image.data(), image.size(), "log.txt", out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), kLongText);
  EXPECT_EQ(pakread::ExtractByName(image.data(), image.size(), "short", out), "");
  EXPECT_EQ(std::string(out.begin(), out.end()), "hello");
  EXPECT_NE(pakread::ExtractByName(image.data(), image.size(), "missing", out), "");
}

TEST(ParseArchive, RejectsBadHeaders) {
  const Bytes image = Image({{"a", "12345"}, {"b", "1234567"}});
  EXPECT_NE(Parse(Bytes(image.begin(), image.begin() + 15)), "");
  EXPECT_NE(Parse(Bytes()), "");
  Bytes bad = image;
  bad[0] = 'X';
  EXPECT_NE(Parse(bad), "");
  bad = image;
  bad[7] = '2';
  EXPECT_NE(Parse(bad), "");
  EXPECT_NE(Parse(Bytes(image.begin(), image.end() - 1)), "");  // truncated data
  bad = image;
  bad.push_back(0);
  EXPECT_NE(Parse(bad), "");  // totalSize no longer matches
  bad = image;
  PutLe32(bad, 12, 0x80000000);
  EXPECT_NE(Parse(bad), "");  // negative count
  bad = image;
  PutLe32(bad, 12, 3);
  EXPECT_NE(Parse(bad), "");  // table past the end
}

TEST(ParseArchive, RejectsEntriesOutsideTheImage) {
  const Bytes image = Image({{"a", "12345"}, {"b", "1234567"}});
  ASSERT_EQ(Parse(image), "");
  Bytes bad = image;
  PutLe32(bad, 16 + 48 + 32, 120);  // 120 + 7 > 124
  EXPECT_NE(Parse(bad), "");
  bad = image;
  PutLe32(bad, 16 + 48 + 36, 0xFFFFFFFF);  // offset + size wraps in 32 bits
  EXPECT_NE(Parse(bad), "");
  bad = image;
  PutLe32(bad, 16 + 32, 20);  // data inside the entry table
  EXPECT_NE(Parse(bad), "");
  bad = image;
  std::memset(bad.data() + 16, 'n', 32);  // name without its zero
  EXPECT_NE(Parse(bad), "");

  // A name with control bytes still gives a one-line message (Parse checks for the newline).
  Bytes named = Image({{"evil\nname\r", "12345"}});
  PutLe32(named, 16 + 32, 1000);
  const std::string reason = Parse(named);
  EXPECT_NE(reason.find("evil?name?"), std::string::npos) << reason;
}

TEST(ExtractEntry, ReportsCorruptBlocksAndStaysInBounds) {
  Bytes image = Image({{"log.txt", kLongText}});
  std::vector<pakread::EntryInfo> entries;
  ASSERT_EQ(pakread::ParseArchive(image.data(), image.size(), entries), "");
  ASSERT_TRUE(entries[0].isBlock);
  image[64 + 12] ^= 0xFF;  // first byte of the LZO stream
  image[64 + 13] ^= 0xFF;
  Bytes out;
  EXPECT_NE(pakread::ExtractEntry(image.data(), image.size(), entries[0], out), "");

  // A limit refuses what claims more before decoding: the damaged stream is never looked at.
  const std::string reason =
      pakread::ExtractEntry(image.data(), image.size(), entries[0], out, kLongText.size() - 1);
  EXPECT_EQ(reason, "entry 'log.txt' claims 3000 bytes, more than the 2999-byte limit");
  EXPECT_EQ(pakread::ClaimedSize(entries[0]), kLongText.size());

  pakread::EntryInfo outside = entries[0];
  outside.offset = static_cast<uint32_t>(image.size());
  outside.size = 1;
  EXPECT_NE(pakread::ExtractEntry(image.data(), image.size(), outside, out), "");
  EXPECT_TRUE(out.empty());
}
