#include "stack_symbolize.h"

#include <cstdio>
#include <map>
#include <tuple>

#include "gbk.h"
#include "report_store.h"

namespace collector {
namespace {

constexpr size_t kGroupFrames = 3;

struct Request {
  size_t stack;
  size_t frame;
  uint64_t address;
};

std::string Hex(uint32_t value, bool padded) {
  char text[16];
  std::snprintf(text, sizeof(text), padded ? "0x%08x" : "0x%x", value);
  return text;
}

// Where the frame lies as stack.txt put it: the module name is the report's (GBK) text.
std::string RawLocation(const StackFrame& frame) {
  if (frame.module.empty()) {
    return Hex(frame.address, true);
  }
  return StripControls(GbkToUtf8(frame.module)) + "+" + Hex(frame.offset, false);
}

}  // namespace

std::vector<std::vector<ResolvedFrame>> ResolveStacks(ReportStore& store,
                                                      const std::vector<StackTrace>& stacks,
                                                      size_t maxFrames) {
  std::vector<std::vector<ResolvedFrame>> resolved(stacks.size());
  using Key = std::tuple<std::string, uint32_t, std::string>;
  std::map<Key, SymbolFile> symbolFiles;  // id 0: none stored for that key
  std::map<int64_t, std::vector<Request>> requests;
  for (size_t s = 0; s < stacks.size(); ++s) {
    const StackTrace& trace = stacks[s];
    for (size_t f = 0; f < trace.frames.size() && f < maxFrames; ++f) {
      const StackFrame& frame = trace.frames[f];
      resolved[s].push_back(ResolvedFrame{frame, SourceLocation()});
      const StackModule* module = ModuleOf(trace, frame);
      bool returnAddress = frame.index != 0;
      if (module == nullptr || (returnAddress && frame.offset == 0)) {
        continue;
      }
      Key key{LowerAscii(module->name), module->timestamp, module->debugId};
      auto known = symbolFiles.find(key);
      if (known == symbolFiles.end()) {
        SymbolFile file;
        bool found = false;
        std::string error;
        if (!store.FindSymbolFile(std::get<0>(key), module->timestamp, module->debugId, file, found,
                                  error) ||
            !found) {
          file.id = 0;
        }
        known = symbolFiles.emplace(key, file).first;
      }
      if (known->second.id == 0) {
        continue;
      }
      // llvm-symbolizer wants a PE address as the image-base-relative VA, not the RVA.
      uint64_t address = known->second.imageBase + frame.offset - (returnAddress ? 1 : 0);
      requests[known->second.id].push_back(Request{s, f, address});
    }
  }
  if (requests.empty()) {
    return resolved;
  }
  ScratchDir scratch;
  if (!scratch.ok()) {
    return resolved;
  }
  for (const auto& [id, list] : requests) {
    std::string bytes;
    std::string error;
    if (!store.SymbolBytes(id, bytes, error)) {
      continue;
    }
    std::string path = scratch.Write("symbols-" + std::to_string(id), bytes);
    if (path.empty()) {
      continue;
    }
    std::vector<uint64_t> addresses;
    for (const Request& request : list) {
      addresses.push_back(request.address);
    }
    std::vector<SourceLocation> locations = Symbolize(path, addresses, scratch);
    for (size_t i = 0; i < list.size() && i < locations.size(); ++i) {
      resolved[list[i].stack][list[i].frame].location = locations[i];
    }
  }
  return resolved;
}

std::string FrameLine(const ResolvedFrame& resolved) {
  std::string out = "#" + std::to_string(resolved.frame.index) + " ";
  const SourceLocation& location = resolved.location;
  if (location.function.empty()) {
    return out + RawLocation(resolved.frame);
  }
  out += StripControls(location.function) + " ";
  if (location.file.empty()) {
    return out + RawLocation(resolved.frame);
  }
  return out + StripControls(location.file) + ":" + std::to_string(location.line);
}

std::vector<std::string> StackGroupFrames(const std::vector<ResolvedFrame>& frames) {
  std::vector<std::string> out;
  for (size_t i = 0; i < frames.size() && i < kGroupFrames; ++i) {
    const std::string& function = frames[i].location.function;
    out.push_back(function.empty() ? RawLocation(frames[i].frame) : StripControls(function));
  }
  return out;
}

std::string StackGroupKey(const std::vector<ResolvedFrame>& frames) {
  std::string key;
  for (const std::string& frame : StackGroupFrames(frames)) {
    key += (key.empty() ? "" : " | ") + frame;
  }
  return key;
}

std::map<int64_t, std::string> StackGroupKeys(
    ReportStore& store, const std::vector<StoredReport>& reports,
    std::map<int64_t, std::vector<std::string>>* frames) {
  std::vector<int64_t> ids;
  std::vector<StackTrace> stacks;
  for (const StoredReport& report : reports) {
    if (report.hasStack) {
      StackTrace trace = ParseStackText(report.stack);
      if (!trace.frames.empty()) {
        ids.push_back(report.id);
        stacks.push_back(std::move(trace));
      }
    }
  }
  std::map<int64_t, std::string> keys;
  std::vector<std::vector<ResolvedFrame>> resolved = ResolveStacks(store, stacks, kGroupFrames);
  for (size_t i = 0; i < ids.size(); ++i) {
    keys[ids[i]] = StackGroupKey(resolved[i]);
    if (frames != nullptr) {
      (*frames)[ids[i]] = StackGroupFrames(resolved[i]);
    }
  }
  return keys;
}

}  // namespace collector
