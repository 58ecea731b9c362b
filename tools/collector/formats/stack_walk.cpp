#include "stack_walk.h"

#include <algorithm>
#include <cstring>

namespace collector {
namespace {

// How far one scan looks above the stack pointer: 32 KB, more than the frames of the code we
// expect to walk without call-frame information.
constexpr std::size_t kScanWords = 8192;
// The longest FF /2 call: FF, ModRM, SIB and a 32-bit displacement.
constexpr std::size_t kMaxIndirectCall = 7;
// How far below the pc a direct call's target may lie and still be taken for the start of the
// function that holds the pc, where nothing tells where functions start.
constexpr uint32_t kNearCall = 64 * 1024;
// Steps (an unwound frame or a scanned word) one walk of a whole dump may take. A dump's threads
// may all point at the same large stack, so per-thread bounds alone would let an upload buy
// minutes of work; real dumps need a few thousand.
constexpr std::size_t kWalkBudget = std::size_t{1} << 22;
// How far above a frame-data row's own frame its return address may lie: pushed arguments are
// not in the row. Words past the row's MaxStackSize, which is itself capped.
constexpr uint64_t kRaSearchWords = 64;
constexpr uint64_t kMaxRaSearchStack = 64 * 1024;
// The names frame-data programs give the registers, by DWARF number.
constexpr const char* kFrameRegisterNames[] = {"$eax", "$ecx", "$edx", "$ebx", "$esp",
                                               "$ebp", "$esi", "$edi", "$eip"};

struct Registers {
  uint32_t value[kCfiColumns] = {};
  bool valid[kCfiColumns] = {};

  void Set(int reg, uint32_t v) {
    value[reg] = v;
    valid[reg] = true;
  }
};

bool IsCalleeSaved(int reg) {
  return reg == kDwarfEbx || reg == kDwarfEbp || reg == kDwarfEsi || reg == kDwarfEdi;
}

uint32_t Le32(const uint8_t* b) {
  return b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

// The length of an FF /2 (near indirect call) instruction from its ModRM and SIB bytes, 0 when
// the bytes are not one.
std::size_t IndirectCallLength(const uint8_t* b, std::size_t available) {
  if (available < 2 || b[0] != 0xFF || ((b[1] >> 3) & 7) != 2) return 0;
  uint8_t mod = b[1] >> 6;
  uint8_t rm = b[1] & 7;
  if (mod == 3) return 2;
  std::size_t length = 2;
  if (rm == 4) {
    if (available < 3) return 0;
    length += 1;
    if (mod == 0 && (b[2] & 7) == 5) length += 4;
  } else if (mod == 0 && rm == 5) {
    length += 4;
  }
  if (mod == 1) length += 1;
  if (mod == 2) length += 4;
  return length;
}

class Walker {
 public:
  Walker(const Minidump& dump, const StackWalkProvider& provider)
      : dump_(dump), provider_(provider) {
    for (std::size_t i = 0; i < dump.modules.size(); ++i) {
      const Minidump::Module& module = dump.modules[i];
      if (module.size != 0 && module.base + module.size <= (uint64_t{1} << 32)) {
        ranges_.push_back(Range{module.base, module.base + module.size, i});
      }
    }
    std::sort(ranges_.begin(), ranges_.end(),
              [](const Range& a, const Range& b) { return a.base < b.base; });
    for (const Minidump::MemoryRange& range : dump.memory) {
      if (range.bytes.size != 0) memory_.push_back(&range);
    }
    std::sort(memory_.begin(), memory_.end(),
              [](const Minidump::MemoryRange* a, const Minidump::MemoryRange* b) {
                return a->start < b->start;
              });
  }

  WalkedThread Walk(std::size_t index) {
    const Minidump::Thread& thread = dump_.threads[index];
    WalkedThread out;
    out.threadId = thread.id;
    out.crashed = dump_.exception.present && dump_.exception.threadId == thread.id;
    // The thread list holds the crashed thread as it waited for the dump to be written; the
    // exception stream holds it where it faulted.
    const X86Context& context =
        out.crashed && dump_.exception.context.present ? dump_.exception.context : thread.context;
    if (!context.present) return out;

    stack_ = thread.stack.data;
    stackBase_ = thread.stackStart;
    stackEnd_ = thread.stack.data == nullptr ? stackBase_ : stackBase_ + thread.stack.size;
    Registers regs;
    regs.Set(kDwarfEax, context.eax);
    regs.Set(kDwarfEcx, context.ecx);
    regs.Set(kDwarfEdx, context.edx);
    regs.Set(kDwarfEbx, context.ebx);
    regs.Set(kDwarfEsp, context.esp);
    regs.Set(kDwarfEbp, context.ebp);
    regs.Set(kDwarfEsi, context.esi);
    regs.Set(kDwarfEdi, context.edi);
    regs.Set(kDwarfEip, context.eip);
    out.frames.push_back(
        WalkedFrame{context.eip, ModuleOf(context.eip), WalkMethod::kContext, context.esp});

    while (out.frames.size() < kMaxWalkedFrames) {
      Registers caller;
      WalkMethod method = WalkMethod::kContext;
      if (!Unwind(regs, out.frames.size() == 1, &caller, &method)) break;
      uint32_t sp = caller.value[kDwarfEsp];
      if (sp <= regs.value[kDwarfEsp] || sp > stackEnd_) break;
      uint32_t pc = caller.value[kDwarfEip];
      out.frames.push_back(WalkedFrame{pc, ModuleOf(pc), method, sp});
      regs = caller;
    }
    return out;
  }

 private:
  struct Range {
    uint64_t base;
    uint64_t end;
    std::size_t module;
  };
  enum class Outcome { kFound, kEnd, kFailed };
  enum class CallKind { kNone, kDirect, kIndirect };

  std::size_t ModuleOf(uint32_t address) const {
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), address,
                               [](uint32_t a, const Range& r) { return a < r.base; });
    if (it == ranges_.begin()) return WalkedFrame::kNoModule;
    --it;
    return address < it->end ? it->module : WalkedFrame::kNoModule;
  }

