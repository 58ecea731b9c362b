#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cfi.h"
#include "minidump.h"
#include "pdb_frames.h"

namespace collector {

// A module's image file, for what a dump does not hold: its code bytes, which sections hold
// code, and its call-frame information.
class ModuleImage {
 public:
  // Keeps a copy of the bytes; false (and an empty image) when they are not a PE32 image.
  bool Load(const uint8_t* data, std::size_t size);

  const PeLayout& layout() const { return layout_; }
  const CfiTable& cfi() const { return cfi_; }
  // Whether rva lies in a section that holds code.
  bool IsCode(uint32_t rva) const;
  // Copies size bytes at rva as the loader maps them; false unless one section's file data holds
  // all of them.
  bool Read(uint32_t rva, void* out, std::size_t size) const;

 private:
  std::vector<uint8_t> bytes_;
  PeLayout layout_;
  CfiTable cfi_;
};

// What the walker may know of a dump's modules beyond the dump. Modules are indices into
// Minidump::modules, addresses inside one are RVAs. Each answer is optional: the defaults know
// nothing.
class StackWalkProvider {
 public:
  virtual ~StackWalkProvider() = default;
  // The module's image file (matched to the dump's module by the caller), or null. It must stay
  // valid for the walk.
  virtual const ModuleImage* Image(std::size_t module) const;
  // The module's call-frame information, or null; by default its image's.
  virtual const CfiTable* Cfi(std::size_t module) const;
  // The frame data of the module's own PDB (its GUID and age those of the module's CodeView
  // record), or null. It must stay valid for the walk.
  virtual const PdbFrameTable* FrameData(std::size_t module) const;
  // From the module's symbols: the start of the function that holds rva.
  virtual bool FunctionStart(std::size_t module, uint32_t rva, uint32_t* start) const;
};

enum class WalkMethod {
  kContext,          // frame 0: the thread's context
  kCfi,              // call-frame information of the callee's module
  kFrameData,        // the frame data of the callee module's PDB
  kFramePointer,     // the ebp chain
  kScan,             // a stack word after a call whose target is the callee's function
  kScanUnvalidated,  // a stack word after an indirect call: its target could not be checked
};

// "context", "cfi", "frame-data", "fp", "scan", "scan-unvalidated".
const char* WalkMethodName(WalkMethod method);

struct WalkedFrame {
  static constexpr std::size_t kNoModule = static_cast<std::size_t>(-1);

  uint32_t address = 0;  // frame 0: the instruction; every other frame: its return address
  std::size_t module = kNoModule;  // index into Minidump::modules
  WalkMethod method = WalkMethod::kContext;
  uint32_t stackPointer = 0;  // esp in the frame, strictly rising from frame to frame
};

struct WalkedThread {
  uint32_t threadId = 0;
  bool crashed = false;  // the exception's thread: walked from the exception's context
  std::vector<WalkedFrame> frames;
};

constexpr std::size_t kMaxWalkedFrames = 256;

// Walks one thread of dump from its context through its stack memory: call-frame information
// where the module has it, else its PDB's frame data, else a sound frame-pointer chain, else a
// validated scan. At most kMaxWalkedFrames frames; never reads outside the dump or the
// provider's images.
WalkedThread WalkThread(const Minidump& dump, std::size_t thread,
                        const StackWalkProvider& provider);

// Every thread, in the dump's order. The whole walk is bounded too: past a few million steps
// the remaining threads keep the frames found so far (at least frame 0).
std::vector<WalkedThread> WalkStacks(const Minidump& dump, const StackWalkProvider& provider);

}  // namespace collector
