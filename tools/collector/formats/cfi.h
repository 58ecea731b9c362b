#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace collector {

// The section table of a PE32 image file: enough to find a section by name and to map an RVA to
// the file's bytes.
struct PeLayout {
  struct Section {
    std::string name;  // a long name ("/4" in the header) resolved through the COFF string table
    uint32_t rva = 0;
    uint32_t virtualSize = 0;  // what the loader maps; the file's size when the header says 0
    uint32_t fileOffset = 0;
    uint32_t fileSize = 0;  // bytes present in the file, at most virtualSize
    uint32_t characteristics = 0;

    bool IsCode() const;  // IMAGE_SCN_CNT_CODE or IMAGE_SCN_MEM_EXECUTE
  };

  uint64_t imageBase = 0;  // the preferred load address
  uint32_t sizeOfImage = 0;
  std::vector<Section> sections;

  const Section* Find(const std::string& name) const;
};

// Reads the headers and section table of a PE32 image (or of a debug file made from one) without
// reading outside data. False when they are unusable; a section whose file data lies outside data
// is kept with no file data.
bool ReadPeLayout(const uint8_t* data, std::size_t size, PeLayout* out);

// DWARF register numbers on x86.
enum X86DwarfRegister : uint8_t {
  kDwarfEax = 0,
  kDwarfEcx = 1,
  kDwarfEdx = 2,
  kDwarfEbx = 3,
  kDwarfEsp = 4,
  kDwarfEbp = 5,
  kDwarfEsi = 6,
  kDwarfEdi = 7,
  kDwarfEip = 8,  // the return address column
};
constexpr int kCfiColumns = 9;

struct CfiRule {
  enum Kind : uint8_t {
    kUnspecified,  // no rule given: a callee-saved register keeps its value
    kUndefined,    // the value is lost; for the return address: there is no caller
    kSameValue,
    kOffset,     // saved at CFA + offset
    kValOffset,  // the value is CFA + offset
    kRegister,   // held in register reg
    kUnknown,    // an expression, or a register we do not track: the value cannot be had
  };
  Kind kind = kUnspecified;
  int32_t offset = 0;
  uint8_t reg = 0;
};

// The rules in effect at one instruction: CFA = cfaRegister + cfaOffset, then each column's rule.
struct CfiRow {
  uint8_t cfaRegister = kDwarfEsp;  // one of the eight general registers
  int32_t cfaOffset = 0;
  uint8_t returnAddressColumn = kDwarfEip;
  CfiRule rules[kCfiColumns];
};

enum class CfiSectionKind { kEhFrame, kDebugFrame };

// The call-frame information of one image: its FDEs sorted by start, addresses as RVAs, and the
// interpreter that computes a row. Owns copies of the bytes it needs.
class CfiTable {
 public:
  // .eh_frame and .debug_frame of a PE32 image file; an empty table when it has neither.
  static CfiTable FromPeImage(const uint8_t* data, std::size_t size);
  // One section's bytes as loaded at sectionRva in an image preferring imageBase: pc-relative
  // pointers count from where each lies, absolute ones are addresses at imageBase.
  static CfiTable FromSection(CfiSectionKind kind, const uint8_t* data, std::size_t size,
                              uint32_t sectionRva, uint64_t imageBase);

  std::size_t size() const { return fdes_.size(); }
  bool empty() const { return fdes_.empty(); }

  // The range [start, end) of the FDE that covers rva.
  bool FunctionAt(uint32_t rva, uint32_t* start, uint32_t* end) const;

  // The row in effect at rva. False when no FDE covers rva or its row cannot be used: a CFA
  // given by an expression or based on a register other than the eight general ones, a return
  // address column we do not track, malformed instructions, or states remembered too deep.
  bool RowAt(uint32_t rva, CfiRow* row) const;

 private:
  struct Section {
    CfiSectionKind kind = CfiSectionKind::kEhFrame;
    std::vector<uint8_t> bytes;
    uint32_t rva = 0;
    uint64_t imageBase = 0;
  };
  struct Cie {
    uint32_t section = 0;
    uint64_t codeAlign = 1;
    int64_t dataAlign = 1;
    uint32_t returnAddressColumn = kDwarfEip;
    uint8_t fdeEncoding = 0;
    uint8_t addressSize = 4;
    bool augmentationData = false;  // "z": FDEs carry an augmentation length
    std::size_t instructions = 0;
    std::size_t instructionsEnd = 0;
  };
  struct Fde {
    uint32_t start = 0;
    uint32_t end = 0;
    uint32_t cie = 0;
    std::size_t instructions = 0;
    std::size_t instructionsEnd = 0;
  };
  struct State;
  class Interpreter;

  void AddSection(CfiSectionKind kind, const uint8_t* data, std::size_t size, uint32_t sectionRva,
                  uint64_t imageBase);
  bool ParseCie(uint32_t section, std::size_t offset, std::map<std::size_t, int64_t>& cache,
                uint32_t* index);
  // Sorts the FDEs and drops those beyond limit or overlapping an earlier one.
  void Finish(uint64_t limit);
  const Fde* Find(uint32_t rva) const;

  std::vector<Section> sections_;
  std::vector<Cie> cies_;
  std::vector<Fde> fdes_;
};

}  // namespace collector
