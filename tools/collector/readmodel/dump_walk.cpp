#include "readmodel/dump_walk.h"

#include "formats/pdb_file.h"
#include "store/report_store.h"

namespace collector {
namespace {

// The file name without its folder, as stack.txt names modules.
std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

StackTrace ToTrace(const Minidump& dump, const WalkedThread& thread) {
  StackTrace trace;
  trace.hasThread = true;
  trace.thread = thread.threadId;
  for (const Minidump::Module& module : dump.modules) {
    StackModule line;
    line.base = static_cast<uint32_t>(module.base);
    line.size = module.size;
    line.timestamp = module.timestamp;
    line.debugId = module.DebugId();
    line.name = BaseName(module.name);
    line.debugFile = BaseName(module.pdbName);
    trace.modules.push_back(line);
  }
  for (const WalkedFrame& walked : thread.frames) {
    StackFrame frame;
    frame.index = static_cast<uint32_t>(trace.frames.size());
    frame.method = WalkMethodName(walked.method);
    if (walked.module < dump.modules.size()) {
      frame.module = trace.modules[walked.module].name;
      frame.offset = walked.address - static_cast<uint32_t>(dump.modules[walked.module].base);
    } else {
      frame.address = walked.address;
    }
    trace.frames.push_back(frame);
  }
  return trace;
}

}  // namespace

const ModuleImage* StoredImageProvider::Image(std::size_t module) const {
  if (module >= dump_.modules.size()) {
    return nullptr;
  }
  auto known = images_.find(module);
  if (known != images_.end()) {
    return known->second.get();
  }
  const Minidump::Module& entry = dump_.modules[module];
  const std::string name = BaseName(entry.name);
  SymbolFile file;
  bool found = false;
  std::string error;
  if (!store_.FindImage(name, entry.timestamp, entry.size, file, found, error) || !found) {
    found = false;
    if (!store_.FindImageByDebugId(name, entry.DebugId(), file, found, error)) {
      found = false;
    }
  }
  std::unique_ptr<ModuleImage> image;
  if (found) {
    image = std::make_unique<ModuleImage>();
    if (!image->Load(reinterpret_cast<const uint8_t*>(file.bytes.data()), file.bytes.size())) {
      image.reset();
    }
  }
  return images_.emplace(module, std::move(image)).first->second.get();
}

const PdbFrameTable* StoredImageProvider::FrameData(std::size_t module) const {
  if (module >= dump_.modules.size()) {
    return nullptr;
  }
  auto known = frames_.find(module);
  if (known != frames_.end()) {
    return known->second.get();
  }
  const std::string debugId = dump_.modules[module].DebugId();
  SymbolFile file;
  bool found = false;
  std::string error;
  std::unique_ptr<PdbFrameTable> table;
  PdbIdentity identity;
  if (!debugId.empty() && store_.FindPdb("", debugId, file, found, error) && found &&
      store_.SymbolBytes(file.id, file.bytes, error) &&
      ReadPdbIdentity(file.bytes, identity).empty() &&
      LowerAscii(identity.debugId) == LowerAscii(debugId)) {
    table = std::make_unique<PdbFrameTable>();
    if (!PdbFrameTable::Read(file.bytes, *table).empty() || table->empty()) {
      table.reset();
    }
  }
  return frames_.emplace(module, std::move(table)).first->second.get();
}

bool StoredImageProvider::FunctionStart(std::size_t module, uint32_t rva, uint32_t* start) const {
  const ModuleImage* image = Image(module);
  uint32_t end = 0;
  if (image != nullptr && image->cfi().FunctionAt(rva, start, &end)) {
    return true;
  }
  const PdbFrameTable* frames = FrameData(module);
  return frames != nullptr && frames->FunctionAt(rva, start, &end);
}

bool WalkDumpStacks(ReportStore& store, const std::string& bytes,
                    std::vector<DumpThreadStack>& out) {
  out.clear();
  Minidump dump;
  if (!ParseMinidump(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &dump,
                     nullptr)) {
    return false;
  }
  StoredImageProvider provider(store, dump);
  std::vector<WalkedThread> walked = WalkStacks(dump, provider);
  for (int crashed = 1; crashed >= 0; --crashed) {
    for (const WalkedThread& thread : walked) {
      if (thread.crashed == (crashed == 1)) {
        out.push_back(DumpThreadStack{thread.threadId, thread.crashed, ToTrace(dump, thread)});
      }
    }
  }
  return true;
}

}  // namespace collector
