#include "cfi.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

using collector::CfiRow;
using collector::CfiRule;
using collector::CfiSectionKind;
using collector::CfiTable;

constexpr uint64_t kImageBase = 0x10000000;
constexpr uint32_t kSectionRva = 0x5000;

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  Put32(s, 0, v);
  return s;
}

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// Lays out .eh_frame entries as GCC does for i386: "z" augmentations, FDE addresses pc-relative
// sdata4 (0x1b) from the field that holds them.
class EhFrame {
 public:
  size_t Cie(const std::string& augmentation, const std::string& augmentationData) {
    size_t at = Begin();
    bytes += U32(0) + '\1' + augmentation + '\0';
    bytes += B({0x01, 0x7c, 0x08});  // code 1, data -4, return address column 8
    bytes += static_cast<char>(augmentationData.size()) + augmentationData;
    bytes += B({0x0c, 0x04, 0x04, 0x88, 0x01});  // CFA = esp + 4, eip at CFA - 4
    End(at);
    return at;
  }
  // With setLoc, the operand "LLLL" of a DW_CFA_set_loc in instructions becomes setLoc,
  // pc-relative.
  void Fde(size_t cie, uint32_t start, uint32_t size, const std::string& instructions,
           const std::string& augmentationData = "", uint32_t setLoc = 0) {
    size_t at = Begin();
    bytes += U32(static_cast<uint32_t>(bytes.size() - cie));
    bytes += U32(start - (kSectionRva + static_cast<uint32_t>(bytes.size())));
    bytes += U32(size);
    bytes += static_cast<char>(augmentationData.size()) + augmentationData;
    size_t operand = bytes.size() + instructions.find("LLLL");
    bytes += instructions;
    if (setLoc != 0) Put32(bytes, operand, setLoc - (kSectionRva + static_cast<uint32_t>(operand)));
    End(at);
  }
  void Append(const std::string& more) { bytes += more; }
  std::string bytes;

 private:
  size_t Begin() {
    bytes += U32(0);
    return bytes.size() - 4;
  }
  void End(size_t at) {
    while ((bytes.size() - at) % 4 != 0) bytes += '\0';  // DW_CFA_nop
    Put32(bytes, at, static_cast<uint32_t>(bytes.size() - at - 4));
  }
};

CfiTable Table(CfiSectionKind kind, const std::string& bytes) {
  return CfiTable::FromSection(kind, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                               kSectionRva, kImageBase);
}

// The row at rva as "CFA rule: column rule ...", or "none".
std::string Row(const CfiTable& table, uint32_t rva) {
  static const char* const kNames[] = {"eax", "ecx", "edx", "ebx", "esp",
                                       "ebp", "esi", "edi", "eip"};
  CfiRow row;
  if (!table.RowAt(rva, &row)) return "none";
  std::string text = std::string(kNames[row.cfaRegister]) + "+" + std::to_string(row.cfaOffset);
  for (int i = 0; i < collector::kCfiColumns; ++i) {
    const CfiRule& rule = row.rules[i];
    std::string name = std::string(" ") + kNames[i] + ":";
    switch (rule.kind) {
      case CfiRule::kUnspecified:
        break;
      case CfiRule::kUndefined:
        text += name + "undefined";
        break;
      case CfiRule::kSameValue:
        text += name + "same";
        break;
      case CfiRule::kOffset:
        text += name + "c" + std::to_string(rule.offset);
        break;
      case CfiRule::kValOffset:
        text += name + "v" + std::to_string(rule.offset);
        break;
      case CfiRule::kRegister:
        text += name + kNames[rule.reg];
        break;
      case CfiRule::kUnknown:
        text += name + "unknown";
        break;
    }
  }
  return text;
}

