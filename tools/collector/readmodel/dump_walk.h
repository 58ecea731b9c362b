#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formats/minidump.h"
#include "formats/stack_text.h"
#include "formats/stack_walk.h"

namespace collector {

class ReportStore;

// The images stored as symbols, for the dump's modules: by file name, TimeDateStamp and
// SizeOfImage, else by CodeView id; and the frame data of the PDB stored under the module's
// CodeView id. Each fetched and loaded at most once.
class StoredImageProvider : public StackWalkProvider {
 public:
  StoredImageProvider(ReportStore& store, const Minidump& dump) : store_(store), dump_(dump) {}
  const ModuleImage* Image(std::size_t module) const override;
  // Only the PDB of the module's own build: its GUID and age are the CodeView record's.
  const PdbFrameTable* FrameData(std::size_t module) const override;
  // The image's CFI knows where each of its functions starts, else the PDB's frame data.
  bool FunctionStart(std::size_t module, uint32_t rva, uint32_t* start) const override;

 private:
  ReportStore& store_;
  const Minidump& dump_;
  mutable std::map<std::size_t, std::unique_ptr<ModuleImage>> images_;  // null: none stored
  // The frame data of each module's own PDB; null: none stored, or none in it.
  mutable std::map<std::size_t, std::unique_ptr<PdbFrameTable>> frames_;
};

struct DumpThreadStack {
  uint32_t threadId = 0;
  bool crashed = false;
  StackTrace trace;  // frames as MODULE+0xOFFSET with their walk method, the dump's modules
};

// Walks every thread of a minidump against the stored images, the crashing thread first, then
// the others in the dump's order. False when the bytes are no minidump.
bool WalkDumpStacks(ReportStore& store, const std::string& bytes,
                    std::vector<DumpThreadStack>& out);

}  // namespace collector