  uint32_t Base(std::size_t module) const {
    return static_cast<uint32_t>(dump_.modules[module].base);
  }

  // Inside a module, and inside one of its code sections when its image is known.
  bool IsCode(uint32_t address, std::size_t* module) const {
    *module = ModuleOf(address);
    if (*module == WalkedFrame::kNoModule) return false;
    const ModuleImage* image = provider_.Image(*module);
    return image == nullptr || image->IsCode(address - Base(*module));
  }

  // Code bytes from the dump's memory when it holds them, else from the module's image.
  bool ReadCode(std::size_t module, uint32_t address, uint8_t* out, std::size_t size) const {
    if (module == WalkedFrame::kNoModule || address < Base(module)) return false;
    auto it =
        std::upper_bound(memory_.begin(), memory_.end(), address,
                         [](uint32_t a, const Minidump::MemoryRange* r) { return a < r->start; });
    if (it != memory_.begin()) {
      const Minidump::MemoryRange& range = **(it - 1);
      uint64_t offset = address - range.start;
      if (offset <= range.bytes.size && size <= range.bytes.size - offset) {
        std::memcpy(out, range.bytes.data + offset, size);
        return true;
      }
    }
    const ModuleImage* image = provider_.Image(module);
    return image != nullptr && image->Read(address - Base(module), out, size);
  }

  bool ReadStack(int64_t address, uint32_t* out) const {
    if (address < 0 || static_cast<uint64_t>(address) < stackBase_ ||
        static_cast<uint64_t>(address) + 4 > stackEnd_) {
      return false;
    }
    *out = Le32(stack_ + (static_cast<uint64_t>(address) - stackBase_));
    return true;
  }

  // The call instruction that ends right before returnAddress. readable says whether any of the
  // bytes it would take could be read at all.
  CallKind CallBefore(std::size_t module, uint32_t returnAddress, uint32_t* target,
                      bool* readable) const {
    *readable = false;
    uint8_t bytes[kMaxIndirectCall];
    if (returnAddress >= 5 && ReadCode(module, returnAddress - 5, bytes, 5)) {
      *readable = true;
      if (bytes[0] == 0xE8) {
        *target = returnAddress + Le32(bytes + 1);
        return ResolveThunk(target) ? CallKind::kDirect : CallKind::kIndirect;
      }
    }
    for (std::size_t length = 2; length <= kMaxIndirectCall; ++length) {
      if (length == 5 || returnAddress < length ||
          !ReadCode(module, returnAddress - length, bytes, length)) {
        continue;
      }
      *readable = true;
      if (IndirectCallLength(bytes, length) == length) return CallKind::kIndirect;
    }
    return CallKind::kNone;
  }