TEST(Cfi, EhFrameRowsFollowEveryInstruction) {
  EhFrame eh;
  size_t plain = eh.Cie("zR", "\x1b");
  // Personality (indirect pc-relative, 4 bytes), LSDA and FDE encodings, as for C++ with EH.
  size_t personality = eh.Cie("zPLR", std::string("\x9b\x10\x20\x00\x00\x1b\x1b", 7));
  eh.Fde(plain, 0x1000, 0x100,
         B({0x41, 0x0e, 0x08, 0x85, 0x02,  // 1001: CFA esp+8, ebp at CFA-8
            0x42, 0x0d, 0x05,              // 1003: CFA in ebp
            0x02, 0x20,                    // 1023 (advance_loc1)
            0x11, 0x03, 0x03,              //   ebx at CFA-12 (offset_extended_sf)
            0x09, 0x07, 0x01,              //   edi in ecx
            0x08, 0x06,                    //   esi same value
            0x2e, 0x10,                    //   GNU_args_size: nothing to unwind
            0x03, 0x30, 0x00,              // 1053 (advance_loc2)
            0x0a,                          //   remember
            0x12, 0x04, 0x7e,              //   CFA esp+8 (def_cfa_sf)
            0x06, 0x05,                    //   ebp back to the CIE's rule
            0x07, 0x03,                    //   ebx undefined
            0x04, 0x10, 0x00, 0x00, 0x00,  // 1063 (advance_loc4)
            0x0b,                          //   restore
            0x01}) +                       // set_loc 1080
             "LLLL" +
             B({0x0f, 0x02, 0x75, 0x00,    //   CFA by expression
                0x50, 0x0c, 0x04, 0x04}),  // 1090: CFA esp+4 again
         "", 0x1080);
  // An entry of zero length between objects ends nothing: the linker concatenated sections.
  eh.Append(U32(0));
  eh.Fde(personality, 0x2000, 0x10, B({0x41, 0x0e, 0x08, 0x14, 0x05, 0x02}), U32(0x1234));
  eh.Fde(plain, 0x0800, 0x20, B({0x41}) + std::string(40, '\x0a'));  // remembers too deep
  eh.Fde(0x7777, 0x3000, 0x10, "");                                  // no CIE there
  CfiTable table = Table(CfiSectionKind::kEhFrame, eh.bytes);

  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(Row(table, 0x1000), "esp+4 eip:c-4");
  EXPECT_EQ(Row(table, 0x1002), "esp+8 ebp:c-8 eip:c-4");
  EXPECT_EQ(Row(table, 0x1003), "ebp+8 ebp:c-8 eip:c-4");
  EXPECT_EQ(Row(table, 0x1052), "ebp+8 ebx:c-12 ebp:c-8 esi:same edi:ecx eip:c-4");
  EXPECT_EQ(Row(table, 0x1053), "esp+8 ebx:undefined esi:same edi:ecx eip:c-4");
  EXPECT_EQ(Row(table, 0x1063), "ebp+8 ebx:c-12 ebp:c-8 esi:same edi:ecx eip:c-4");
  EXPECT_EQ(Row(table, 0x107f), Row(table, 0x1063));
  EXPECT_EQ(Row(table, 0x1080), "none");
  EXPECT_EQ(Row(table, 0x1090), "esp+4 ebx:c-12 ebp:c-8 esi:same edi:ecx eip:c-4");
  EXPECT_EQ(Row(table, 0x10ff), Row(table, 0x1090));
  EXPECT_EQ(Row(table, 0x2004), "esp+8 ebp:v-8 eip:c-4");
  EXPECT_EQ(Row(table, 0x0800), "esp+4 eip:c-4");  // before the remembering starts
  EXPECT_EQ(Row(table, 0x0801), "none");
  EXPECT_EQ(Row(table, 0x1100), "none");
  EXPECT_EQ(Row(table, 0x3000), "none");

  uint32_t start = 0, end = 0;
  ASSERT_TRUE(table.FunctionAt(0x10ff, &start, &end));
  EXPECT_EQ(start, 0x1000u);
  EXPECT_EQ(end, 0x1100u);
  ASSERT_TRUE(table.FunctionAt(0x0810, &start, &end));
  EXPECT_EQ(start, 0x0800u);
  EXPECT_FALSE(table.FunctionAt(0x1100, &start, &end));

  // Every cut of the section parses without reading past it, and keeps only whole entries.
  for (size_t size = 0; size < eh.bytes.size(); ++size) {
    CfiTable cut = Table(CfiSectionKind::kEhFrame, eh.bytes.substr(0, size));
    EXPECT_LE(cut.size(), table.size());
    Row(cut, 0x1090);
    Row(cut, 0x2004);
  }
}

TEST(Cfi, DebugFrameWithAbsoluteAddresses) {
  // Version 4: no augmentation, address size 4, no segment selector.
  std::string cie =
      U32(0xFFFFFFFF) + B({4, 0, 4, 0, 0x01, 0x7c, 0x08, 0x0c, 0x04, 0x04, 0x88, 0x01});
  std::string fde = U32(0);  // the CIE at offset 0
  fde += U32(static_cast<uint32_t>(kImageBase) + 0x3000) + U32(0x40);
  fde += B({0x44, 0x0e, 0x0c});  // 3004: CFA esp+12
  fde += B({0x01}) + U32(static_cast<uint32_t>(kImageBase) + 0x3010) + B({0x0e, 0x14});  // esp+20
  std::string section;
  for (std::string* entry : {&cie, &fde}) {
    while (entry->size() % 4 != 0) *entry += '\0';
    section += U32(static_cast<uint32_t>(entry->size())) + *entry;
  }
  CfiTable table = Table(CfiSectionKind::kDebugFrame, section);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(Row(table, 0x3003), "esp+4 eip:c-4");
  EXPECT_EQ(Row(table, 0x3004), "esp+12 eip:c-4");
  EXPECT_EQ(Row(table, 0x303f), "esp+20 eip:c-4");
  EXPECT_EQ(Row(table, 0x3040), "none");
  // The same bytes read as .eh_frame hold no CIE (its id is 0 there).
  EXPECT_TRUE(Table(CfiSectionKind::kEhFrame, section).empty());
}

}  // namespace
