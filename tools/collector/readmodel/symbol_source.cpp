#include "readmodel/symbol_source.h"

#include <vector>

#include "formats/pe_image.h"
#include "store/report_store.h"

namespace collector {

std::string PdbFileName(const std::string& codeViewPath) {
  size_t slash = codeViewPath.find_last_of("/\\");
  std::string name = slash == std::string::npos ? codeViewPath : codeViewPath.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    return std::string();
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == ':') {
      return std::string();
    }
  }
  return name;
}

bool FindSymbolSource(ReportStore& store, const StackModule& module, SymbolSource& out,
                      bool& found, std::string& error) {
  out = SymbolSource();
  found = false;
  const std::string name = LowerAscii(module.name);
  if (!module.debugId.empty()) {
    SymbolFile pdb;
    bool hasPdb = false;
    if (!store.FindPdb("", module.debugId, pdb, hasPdb, error)) {
      return false;
    }
    if (hasPdb) {
      // The image of that same build: name, time stamp and CodeView id all the module's.
      SymbolQuery query;
      query.module = name;
      query.byTimestamp = true;
      query.timestamp = module.timestamp;
      query.byDebugId = true;
      query.debugId = module.debugId;
      std::vector<SymbolFile> images;
      if (!store.FindSymbolFiles(query, images, error)) {
        return false;
      }
      for (const SymbolFile& image : images) {
        if (image.kind == "image" || image.kind == "debug") {
          out.id = pdb.id;
          out.objectId = image.id;
          out.pdbId = pdb.id;
          out.imageBase = image.imageBase;
          found = true;
          return true;
        }
      }
    }
  }
  SymbolFile dwarf;
  if (!store.FindSymbolFile(name, module.timestamp, module.debugId, dwarf, found, error)) {
    return false;
  }
  if (found) {
    out.id = dwarf.id;
    out.objectId = dwarf.id;
    out.imageBase = dwarf.imageBase;
  }
  return true;
}

std::string LaySymbolSource(ReportStore& store, const SymbolSource& source, ScratchDir& scratch) {
  std::string object;
  std::string error;
  if (!scratch.ok() || !store.SymbolBytes(source.objectId, object, error)) {
    return std::string();
  }
  if (source.pdbId == 0) {
    return scratch.Write("symbols-" + std::to_string(source.objectId), object);
  }
  // Each image and its PDB in a folder of their own: two builds' PDBs share one name.
  std::string folder = "source-" + std::to_string(source.id);
  PeIdentity identity;
  std::string pdbName;
  if (ReadPeIdentity(object, identity).empty()) {
    pdbName = PdbFileName(identity.debugFile);
  }
  std::string pdb;
  if (pdbName.empty() || scratch.MakeDir(folder).empty() ||
      !store.SymbolBytes(source.pdbId, pdb, error) ||
      scratch.Write(folder + "/" + pdbName, pdb).empty()) {
    return std::string();
  }
  std::string().swap(pdb);
  // Not under the PDB's name with another extension: the record may name the image's own.
  return scratch.Write(folder + "/image-" + std::to_string(source.objectId), object);
}

}  // namespace collector