  // Follows a jmp rel32 stub to the function it enters. False for a jmp through memory (an
  // import stub): where that leads cannot be checked.
  bool ResolveThunk(uint32_t* target) const {
    std::size_t module = ModuleOf(*target);
    uint8_t bytes[5];
    if (!ReadCode(module, *target, bytes, 2)) return true;
    if (bytes[0] == 0xFF && bytes[1] == 0x25) return false;
    if (bytes[0] == 0xE9 && ReadCode(module, *target, bytes, 5)) {
      *target = *target + 5 + Le32(bytes + 1);
    }
    return true;
  }

  // Whether a direct call to target entered the function that holds the frame below, whose pc is
  // pc (lookup: the address that stands for its function).
  bool EntersFunctionOf(uint32_t target, uint32_t pc, uint32_t lookup) const {
    std::size_t module = ModuleOf(pc);
    if (module == WalkedFrame::kNoModule) return false;
    uint32_t rva = lookup - Base(module);
    bool known = false;
    uint32_t start = 0;
    if (provider_.FunctionStart(module, rva, &start)) {
      if (Base(module) + start == target) return true;
      known = true;
    }
    const CfiTable* cfi = provider_.Cfi(module);
    uint32_t end = 0;
    if (cfi != nullptr && cfi->FunctionAt(rva, &start, &end)) {
      if (Base(module) + start == target) return true;
      known = true;
    }
    const PdbFrameTable* frames = provider_.FrameData(module);
    if (frames != nullptr && frames->FunctionAt(rva, &start, &end)) {
      if (Base(module) + start == target) return true;
      known = true;
    }
    return !known && ModuleOf(target) == module && target <= pc;
  }

  bool Recover(const CfiRule& rule, int column, const Registers& regs, uint32_t cfa,
               uint32_t* out) const {
    switch (rule.kind) {
      case CfiRule::kOffset:
        return ReadStack(int64_t{cfa} + rule.offset, out);
      case CfiRule::kValOffset:
        *out = cfa + static_cast<uint32_t>(rule.offset);
        return true;
      case CfiRule::kRegister:
        *out = regs.value[rule.reg];
        return regs.valid[rule.reg];
      case CfiRule::kSameValue:
        *out = regs.value[column];
        return regs.valid[column];
      case CfiRule::kUnspecified:
        *out = regs.value[column];
        return IsCalleeSaved(column) && regs.valid[column];
      case CfiRule::kUndefined:
      case CfiRule::kUnknown:
        return false;
    }
    return false;
  }

  Outcome UnwindCfi(const Registers& regs, bool top, std::size_t module, Registers* caller) const {
    const CfiTable* cfi = provider_.Cfi(module);
    if (cfi == nullptr) return Outcome::kFailed;
    uint32_t rva = regs.value[kDwarfEip] - Base(module);
    CfiRow row;
    // A return address may be the first byte after a call that ends its function: its call
    // site, one byte back, is what the rules describe.
    if (!cfi->RowAt(top ? rva : rva - 1, &row) || !regs.valid[row.cfaRegister]) {
      return Outcome::kFailed;
    }
    uint32_t cfa = regs.value[row.cfaRegister] + static_cast<uint32_t>(row.cfaOffset);
    const CfiRule& ra = row.rules[row.returnAddressColumn];
    if (ra.kind == CfiRule::kUndefined) return Outcome::kEnd;
    uint32_t returnAddress = 0;
    if (cfa <= regs.value[kDwarfEsp] || cfa > stackEnd_ || row.returnAddressColumn == kDwarfEsp ||
        ra.kind == CfiRule::kSameValue || ra.kind == CfiRule::kUnspecified ||
        !Recover(ra, row.returnAddressColumn, regs, cfa, &returnAddress)) {
      return Outcome::kFailed;
    }
    // The rules were followed: a return address that is no code means the stack ends here.
    std::size_t callerModule = WalkedFrame::kNoModule;
    if (!IsCode(returnAddress, &callerModule)) return Outcome::kEnd;
    *caller = Registers();
    caller->Set(kDwarfEip, returnAddress);
    caller->Set(kDwarfEsp, cfa);
    for (int reg = 0; reg < kDwarfEip; ++reg) {
      uint32_t value = 0;
      if (reg != kDwarfEsp && Recover(row.rules[reg], reg, regs, cfa, &value)) {
        caller->Set(reg, value);
      }
    }
    return Outcome::kFound;
  }

