#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace collector {

// One row of a PDB's frame data (the DBI's "new FPO" stream): how a stretch of an x86 function
// finds its caller. A function has one row per prologue stage, all ending where it ends.
struct PdbFrameRecord {
  static constexpr uint32_t kFunctionStart = 4;  // in flags; 1: has SEH, 2: has C++ EH

  uint32_t rvaStart = 0;
  uint32_t codeSize = 0;
  uint32_t localSize = 0;
  uint32_t paramsSize = 0;
  uint32_t maxStackSize = 0;
  uint16_t prologSize = 0;
  uint16_t savedRegsSize = 0;
  uint32_t flags = 0;
  std::string program;  // postfix, from the PDB's string table

  bool Holds(uint32_t rva) const { return rva >= rvaStart && rva - rvaStart < codeSize; }
};

class PdbFrameTable {
 public:
  // Reads the frame data of a PDB's bytes. Returns "" on success (an empty table when the PDB
  // has none), else why the PDB or its frame data is malformed. Never reads out of bounds.
  static std::string Read(const std::string& pdb, PdbFrameTable& out);

  // Sorted by rvaStart, the stages of a function in their order.
  const std::vector<PdbFrameRecord>& records() const { return records_; }
  bool empty() const { return records_.empty(); }
  // The row that holds rva, the deepest prologue stage when several do; null for none.
  const PdbFrameRecord* RecordAt(uint32_t rva) const;
  // The bounds of the function that holds rva: its row marked as a function's start, else the
  // earliest row that holds rva.
  bool FunctionAt(uint32_t rva, uint32_t* start, uint32_t* end) const;

 private:
  std::vector<PdbFrameRecord> records_;
};

// The variables a program reads and writes: the registers ("$eip", "$esp", ...) the walker
// knows, and whatever it assigns ("$T0", "$L", ...).
class FrameVariables {
 public:
  static constexpr std::size_t kMax = 32;

  // False when the table is full. The walker sets the registers it knows unassigned.
  bool Set(const std::string& name, uint32_t value, bool assigned = true);
  bool Get(const std::string& name, uint32_t* value) const;
  // Whether the program assigned it (a register merely known beforehand is not).
  bool Assigned(const std::string& name) const;

 private:
  struct Variable {
    std::string name;
    uint32_t value;
    bool assigned;
  };
  Variable* Find(const std::string& name);
  const Variable* Find(const std::string& name) const;
  std::vector<Variable> variables_;
};

// What a program may read besides its variables.
struct FrameProgramInput {
  const PdbFrameRecord* record = nullptr;  // .cbLocals, .cbParams, .cbSavedRegs, .cbFrame
  bool hasRaSearch = false;                // where the return address was found, for .raSearch
  uint32_t raSearch = 0;
  std::function<bool(uint32_t address, uint32_t* value)> read;  // a 4-byte stack word, for ^
};

// The longest program evaluated, in tokens; real ones have a few dozen.
constexpr std::size_t kMaxFrameProgramTokens = 256;

// Runs a frame-data program over vars. False when it is malformed, too long, reads what
// cannot be read, divides by zero or leaves values on its stack: then it tells nothing.
bool EvaluateFrameProgram(const std::string& program, const FrameProgramInput& input,
                          FrameVariables& vars);

}  // namespace collector
