// A PDB's frame data and its programs, both arbitrary: the first byte chooses. Odd: the rest is
// a PDB to read. Even: the rest is a program, run over a small stack made of its own bytes.
// Never a read out of bounds, never unbounded work, and the answers keep their promises.

#include <cstddef>
#include <cstdint>
#include <string>

#include "pdb_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // An exact-size copy, so ASan sees any read past the end.
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) != 0) {
    collector::PdbFrameTable table;
    std::string error = collector::PdbFrameTable::Read(bytes, table);
    if (!error.empty() && !table.empty()) __builtin_trap();
    uint32_t last = 0;
    for (const collector::PdbFrameRecord& record : table.records()) {
      if (record.rvaStart < last) __builtin_trap();
      last = record.rvaStart;
      const collector::PdbFrameRecord* found = table.RecordAt(record.rvaStart);
      if (found != nullptr && !found->Holds(record.rvaStart)) __builtin_trap();
      uint32_t start = 0;
      uint32_t end = 0;
      if (table.FunctionAt(record.rvaStart, &start, &end) &&
          (record.rvaStart < start || (end != 0 && record.rvaStart >= end && end > start))) {
        __builtin_trap();
      }
    }
    return 0;
  }
  collector::PdbFrameRecord record;
  record.localSize = 8;
  record.savedRegsSize = 4;
  collector::FrameProgramInput input;
  input.record = &record;
  input.hasRaSearch = (data[0] & 2) != 0;
  input.raSearch = 0x1000;
  input.read = [&bytes](uint32_t address, uint32_t* value) {
    if (address < 0x1000 || address - 0x1000 > bytes.size() ||
        bytes.size() - (address - 0x1000) < 4) {
      return false;
    }
    const size_t at = address - 0x1000;
    *value = static_cast<uint8_t>(bytes[at]) |
             (uint32_t{static_cast<uint8_t>(bytes[at + 1])} << 8) |
             (uint32_t{static_cast<uint8_t>(bytes[at + 2])} << 16) |
             (uint32_t{static_cast<uint8_t>(bytes[at + 3])} << 24);
    return true;
  };
  collector::FrameVariables vars;
  vars.Set("$esp", 0x1000, false);
  vars.Set("$ebp", 0x1010, false);
  vars.Set("$eip", 0x401000, false);
  collector::EvaluateFrameProgram(bytes, input, vars);
  return 0;
}