  // The slot of a frame-data row's return address (.raSearch): at the top of the row's own
  // frame, or higher when arguments for a call were pushed, the first word there that returns
  // after a call (into this function, for a direct call).
  bool SearchReturnAddress(const Registers& regs, const PdbFrameRecord& record, uint32_t lookup,
                           uint32_t* slot) {
    const uint32_t pc = regs.value[kDwarfEip];
    const uint64_t start =
        uint64_t{regs.value[kDwarfEsp]} + record.localSize + record.savedRegsSize;
    const uint64_t end =
        start + std::min<uint64_t>(record.maxStackSize, kMaxRaSearchStack) + kRaSearchWords * 4;
    for (uint64_t at = start; at < end && at + 4 <= stackEnd_ && budget_ != 0; at += 4) {
      --budget_;
      uint32_t word = 0;
      std::size_t module = WalkedFrame::kNoModule;
      if (!ReadStack(static_cast<int64_t>(at), &word) || !IsCode(word, &module)) continue;
      uint32_t target = 0;
      bool readable = false;
      CallKind call = CallBefore(module, word, &target, &readable);
      // Where the row says it is, a return address whose call cannot be read is still taken.
      if (call == CallKind::kNone && (readable || at != start)) continue;
      if (call == CallKind::kDirect && at != start && !EntersFunctionOf(target, pc, lookup)) {
        continue;
      }
      *slot = static_cast<uint32_t>(at);
      return true;
    }
    return false;
  }

  // The module's PDB frame data: the program of the row that holds pc, run on the callee's
  // registers, gives the caller's.
  bool UnwindFrameData(const Registers& regs, bool top, std::size_t module, Registers* caller) {
    const PdbFrameTable* table = provider_.FrameData(module);
    if (table == nullptr || !regs.valid[kDwarfEsp]) return false;
    const uint32_t pc = regs.value[kDwarfEip];
    const uint32_t lookup = top ? pc : pc - 1;
    const PdbFrameRecord* record = table->RecordAt(lookup - Base(module));
    if (record == nullptr) return false;
    FrameVariables vars;
    for (int reg = 0; reg <= kDwarfEip; ++reg) {
      if (regs.valid[reg]) vars.Set(kFrameRegisterNames[reg], regs.value[reg], false);
    }
    FrameProgramInput input;
    input.record = record;
    if (record->program.find(".raSearch") != std::string::npos) {
      input.hasRaSearch = SearchReturnAddress(regs, *record, lookup, &input.raSearch);
    }
    input.read = [this](uint32_t address, uint32_t* value) { return ReadStack(address, value); };
    uint32_t returnAddress = 0;
    uint32_t sp = 0;
    if (!EvaluateFrameProgram(record->program, input, vars) || !vars.Assigned("$eip") ||
        !vars.Assigned("$esp") || !vars.Get("$eip", &returnAddress) || !vars.Get("$esp", &sp) ||
        sp <= regs.value[kDwarfEsp] || sp > stackEnd_) {
      return false;
    }
    // A program run on a stale ebp reads garbage: what it returns to must follow a call.
    std::size_t callerModule = WalkedFrame::kNoModule;
    uint32_t target = 0;
    bool readable = false;
    if (!IsCode(returnAddress, &callerModule) ||
        (CallBefore(callerModule, returnAddress, &target, &readable) == CallKind::kNone &&
         readable)) {
      return false;
    }
    *caller = Registers();
    caller->Set(kDwarfEip, returnAddress);
    caller->Set(kDwarfEsp, sp);
    for (int reg = 0; reg < kDwarfEip; ++reg) {
      uint32_t value = 0;
      // What the program does not restore: the callee-saved registers are still the caller's.
      if (reg != kDwarfEsp && (vars.Assigned(kFrameRegisterNames[reg]) || IsCalleeSaved(reg)) &&
          vars.Get(kFrameRegisterNames[reg], &value)) {
        caller->Set(reg, value);
      }
    }
    return true;
  }

