#include "cfi.h"

#include <algorithm>
#include <limits>

namespace collector {
namespace {

constexpr uint32_t kCoffHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSymbolSize = 18;
constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnMemExecute = 0x20000000;

constexpr uint8_t kEncOmit = 0xFF;
constexpr uint8_t kEncIndirect = 0x80;
constexpr uint8_t kEncPcRel = 0x10;
constexpr uint8_t kEncDataRel = 0x30;
constexpr uint8_t kEncFuncRel = 0x40;
constexpr uint8_t kEncAligned = 0x50;

// GCC nests remember_state once or twice; anything deeper is not worth following.
constexpr std::size_t kMaxRememberDepth = 32;
// Alignment factors are 1 and -4 on x86; a bound keeps every product well inside 64 bits.
constexpr int64_t kMaxAlignFactor = 1 << 16;

class FileReader {
 public:
  FileReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Has(uint64_t offset, uint64_t size) const {
    return offset <= size_ && size <= size_ - offset;
  }
  uint32_t U8(uint64_t at) const { return data_[at]; }
  uint32_t U16(uint64_t at) const { return U8(at) | (U8(at + 1) << 8); }
  uint32_t U32(uint64_t at) const { return U16(at) | (U16(at + 2) << 16); }

 private:
  const uint8_t* data_;
  std::size_t size_;
};

// Sequential reads inside [begin, end) of a byte vector; a read past the end sets the cursor
// failed and yields zeros, so callers check ok() once after a group of reads.
class Cursor {
 public:
  Cursor(const std::vector<uint8_t>& bytes, std::size_t begin, std::size_t end)
      : data_(bytes.data()),
        pos_(std::min(begin, bytes.size())),
        end_(std::min(end, bytes.size())) {
    if (pos_ > end_) pos_ = end_;
  }
  bool ok() const { return ok_; }
  bool AtEnd() const { return !ok_ || pos_ >= end_; }
  std::size_t pos() const { return pos_; }

  uint64_t Fixed(std::size_t n) {
    if (!ok_ || end_ - pos_ < n) {
      ok_ = false;
      return 0;
    }
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  uint8_t U8() { return static_cast<uint8_t>(Fixed(1)); }
  int64_t Signed(std::size_t n) {
    uint64_t v = Fixed(n);
    if (n < 8 && (v >> (8 * n - 1)) != 0) v |= ~uint64_t{0} << (8 * n);
    return static_cast<int64_t>(v);
  }
  uint64_t Uleb() {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (!ok_ || pos_ >= end_ || shift >= 70) {
        ok_ = false;
        return 0;
      }
      uint8_t b = data_[pos_++];
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return v;
    }
  }
  int64_t Sleb() {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (!ok_ || pos_ >= end_ || shift >= 70) {
        ok_ = false;
        return 0;
      }
      uint8_t b = data_[pos_++];
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) {
        if ((b & 0x40) != 0 && shift + 7 < 64) v |= ~uint64_t{0} << (shift + 7);
        return static_cast<int64_t>(v);
      }
    }
  }
  void Skip(uint64_t n) {
    if (!ok_ || end_ - pos_ < n) {
      ok_ = false;
      return;
    }
    pos_ += static_cast<std::size_t>(n);
  }

 private:
  const uint8_t* data_;
  std::size_t pos_;
  std::size_t end_;
  bool ok_ = true;
};

// The value part of a pointer encoding; false for formats that do not exist.
bool ReadFormat(Cursor& in, uint8_t encoding, uint8_t addressSize, uint64_t* out) {
  switch (encoding & 0x0F) {
    case 0x00:
      *out = in.Fixed(addressSize);
      break;
    case 0x01:
      *out = in.Uleb();
      break;
    case 0x02:
      *out = in.Fixed(2);
      break;
    case 0x03:
      *out = in.Fixed(4);
      break;
    case 0x04:
      *out = in.Fixed(8);
      break;
    case 0x09:
      *out = static_cast<uint64_t>(in.Sleb());
      break;
    case 0x0A:
      *out = static_cast<uint64_t>(in.Signed(2));
      break;
    case 0x0B:
      *out = static_cast<uint64_t>(in.Signed(4));
      break;
    case 0x0C:
      *out = in.Fixed(8);
      break;
    default:
      return false;
  }
  return in.ok();
}

