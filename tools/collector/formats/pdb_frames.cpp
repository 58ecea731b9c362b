#include "pdb_frames.h"

#include <algorithm>

#include "msf.h"

namespace collector {
namespace {

constexpr uint32_t kInfoStream = 1;
constexpr uint32_t kDbiStream = 3;
constexpr uint64_t kInfoHeaderSize = 28;  // version, signature, age, GUID
constexpr uint64_t kDbiHeaderSize = 64;
constexpr uint64_t kNewFpoSlot = 9;  // in the DBI's optional debug header
constexpr uint16_t kNoStream = 0xFFFF;
constexpr uint64_t kFrameRecordSize = 32;
constexpr uint32_t kNamesSignature = 0xEFFEEFFEu;
// Longer than any program a compiler writes; keeps one corrupt string from costing much.
constexpr std::size_t kMaxProgram = 4096;
// How far a lookup steps back over the stages of one function.
constexpr int kMaxStages = 16;
constexpr std::size_t kMaxStack = 64;

uint32_t U32(const std::string& bytes, uint64_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<uint64_t>(i)]);
  }
  return value;
}

uint16_t U16(const std::string& bytes, uint64_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                               (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

// The stream of a named stream ("/names") from the PDB info stream's hash table.
bool NamedStream(const std::string& info, const std::string& name, uint32_t* stream) {
  uint64_t at = kInfoHeaderSize;
  if (at + 4 > info.size()) return false;
  uint64_t namesSize = U32(info, at);
  uint64_t names = at + 4;
  at = names + namesSize;
  if (at + 8 > info.size()) return false;
  uint32_t capacity = U32(info, at + 4);
  at += 8;
  // The present bit vector, then the deleted one, each a word count and its words.
  if (at + 4 > info.size()) return false;
  uint64_t presentWords = U32(info, at);
  uint64_t present = at + 4;
  if (presentWords > (info.size() - present) / 4) return false;
  at = present + presentWords * 4;
  if (at + 4 > info.size()) return false;
  uint64_t deletedWords = U32(info, at);
  if (deletedWords > (info.size() - at - 4) / 4) return false;
  at += 4 + deletedWords * 4;
  uint64_t buckets = std::min<uint64_t>(capacity, presentWords * 32);
  for (uint64_t bucket = 0; bucket < buckets; ++bucket) {
    if (((U32(info, present + bucket / 32 * 4) >> (bucket % 32)) & 1) == 0) continue;
    if (at + 8 > info.size()) return false;
    uint64_t key = U32(info, at);
    uint32_t value = U32(info, at + 4);
    at += 8;
    if (key >= namesSize) continue;
    uint64_t end = info.find('\0', names + key);
    if (end == std::string::npos || end > names + namesSize) continue;
    if (info.compare(names + key, end - (names + key), name) == 0) {
      *stream = value;
      return true;
    }
  }
  return false;
}

bool IsNumber(const std::string& token, uint32_t* value) {
  uint64_t v = 0;
  std::size_t at = 0;
  int base = 10;
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    base = 16;
    at = 2;
  }
  if (at >= token.size() || token.size() - at > (base == 16 ? 8u : 10u)) return false;
  for (; at < token.size(); ++at) {
    char c = token[at];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (v > 0xFFFFFFFFu) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool IsVariableName(const std::string& token) {
  if (token.size() < 2 || token.size() > 16 || token[0] != '$') return false;
  for (std::size_t i = 1; i < token.size(); ++i) {
    char c = token[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

bool PseudoVariable(const std::string& token, const FrameProgramInput& input, uint32_t* value) {
  const PdbFrameRecord* r = input.record;
  if (token == ".raSearch") {
    *value = input.raSearch;
    return input.hasRaSearch;
  }
  if (r == nullptr) return false;
  if (token == ".cbLocals") {
    *value = r->localSize;
  } else if (token == ".cbParams") {
    *value = r->paramsSize;
  } else if (token == ".cbSavedRegs") {
    *value = r->savedRegsSize;
  } else if (token == ".cbFrame") {
    // The function's own frame below its return address.
    *value = r->localSize + r->savedRegsSize;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string PdbFrameTable::Read(const std::string& pdb, PdbFrameTable& out) {
  out = PdbFrameTable();
  MsfFile msf(pdb);
  if (!msf.Open().empty()) return "not a PDB (no readable MSF 7.00 container)";
  std::string dbi;
  if (!msf.Read(kDbiStream, dbi)) return "";  // no DBI stream: no frame data either
  if (dbi.size() < kDbiHeaderSize) return "truncated DBI stream";
  uint64_t at = kDbiHeaderSize;
  // ModInfo, section contributions, section map, source info, type server map: the sizes at 24
  // through 40; then the EC substream, its size at 52. 48 holds the debug header's size.
  for (uint64_t field : {24u, 28u, 32u, 36u, 40u, 52u}) {
    uint32_t size = U32(dbi, field);
    if (size > 0x7FFFFFFFu) return "negative DBI substream size";
    at += size;
  }
  uint64_t debugHeaderSize = U32(dbi, 48);
  if (at > dbi.size() || debugHeaderSize > dbi.size() - at) {
    return "the DBI substreams are larger than the stream";
  }
  if (debugHeaderSize < (kNewFpoSlot + 1) * 2) return "";
  uint16_t frameStream = U16(dbi, at + kNewFpoSlot * 2);
  if (frameStream == kNoStream) return "";

  std::string frames;
  if (!msf.Read(frameStream, frames)) return "the frame data stream is missing";
  // Microsoft's linker puts a uint32 before the rows, lld nothing: the size tells which.
  const uint64_t first = frames.size() % kFrameRecordSize == 4 ? 4 : 0;
  if (frames.size() % kFrameRecordSize != first) {
    return "the frame data stream is not whole records";
  }
  std::string info;
  uint32_t namesIndex = 0;
  std::string names;
  if (!msf.Read(kInfoStream, info) || !NamedStream(info, "/names", &namesIndex) ||
      !msf.Read(namesIndex, names)) {
    return "the PDB has no string table (/names)";
  }
  if (names.size() < 12 || U32(names, 0) != kNamesSignature || U32(names, 8) > names.size() - 12) {
    return "malformed string table";
  }
  const uint64_t stringsSize = U32(names, 8);
  std::vector<PdbFrameRecord> records;
  for (uint64_t r = first; r + kFrameRecordSize <= frames.size(); r += kFrameRecordSize) {
    PdbFrameRecord record;
    record.rvaStart = U32(frames, r);
    record.codeSize = U32(frames, r + 4);
    record.localSize = U32(frames, r + 8);
    record.paramsSize = U32(frames, r + 12);
    record.maxStackSize = U32(frames, r + 16);
    uint64_t program = U32(frames, r + 20);
    record.prologSize = U16(frames, r + 24);
    record.savedRegsSize = U16(frames, r + 26);
    record.flags = U32(frames, r + 28);
    if (program >= stringsSize) return "a frame program lies outside the string table";
    uint64_t begin = 12 + program;
    uint64_t end = names.find('\0', begin);
    if (end == std::string::npos || end > 12 + stringsSize || end - begin > kMaxProgram) {
      return "a frame program is not a string";
    }
    record.program = names.substr(begin, end - begin);
    records.push_back(std::move(record));
  }
  std::stable_sort(
      records.begin(), records.end(),
      [](const PdbFrameRecord& a, const PdbFrameRecord& b) { return a.rvaStart < b.rvaStart; });
  out.records_ = std::move(records);
  return "";
}

const PdbFrameRecord* PdbFrameTable::RecordAt(uint32_t rva) const {
  auto it = std::upper_bound(records_.begin(), records_.end(), rva,
                             [](uint32_t a, const PdbFrameRecord& r) { return a < r.rvaStart; });
  for (int step = 0; step < kMaxStages && it != records_.begin(); ++step) {
    --it;
    if (it->Holds(rva)) return &*it;
  }
  return nullptr;
}

bool PdbFrameTable::FunctionAt(uint32_t rva, uint32_t* start, uint32_t* end) const {
  auto it = std::upper_bound(records_.begin(), records_.end(), rva,
                             [](uint32_t a, const PdbFrameRecord& r) { return a < r.rvaStart; });
  const PdbFrameRecord* earliest = nullptr;
  for (int step = 0; step < kMaxStages && it != records_.begin(); ++step) {
    --it;
    if (!it->Holds(rva)) continue;
    earliest = &*it;
    if ((it->flags & PdbFrameRecord::kFunctionStart) != 0) break;
  }
  if (earliest == nullptr) return false;
  *start = earliest->rvaStart;
  *end = earliest->rvaStart + earliest->codeSize;
  return true;
}

FrameVariables::Variable* FrameVariables::Find(const std::string& name) {
  for (Variable& v : variables_) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

const FrameVariables::Variable* FrameVariables::Find(const std::string& name) const {
  for (const Variable& v : variables_) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

bool FrameVariables::Set(const std::string& name, uint32_t value, bool assigned) {
  Variable* v = Find(name);
  if (v == nullptr) {
    if (variables_.size() >= kMax) return false;
    variables_.push_back(Variable{name, value, assigned});
    return true;
  }
  v->value = value;
  v->assigned = v->assigned || assigned;
  return true;
}

bool FrameVariables::Get(const std::string& name, uint32_t* value) const {
  const Variable* v = Find(name);
  if (v == nullptr) return false;
  *value = v->value;
  return true;
}

bool FrameVariables::Assigned(const std::string& name) const {
  const Variable* v = Find(name);
  return v != nullptr && v->assigned;
}

bool EvaluateFrameProgram(const std::string& program, const FrameProgramInput& input,
                          FrameVariables& vars) {
  // An entry is a value, or a variable's name where one may yet be assigned.
  struct Entry {
    uint32_t value;
    std::string name;
  };
  std::vector<Entry> stack;
  auto value = [&](const Entry& e, uint32_t* out) {
    if (e.name.empty()) {
      *out = e.value;
      return true;
    }
    return vars.Get(e.name, out);
  };
  std::size_t tokens = 0;
  std::size_t at = 0;
  while (true) {
    while (at < program.size() && (program[at] == ' ' || program[at] == '\t' ||
                                   program[at] == '\n' || program[at] == '\r')) {
      ++at;
    }
    if (at >= program.size()) break;
    std::size_t end = at;
    while (end < program.size() && program[end] != ' ' && program[end] != '\t' &&
           program[end] != '\n' && program[end] != '\r') {
      ++end;
    }
    const std::string token = program.substr(at, std::min<std::size_t>(end - at, 32));
    if (end - at > 32 || ++tokens > kMaxFrameProgramTokens) return false;
    at = end;

    uint32_t number = 0;
    if (IsVariableName(token)) {
      if (stack.size() >= kMaxStack) return false;
      stack.push_back(Entry{0, token});
    } else if (token[0] == '.') {
      if (!PseudoVariable(token, input, &number) || stack.size() >= kMaxStack) return false;
      stack.push_back(Entry{number, std::string()});
    } else if (IsNumber(token, &number)) {
      if (stack.size() >= kMaxStack) return false;
      stack.push_back(Entry{number, std::string()});
    } else if (token == "^") {
      uint32_t address = 0;
      if (stack.empty() || !value(stack.back(), &address) || !input.read ||
          !input.read(address, &number)) {
        return false;
      }
      stack.back() = Entry{number, std::string()};
    } else if (token == "=") {
      uint32_t assigned = 0;
      if (stack.size() < 2 || !value(stack.back(), &assigned)) return false;
      const std::string name = stack[stack.size() - 2].name;
      if (name.empty() || !vars.Set(name, assigned)) return false;
      stack.resize(stack.size() - 2);
    } else if (token.size() == 1 && std::string("+-*/%@").find(token[0]) != std::string::npos) {
      uint32_t a = 0;
      uint32_t b = 0;
      if (stack.size() < 2 || !value(stack[stack.size() - 2], &a) || !value(stack.back(), &b)) {
        return false;
      }
      uint32_t result = 0;
      switch (token[0]) {
        case '+':
          result = a + b;
          break;
        case '-':
          result = a - b;
          break;
        case '*':
          result = a * b;
          break;
        case '/':
          if (b == 0) return false;
          result = a / b;
          break;
        case '%':
          if (b == 0) return false;
          result = a % b;
          break;
        default:  // '@': a rounded down to a multiple of b
          if (b == 0) return false;
          result = a - a % b;
          break;
      }
      stack.pop_back();
      stack.back() = Entry{result, std::string()};
    } else {
      return false;
    }
  }
  return stack.empty() && tokens != 0;
}

}  // namespace collector