  bool UnwindFramePointer(const Registers& regs, Registers* caller) const {
    uint32_t ebp = regs.value[kDwarfEbp];
    uint32_t savedEbp = 0;
    uint32_t returnAddress = 0;
    if (!regs.valid[kDwarfEbp] || ebp < regs.value[kDwarfEsp] || !ReadStack(ebp, &savedEbp) ||
        !ReadStack(int64_t{ebp} + 4, &returnAddress)) {
      return false;
    }
    std::size_t module = WalkedFrame::kNoModule;
    if (!IsCode(returnAddress, &module)) return false;
    uint32_t target = 0;
    bool readable = false;
    if (CallBefore(module, returnAddress, &target, &readable) == CallKind::kNone && readable) {
      return false;
    }
    *caller = Registers();
    caller->Set(kDwarfEip, returnAddress);
    caller->Set(kDwarfEsp, ebp + 8);
    caller->Set(kDwarfEbp, savedEbp);
    return true;
  }

  bool Scan(const Registers& regs, bool top, Registers* caller, WalkMethod* method) {
    uint32_t pc = regs.value[kDwarfEip];
    uint64_t at = regs.value[kDwarfEsp];
    if (at < stackBase_) at += (stackBase_ - at + 3) / 4 * 4;
    for (std::size_t i = 0; i < kScanWords && at + 4 <= stackEnd_ && budget_ != 0; ++i, at += 4) {
      --budget_;
      uint32_t word = 0;
      std::size_t module = WalkedFrame::kNoModule;
      if (!ReadStack(static_cast<int64_t>(at), &word) || !IsCode(word, &module)) continue;
      uint32_t target = 0;
      bool readable = false;
      CallKind call = CallBefore(module, word, &target, &readable);
      if (call == CallKind::kNone) continue;
      if (call == CallKind::kDirect && !EntersFunctionOf(target, pc, top ? pc : pc - 1)) continue;
      *method = call == CallKind::kDirect ? WalkMethod::kScan : WalkMethod::kScanUnvalidated;
      *caller = Registers();
      caller->Set(kDwarfEip, word);
      caller->Set(kDwarfEsp, static_cast<uint32_t>(at + 4));
      // Callee-saved: still the caller's unless the skipped frames saved and reused it, which
      // the frame-pointer checks then catch.
      if (regs.valid[kDwarfEbp]) caller->Set(kDwarfEbp, regs.value[kDwarfEbp]);
      return true;
    }
    return false;
  }

  // Whether returnAddress follows a direct call into the function that holds pc: at or below pc
  // and near it, and the return lies outside the stretch from the call's target to pc.
  bool ReturnsFromCallOf(uint32_t returnAddress, uint32_t pc) const {
    std::size_t module = WalkedFrame::kNoModule;
    if (!IsCode(returnAddress, &module)) return false;
    uint32_t target = 0;
    bool readable = false;
    return CallBefore(module, returnAddress, &target, &readable) == CallKind::kDirect &&
           target <= pc && pc - target < kNearCall &&
           (returnAddress < target || returnAddress > pc) && EntersFunctionOf(target, pc, pc);
  }

  // The top frame's function may not have made a frame of its own (a stack probe such as
  // ___chkstk_ms, a leaf, a fault at its entry): then ebp is still its caller's, and a
  // frame-pointer step would skip that caller. Unless ebp's return address itself comes from a
  // call of this function, the first word above esp that does is the caller's.
  bool ScanBelowFramePointer(const Registers& regs, Registers* caller, WalkMethod* method) {
    if (!regs.valid[kDwarfEbp] || !regs.valid[kDwarfEsp]) return false;
    const uint32_t pc = regs.value[kDwarfEip];
    const uint32_t ebp = regs.value[kDwarfEbp];
    const uint64_t esp = regs.value[kDwarfEsp];
    uint32_t framed = 0;
    if (ebp < esp || (ReadStack(int64_t{ebp} + 4, &framed) && ReturnsFromCallOf(framed, pc))) {
      return false;
    }
    uint64_t end = std::min<uint64_t>(uint64_t{ebp} + 4, esp + kScanWords * 4);
    for (uint64_t at = esp; at < end && budget_ != 0; at += 4) {
      --budget_;
      uint32_t word = 0;
      if (!ReadStack(static_cast<int64_t>(at), &word) || !ReturnsFromCallOf(word, pc)) continue;
      *method = WalkMethod::kScan;
      *caller = Registers();
      caller->Set(kDwarfEip, word);
      caller->Set(kDwarfEsp, static_cast<uint32_t>(at + 4));
      caller->Set(kDwarfEbp, ebp);
      return true;
    }
    return false;
  }