// v * factor as an int32, false when it does not fit.
bool Factored(int64_t v, int64_t factor, int32_t* out) {
  if (v > (int64_t{1} << 32) || v < -(int64_t{1} << 32)) return false;
  int64_t product = v * factor;
  if (product > std::numeric_limits<int32_t>::max() ||
      product < std::numeric_limits<int32_t>::min()) {
    return false;
  }
  *out = static_cast<int32_t>(product);
  return true;
}

bool UnsignedFactored(uint64_t v, int64_t factor, int32_t* out) {
  return v <= (uint64_t{1} << 32) && Factored(static_cast<int64_t>(v), factor, out);
}

}  // namespace

bool PeLayout::Section::IsCode() const {
  return (characteristics & (kScnCntCode | kScnMemExecute)) != 0;
}

const PeLayout::Section* PeLayout::Find(const std::string& name) const {
  for (const Section& section : sections) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

bool ReadPeLayout(const uint8_t* data, std::size_t size, PeLayout* out) {
  *out = PeLayout();
  if (data == nullptr) return false;
  FileReader in(data, size);
  if (!in.Has(0, 64) || in.U16(0) != 0x5A4D) return false;
  uint64_t pe = in.U32(0x3C);
  if (!in.Has(pe, 4 + kCoffHeaderSize) || in.U32(pe) != 0x00004550) return false;
  uint64_t coff = pe + 4;
  uint32_t sectionCount = in.U16(coff + 2);
  uint32_t symbolTable = in.U32(coff + 8);
  uint32_t symbolCount = in.U32(coff + 12);
  uint32_t optionalSize = in.U16(coff + 16);
  uint64_t optional = coff + kCoffHeaderSize;
  if (optionalSize < 96 || !in.Has(optional, optionalSize) || in.U16(optional) != 0x10B) {
    return false;
  }
  out->imageBase = in.U32(optional + 28);
  out->sizeOfImage = in.U32(optional + 56);

  uint64_t table = optional + optionalSize;
  if (!in.Has(table, uint64_t{sectionCount} * kSectionHeaderSize)) return false;
  // A stripped image keeps the string table of its long section names after an empty symbol
  // table, so the pointer matters even when the count is 0.
  uint64_t strings = 0;
  if (symbolTable != 0) {
    strings = uint64_t{symbolTable} + uint64_t{symbolCount} * kSymbolSize;
    if (!in.Has(strings, 4)) strings = 0;
  }
  for (uint32_t i = 0; i < sectionCount; ++i) {
    uint64_t header = table + uint64_t{i} * kSectionHeaderSize;
    PeLayout::Section section;
    for (uint64_t k = 0; k < 8 && in.U8(header + k) != 0; ++k) {
      section.name += static_cast<char>(in.U8(header + k));
    }
    if (section.name.size() > 1 && section.name[0] == '/' && strings != 0) {
      uint64_t offset = 0;
      bool digits = true;
      for (std::size_t k = 1; k < section.name.size(); ++k) {
        char c = section.name[k];
        if (c < '0' || c > '9')
          digits = false;
        else
          offset = offset * 10 + static_cast<uint64_t>(c - '0');
      }
      std::string full;
      for (uint64_t at = strings + offset; digits && in.Has(at, 1) && in.U8(at) != 0; ++at) {
        full += static_cast<char>(in.U8(at));
      }
      if (!full.empty()) section.name = full;
    }
    uint32_t rawSize = in.U32(header + 16);
    uint32_t rawOffset = in.U32(header + 20);
    section.virtualSize = in.U32(header + 8);
    if (section.virtualSize == 0) section.virtualSize = rawSize;
    section.rva = in.U32(header + 12);
    section.characteristics = in.U32(header + 36);
    uint32_t present = std::min(rawSize, section.virtualSize);
    if (rawOffset != 0 && in.Has(rawOffset, present)) {
      section.fileOffset = rawOffset;
      section.fileSize = present;
    }
    out->sections.push_back(section);
  }
  return true;
}

struct CfiTable::State {
  uint32_t cfaRegister = kDwarfEsp;
  int64_t cfaOffset = 0;
  bool cfaExpression = false;
  CfiRule rules[kCfiColumns];
};

// Runs CIE and FDE instructions up to the row that holds at one address.
class CfiTable::Interpreter {
 public:
  enum class Result { kDone, kReached, kFailed };

  Interpreter(const Section& section, const Cie& cie, uint32_t start, uint32_t target)
      : section_(section), cie_(cie), start_(start), loc_(start), target_(target) {}

  // initial is the row after the CIE's instructions, what DW_CFA_restore goes back to; null
  // while running the CIE's own.
  Result Run(std::size_t begin, std::size_t end, const State* initial, State& state) {
    Cursor in(section_.bytes, begin, end);
    while (!in.AtEnd()) {
      uint8_t op = in.U8();
      uint8_t operand = op & 0x3F;
      bool ok = true;
      switch (op & 0xC0) {
        case 0x40:
          if (!Advance(operand)) return Result::kReached;
          continue;
        case 0x80:
          ok = SetOffsetRule(state, operand, CfiRule::kOffset, in.Uleb(), false) && in.ok();
          if (!ok) return Result::kFailed;
          continue;
        case 0xC0:
          Restore(state, operand, initial);
          continue;
        default:
          break;
      }
      switch (op) {
        case 0x00:  // nop
          break;
        case 0x01: {  // set_loc
          uint32_t loc = 0;
          if (!ReadLoc(in, &loc) || loc < loc_) return Result::kFailed;
          if (loc > target_) return Result::kReached;
          loc_ = loc;
          break;
        }
        case 0x02:
        case 0x03:
        case 0x04: {
          uint64_t delta = in.Fixed(op == 0x02 ? 1 : op == 0x03 ? 2 : 4);
          if (!in.ok()) return Result::kFailed;
          if (!Advance(delta)) return Result::kReached;
          break;
        }
        case 0x05: {  // offset_extended
          uint64_t reg = in.Uleb();
          ok = SetOffsetRule(state, reg, CfiRule::kOffset, in.Uleb(), false);
          break;
        }
        case 0x06:  // restore_extended
          Restore(state, in.Uleb(), initial);
          break;
        case 0x07:  // undefined
          SetRule(state, in.Uleb(), CfiRule{CfiRule::kUndefined, 0, 0});
          break;
        case 0x08:  // same_value
          SetRule(state, in.Uleb(), CfiRule{CfiRule::kSameValue, 0, 0});
          break;
        case 0x09: {  // register
          uint64_t reg = in.Uleb();
          uint64_t from = in.Uleb();
          SetRule(state, reg,
                  from < kCfiColumns ? CfiRule{CfiRule::kRegister, 0, static_cast<uint8_t>(from)}
                                     : CfiRule{CfiRule::kUnknown, 0, 0});
          break;
        }
        case 0x0A:  // remember_state
          if (remembered_.size() >= kMaxRememberDepth) return Result::kFailed;
          remembered_.push_back(state);
          break;
        case 0x0B:  // restore_state
          if (remembered_.empty()) return Result::kFailed;
          state = remembered_.back();
          remembered_.pop_back();
          break;
        case 0x0C: {  // def_cfa
          uint64_t reg = in.Uleb();
          uint64_t offset = in.Uleb();
          ok = DefCfa(state, reg, offset <= (uint64_t{1} << 32), static_cast<int64_t>(offset));
          break;
        }
        case 0x0D: {  // def_cfa_register
          uint64_t reg = in.Uleb();
          state.cfaRegister = static_cast<uint32_t>(std::min<uint64_t>(reg, 0xFFFF));
          break;
        }
        case 0x0E: {  // def_cfa_offset
          uint64_t offset = in.Uleb();
          if (offset > (uint64_t{1} << 32)) return Result::kFailed;
          state.cfaOffset = static_cast<int64_t>(offset);
          break;
        }
        case 0x0F:  // def_cfa_expression: followed by the walker's fallbacks instead
          in.Skip(in.Uleb());
          state.cfaExpression = true;
          break;
        case 0x10:    // expression
        case 0x16: {  // val_expression
          uint64_t reg = in.Uleb();
          in.Skip(in.Uleb());
          SetRule(state, reg, CfiRule{CfiRule::kUnknown, 0, 0});
          break;
        }
        case 0x11: {  // offset_extended_sf
          uint64_t reg = in.Uleb();
          ok = SetOffsetRule(state, reg, CfiRule::kOffset, static_cast<uint64_t>(in.Sleb()), true);
          break;
        }
        case 0x12: {  // def_cfa_sf
          uint64_t reg = in.Uleb();
          int32_t offset = 0;
          ok = Factored(in.Sleb(), cie_.dataAlign, &offset) && DefCfa(state, reg, true, offset);
          break;
        }
        case 0x13: {  // def_cfa_offset_sf
          int32_t offset = 0;
          ok = Factored(in.Sleb(), cie_.dataAlign, &offset);
          state.cfaOffset = offset;
          break;
        }
        case 0x14: {  // val_offset
          uint64_t reg = in.Uleb();
          ok = SetOffsetRule(state, reg, CfiRule::kValOffset, in.Uleb(), false);
          break;
        }
        case 0x15: {  // val_offset_sf
          uint64_t reg = in.Uleb();
          ok = SetOffsetRule(state, reg, CfiRule::kValOffset, static_cast<uint64_t>(in.Sleb()),
                             true);
          break;
        }
        case 0x2E:  // GNU_args_size: only for landing pads, nothing to unwind
          in.Uleb();
          break;
        case 0x2F: {  // GNU_negative_offset_extended
          uint64_t reg = in.Uleb();
          uint64_t offset = in.Uleb();
          int32_t factored = 0;
          ok = offset <= (uint64_t{1} << 32) &&
               Factored(-static_cast<int64_t>(offset), cie_.dataAlign, &factored);
          if (ok) SetRule(state, reg, CfiRule{CfiRule::kOffset, factored, 0});
          break;
        }
        default:
          return Result::kFailed;
      }
      if (!ok || !in.ok()) return Result::kFailed;
    }
    return in.ok() ? Result::kDone : Result::kFailed;
  }

 private:
  // Moves to the next row; false when that row begins beyond the target, which ends the run.
  bool Advance(uint64_t delta) {
    uint64_t next = loc_ + delta * cie_.codeAlign;
    if (next > target_) return false;
    loc_ = static_cast<uint32_t>(next);
    return true;
  }

  bool ReadLoc(Cursor& in, uint32_t* loc) {
    uint64_t value = 0;
    uint32_t base = 0;
    uint32_t sectionVa = static_cast<uint32_t>(section_.imageBase + section_.rva);
    if (section_.kind == CfiSectionKind::kDebugFrame) {
      value = in.Fixed(cie_.addressSize);
      if (!in.ok()) return false;
    } else {
      uint8_t encoding = cie_.fdeEncoding;
      uint32_t fieldVa = sectionVa + static_cast<uint32_t>(in.pos());
      if ((encoding & kEncIndirect) != 0 || !ReadFormat(in, encoding, 4, &value)) return false;
      switch (encoding & 0x70) {
        case 0:
          break;
        case kEncPcRel:
          base = fieldVa;
          break;
        case kEncDataRel:
          base = sectionVa;
          break;
        case kEncFuncRel:
          base = static_cast<uint32_t>(section_.imageBase) + start_;
          break;
        default:
          return false;
      }
    }
    *loc = static_cast<uint32_t>(base + value) - static_cast<uint32_t>(section_.imageBase);
    return true;
  }

  static void SetRule(State& state, uint64_t reg, CfiRule rule) {
    // Columns beyond eip (flags, x87, SSE) are never needed to find a caller.
    if (reg < kCfiColumns) state.rules[reg] = rule;
  }

  bool SetOffsetRule(State& state, uint64_t reg, CfiRule::Kind kind, uint64_t offset,
                     bool isSigned) {
    int32_t factored = 0;
    bool ok = isSigned ? Factored(static_cast<int64_t>(offset), cie_.dataAlign, &factored)
                       : UnsignedFactored(offset, cie_.dataAlign, &factored);
    if (ok) SetRule(state, reg, CfiRule{kind, factored, 0});
    return ok;
  }

  static void Restore(State& state, uint64_t reg, const State* initial) {
    if (reg < kCfiColumns) state.rules[reg] = initial != nullptr ? initial->rules[reg] : CfiRule{};
  }

  static bool DefCfa(State& state, uint64_t reg, bool inRange, int64_t offset) {
    if (!inRange) return false;
    state.cfaRegister = static_cast<uint32_t>(std::min<uint64_t>(reg, 0xFFFF));
    state.cfaOffset = offset;
    state.cfaExpression = false;
    return true;
  }

  const Section& section_;
  const Cie& cie_;
  uint32_t start_;
  uint32_t loc_;
  uint32_t target_;
  std::vector<State> remembered_;
};

CfiTable CfiTable::FromPeImage(const uint8_t* data, std::size_t size) {
  CfiTable table;
  PeLayout layout;
  if (!ReadPeLayout(data, size, &layout)) return table;
  const struct {
    const char* name;
    CfiSectionKind kind;
  } kSections[] = {{".eh_frame", CfiSectionKind::kEhFrame},
                   {".debug_frame", CfiSectionKind::kDebugFrame}};
  for (const auto& wanted : kSections) {
    const PeLayout::Section* section = layout.Find(wanted.name);
    if (section != nullptr && section->fileSize != 0) {
      table.AddSection(wanted.kind, data + section->fileOffset, section->fileSize, section->rva,
                       layout.imageBase);
    }
  }
  table.Finish(layout.sizeOfImage);
  return table;
}

CfiTable CfiTable::FromSection(CfiSectionKind kind, const uint8_t* data, std::size_t size,
                               uint32_t sectionRva, uint64_t imageBase) {
  CfiTable table;
  if (data != nullptr) table.AddSection(kind, data, size, sectionRva, imageBase);
  table.Finish(uint64_t{1} << 32);
  return table;
}

void CfiTable::AddSection(CfiSectionKind kind, const uint8_t* data, std::size_t size,
                          uint32_t sectionRva, uint64_t imageBase) {
  if (size == 0) return;
  uint32_t index = static_cast<uint32_t>(sections_.size());
  sections_.push_back(
      Section{kind, std::vector<uint8_t>(data, data + size), sectionRva, imageBase});
  const Section& section = sections_.back();
  const bool eh = kind == CfiSectionKind::kEhFrame;
  std::map<std::size_t, int64_t> cieCache;

  // Every entry moves offset forward, so the loop ends whatever the bytes say.
  std::size_t offset = 0;
  while (size - offset >= 4) {
    Cursor in(section.bytes, offset, size);
    uint64_t length = in.Fixed(4);
    bool wide = length == 0xFFFFFFFF;
    if (wide) length = in.Fixed(8);
    if (!in.ok()) break;
    std::size_t body = in.pos();
    if (length == 0) {
      // A terminator, but linkers concatenate objects' sections: more entries may follow.
      offset = body;
      continue;
    }
    if (length > size - body) break;
    std::size_t next = body + static_cast<std::size_t>(length);
    offset = next;

    Cursor entry(section.bytes, body, next);
    uint64_t id = entry.Fixed(!eh && wide ? 8 : 4);
    if (!entry.ok()) continue;
    bool isCie = eh ? id == 0 : id == (wide ? ~uint64_t{0} : uint64_t{0xFFFFFFFF});
    if (isCie) continue;  // read when an FDE names it
    // In .eh_frame the pointer counts back from its own field; in .debug_frame it is an offset.
    if (eh && id > body) continue;
    std::size_t cieOffset = eh ? body - static_cast<std::size_t>(id) : static_cast<std::size_t>(id);
    if (!eh && id >= size) continue;
    uint32_t cieIndex = 0;
    if (!ParseCie(index, cieOffset, cieCache, &cieIndex)) continue;
    const Cie& cie = cies_[cieIndex];

    uint64_t begin = 0;
    uint64_t range = 0;
    uint32_t sectionVa = static_cast<uint32_t>(imageBase + sectionRva);
    if (eh) {
      uint8_t encoding = cie.fdeEncoding;
      uint32_t fieldVa = sectionVa + static_cast<uint32_t>(entry.pos());
      if ((encoding & kEncIndirect) != 0 || !ReadFormat(entry, encoding, 4, &begin) ||
          !ReadFormat(entry, encoding & 0x0F, 4, &range)) {
        continue;
      }
      switch (encoding & 0x70) {
        case 0:
          break;
        case kEncPcRel:
          begin += fieldVa;
          break;
        // A PE has no GOT to count from: take the section itself, as .eh_frame_hdr does.
        case kEncDataRel:
          begin += sectionVa;
          break;
        default:
          continue;
      }
      if (cie.augmentationData) entry.Skip(entry.Uleb());
    } else {
      begin = entry.Fixed(cie.addressSize);
      range = entry.Fixed(cie.addressSize);
    }
    if (!entry.ok()) continue;
    uint32_t start = static_cast<uint32_t>(begin) - static_cast<uint32_t>(imageBase);
    if (range == 0 || range > 0xFFFFFFFFu - start) continue;
    fdes_.push_back(Fde{start, static_cast<uint32_t>(start + range), cieIndex, entry.pos(), next});
  }
}

bool CfiTable::ParseCie(uint32_t sectionIndex, std::size_t offset,
                        std::map<std::size_t, int64_t>& cache, uint32_t* index) {
  auto known = cache.find(offset);
  if (known != cache.end()) {
    if (known->second < 0) return false;
    *index = static_cast<uint32_t>(known->second);
    return true;
  }
  cache[offset] = -1;
  const Section& section = sections_[sectionIndex];
  const bool eh = section.kind == CfiSectionKind::kEhFrame;
  Cursor in(section.bytes, offset, section.bytes.size());
  uint64_t length = in.Fixed(4);
  bool wide = length == 0xFFFFFFFF;
  if (wide) length = in.Fixed(8);
  if (!in.ok() || length == 0 || length > section.bytes.size() - in.pos()) return false;
  std::size_t end = in.pos() + static_cast<std::size_t>(length);
  Cursor cie(section.bytes, in.pos(), end);
  uint64_t id = cie.Fixed(!eh && wide ? 8 : 4);
  if (id != (eh ? 0 : wide ? ~uint64_t{0} : uint64_t{0xFFFFFFFF})) return false;

  Cie out;
  out.section = sectionIndex;
  uint8_t version = cie.U8();
  if (version != 1 && version != 3 && !(version == 4 && !eh)) return false;
  std::string augmentation;
  for (uint8_t c = cie.U8(); cie.ok() && c != 0; c = cie.U8()) augmentation += static_cast<char>(c);
  if (version == 4) {
    out.addressSize = cie.U8();
    if (cie.U8() != 0 || (out.addressSize != 4 && out.addressSize != 8)) return false;
  }
  out.codeAlign = cie.Uleb();
  out.dataAlign = cie.Sleb();
  out.returnAddressColumn =
      static_cast<uint32_t>(std::min<uint64_t>(version == 1 ? cie.U8() : cie.Uleb(), 0xFFFF));
  if (!cie.ok() || out.codeAlign > kMaxAlignFactor || out.dataAlign > kMaxAlignFactor ||
      out.dataAlign < -kMaxAlignFactor || out.returnAddressColumn >= kCfiColumns) {
    return false;
  }
  if (!augmentation.empty()) {
    // Without "z" the augmentation's size is unknown ("eh" from old GCC among them).
    if (augmentation[0] != 'z') return false;
    out.augmentationData = true;
    uint64_t dataLength = cie.Uleb();
    if (!cie.ok() || dataLength > end - cie.pos()) return false;
    std::size_t dataEnd = cie.pos() + static_cast<std::size_t>(dataLength);
    for (std::size_t i = 1; i < augmentation.size(); ++i) {
      switch (augmentation[i]) {
        case 'R':
          out.fdeEncoding = cie.U8();
          break;
        case 'P': {  // the personality routine: only skipped
          uint8_t encoding = cie.U8();
          uint64_t ignored = 0;
          if ((encoding & 0x70) == kEncAligned || !ReadFormat(cie, encoding, 4, &ignored)) {
            return false;
          }
          break;
        }
        case 'L':  // the LSDA's encoding; each FDE's pointer is skipped with its augmentation
          cie.U8();
          break;
        case 'S':  // a signal frame: its pc is not a return address, which changes nothing here
          break;
        default:
          return false;
      }
    }
    if (!cie.ok() || cie.pos() > dataEnd) return false;
    cie.Skip(dataEnd - cie.pos());
    if (out.fdeEncoding == kEncOmit) return false;
  }
  if (!cie.ok()) return false;
  out.instructions = cie.pos();
  out.instructionsEnd = end;
  *index = static_cast<uint32_t>(cies_.size());
  cies_.push_back(out);
  cache[offset] = *index;
  return true;
}

void CfiTable::Finish(uint64_t limit) {
  std::stable_sort(fdes_.begin(), fdes_.end(),
                   [](const Fde& a, const Fde& b) { return a.start < b.start; });
  std::vector<Fde> kept;
  uint32_t covered = 0;
  for (const Fde& fde : fdes_) {
    if (fde.end > limit || (!kept.empty() && fde.start < covered)) continue;
    kept.push_back(fde);
    covered = fde.end;
  }
  fdes_.swap(kept);
}

const CfiTable::Fde* CfiTable::Find(uint32_t rva) const {
  auto it = std::upper_bound(fdes_.begin(), fdes_.end(), rva,
                             [](uint32_t value, const Fde& fde) { return value < fde.start; });
  if (it == fdes_.begin()) return nullptr;
  --it;
  return rva < it->end ? &*it : nullptr;
}

bool CfiTable::FunctionAt(uint32_t rva, uint32_t* start, uint32_t* end) const {
  const Fde* fde = Find(rva);
  if (fde == nullptr) return false;
  *start = fde->start;
  *end = fde->end;
  return true;
}

bool CfiTable::RowAt(uint32_t rva, CfiRow* row) const {
  const Fde* fde = Find(rva);
  if (fde == nullptr) return false;
  const Cie& cie = cies_[fde->cie];
  Interpreter interpreter(sections_[cie.section], cie, fde->start, rva);
  State initial;
  Interpreter::Result result =
      interpreter.Run(cie.instructions, cie.instructionsEnd, nullptr, initial);
  if (result == Interpreter::Result::kFailed) return false;
  State state = initial;
  if (result == Interpreter::Result::kDone &&
      interpreter.Run(fde->instructions, fde->instructionsEnd, &initial, state) ==
          Interpreter::Result::kFailed) {
    return false;
  }
  if (state.cfaExpression || state.cfaRegister >= kDwarfEip ||
      state.cfaOffset > std::numeric_limits<int32_t>::max() ||
      state.cfaOffset < std::numeric_limits<int32_t>::min()) {
    return false;
  }
  row->cfaRegister = static_cast<uint8_t>(state.cfaRegister);
  row->cfaOffset = static_cast<int32_t>(state.cfaOffset);
  row->returnAddressColumn = static_cast<uint8_t>(cie.returnAddressColumn);
  std::copy(std::begin(state.rules), std::end(state.rules), std::begin(row->rules));
  return true;
}

}  // namespace collector