  bool Unwind(const Registers& regs, bool top, Registers* caller, WalkMethod* method) {
    if (budget_ == 0) return false;
    --budget_;
    uint32_t pc = regs.value[kDwarfEip];
    std::size_t module = WalkedFrame::kNoModule;
    bool inCode = IsCode(pc, &module);
    if (module != WalkedFrame::kNoModule) {
      Outcome outcome = UnwindCfi(regs, top, module, caller);
      if (outcome == Outcome::kEnd) return false;
      if (outcome == Outcome::kFound) {
        *method = WalkMethod::kCfi;
        return true;
      }
      if (UnwindFrameData(regs, top, module, caller)) {
        *method = WalkMethod::kFrameData;
        return true;
      }
    }
    // A call through a bad pointer left its return address on top of the stack; the frame
    // pointer still belongs to the caller and would skip it.
    if (top && !inCode && Scan(regs, top, caller, method)) return true;
    if (top && inCode && ScanBelowFramePointer(regs, caller, method)) return true;
    if (UnwindFramePointer(regs, caller)) {
      *method = WalkMethod::kFramePointer;
      return true;
    }
    return Scan(regs, top, caller, method);
  }

  const Minidump& dump_;
  const StackWalkProvider& provider_;
  std::vector<Range> ranges_;
  std::vector<const Minidump::MemoryRange*> memory_;  // sorted by start
  std::size_t budget_ = kWalkBudget;
  const uint8_t* stack_ = nullptr;
  uint64_t stackBase_ = 0;
  uint64_t stackEnd_ = 0;
};

}  // namespace

bool ModuleImage::Load(const uint8_t* data, std::size_t size) {
  *this = ModuleImage();
  if (!ReadPeLayout(data, size, &layout_)) return false;
  bytes_.assign(data, data + size);
  cfi_ = CfiTable::FromPeImage(bytes_.data(), bytes_.size());
  return true;
}

bool ModuleImage::IsCode(uint32_t rva) const {
  for (const PeLayout::Section& section : layout_.sections) {
    if (section.IsCode() && rva >= section.rva && rva - section.rva < section.virtualSize) {
      return true;
    }
  }
  return false;
}

bool ModuleImage::Read(uint32_t rva, void* out, std::size_t size) const {
  for (const PeLayout::Section& section : layout_.sections) {
    if (rva < section.rva || rva - section.rva >= section.fileSize) continue;
    uint32_t into = rva - section.rva;
    if (size > section.fileSize - into) return false;
    std::memcpy(out, bytes_.data() + section.fileOffset + into, size);
    return true;
  }
  return false;
}

const ModuleImage* StackWalkProvider::Image(std::size_t) const { return nullptr; }

const CfiTable* StackWalkProvider::Cfi(std::size_t module) const {
  const ModuleImage* image = Image(module);
  return image != nullptr ? &image->cfi() : nullptr;
}

const PdbFrameTable* StackWalkProvider::FrameData(std::size_t) const { return nullptr; }

bool StackWalkProvider::FunctionStart(std::size_t, uint32_t, uint32_t*) const { return false; }

const char* WalkMethodName(WalkMethod method) {
  switch (method) {
    case WalkMethod::kContext:
      return "context";
    case WalkMethod::kCfi:
      return "cfi";
    case WalkMethod::kFrameData:
      return "frame-data";
    case WalkMethod::kFramePointer:
      return "fp";
    case WalkMethod::kScan:
      return "scan";
    case WalkMethod::kScanUnvalidated:
      return "scan-unvalidated";
  }
  return "unknown";
}

WalkedThread WalkThread(const Minidump& dump, std::size_t thread,
                        const StackWalkProvider& provider) {
  if (thread >= dump.threads.size()) return WalkedThread();
  return Walker(dump, provider).Walk(thread);
}

std::vector<WalkedThread> WalkStacks(const Minidump& dump, const StackWalkProvider& provider) {
  Walker walker(dump, provider);
  std::vector<WalkedThread> stacks;
  for (std::size_t i = 0; i < dump.threads.size(); ++i) stacks.push_back(walker.Walk(i));
  return stacks;
}

}  // namespace collector
