#include "ingest/symbol_intake.h"

#include <algorithm>
#include <set>

#include "formats/pdb_file.h"
#include "formats/pe_image.h"
#include "formats/stack_text.h"
#include "ingest/crash_entry.h"
#include "readmodel/symbol_source.h"
#include "store/report_store.h"

namespace collector {
namespace {

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The module a PE describes: its file name, without a ".debug" suffix; a bare name left by
// "game.debug" gets the extension the PE header implies.
std::string ModuleNameOf(const std::string& fileName, bool isDll) {
  std::string name = fileName;
  const std::string suffix = ".debug";
  std::string lower = LowerAscii(name);
  if (lower.size() > suffix.size() &&
      lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name.resize(name.size() - suffix.size());
    if (name.find('.') == std::string::npos) {
      name += isDll ? ".dll" : ".exe";
    }
  }
  return LowerAscii(name);
}

struct Classified {
  SymbolFile file;
  std::string pdbNamed;  // a PE's CodeView file name, lower case
};

// Fills the key of a file from its bytes; "" on success, else why it cannot be kept.
std::string Classify(const SymbolUpload& upload, Classified& out, SymbolOutcome& outcome) {
  SymbolFile& file = out.file;
  if (LooksLikePdb(upload.bytes)) {
    PdbIdentity pdb;
    std::string error = ReadPdbIdentity(upload.bytes, pdb);
    if (!error.empty()) {
      return error;
    }
    if (outcome.fileName.empty()) {
      return "a PDB needs its file name (the one the image's CodeView record gives)";
    }
    file.kind = "pdb";
    file.module = LowerAscii(outcome.fileName);
    file.debugId = pdb.debugId;
    file.timestamp = 0;
    return std::string();
  }
  PeIdentity pe;
  std::string error = ReadPeIdentity(upload.bytes, pe);
  if (!error.empty()) {
    return "neither a PE image nor a PDB: " + error;
  }
  if (!pe.hasDwarf && !pe.loadable) {
    return "neither DWARF debug info nor code (a debug file of a module built without -g?)";
  }
  if (outcome.fileName.empty()) {
    return "a module needs its file name";
  }
  file.kind = pe.hasDwarf ? "debug" : "image";
  file.loadable = pe.loadable;
  file.module = ModuleNameOf(outcome.fileName, pe.isDll);
  file.timestamp = pe.timestamp;
  file.debugId = pe.debugId;
  file.sizeOfImage = pe.sizeOfImage;
  file.imageBase = pe.imageBase;
  out.pdbNamed = LowerAscii(PdbFileName(pe.debugFile));
  outcome.codeId = CodeIdOf(pe.timestamp, pe.sizeOfImage);
  return std::string();
}

}  // namespace

bool SymbolIntake::allTaken() const {
  return std::all_of(files.begin(), files.end(),
                     [](const SymbolOutcome& file) { return file.status != "refused"; });
}

SymbolIntake TakeSymbolFiles(ReportStore& store, std::vector<SymbolUpload>& files,
                             const std::string& addedUtc) {
  SymbolIntake intake;
  std::vector<Classified> classified(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SymbolOutcome outcome;
    outcome.fileName = BaseName(files[i].fileName);
    std::string error = Classify(files[i], classified[i], outcome);
    const SymbolFile& file = classified[i].file;
    outcome.name = file.module;
    outcome.kind = error.empty() ? file.kind : "";
    outcome.debugId = file.debugId;
    outcome.timestamp = file.timestamp;
    if (!error.empty()) {
      outcome.status = "refused";
      outcome.error = error;
    }
    intake.files.push_back(outcome);
  }
  // A PDB sent with the image that names it must be that image's own.
  for (size_t i = 0; i < files.size(); ++i) {
    SymbolOutcome& outcome = intake.files[i];
    if (outcome.kind != "pdb") {
      continue;
    }
    std::string named;
    bool matched = false;
    for (size_t j = 0; j < files.size(); ++j) {
      const Classified& image = classified[j];
      if (intake.files[j].kind.empty() || image.file.kind == "pdb" ||
          image.pdbNamed != outcome.name) {
        continue;
      }
      if (image.file.debugId == outcome.debugId) {
        matched = true;
      } else if (named.empty()) {
        named = intake.files[j].fileName + " (" +
                (image.file.debugId.empty() ? std::string("no CodeView id") : image.file.debugId) +
                ")";
      }
    }
    if (!matched && !named.empty()) {
      outcome.status = "refused";
      outcome.error = "its GUID and age " + outcome.debugId + " are not those of " + named +
                      ": it is the PDB of another build";
    }
  }
  std::set<std::string> changed;  // module names whose reports may group differently now
  for (size_t i = 0; i < files.size(); ++i) {
    SymbolOutcome& outcome = intake.files[i];
    SymbolFile& file = classified[i].file;
    if (outcome.status == "refused") {
      std::string().swap(files[i].bytes);
      continue;
    }
    file.fileName = outcome.fileName;
    file.addedUtc = addedUtc;
    file.bytes.swap(files[i].bytes);
    bool already = false;
    std::string error;
    outcome.id = store.AddSymbolFile(file, already, error);
    std::string().swap(file.bytes);
    if (outcome.id == 0) {
      outcome.status = "refused";
      outcome.error = "cannot store it: " + error;
      continue;
    }
    outcome.status = already ? "already stored" : "stored";
    if (already) {
      continue;
    }
    if (file.kind != "pdb") {
      changed.insert(file.module);
      continue;
    }
    // A PDB names no module: the images of its build do, and the reports name its GUID and age
    // in their module lines (its frame data walks them even without an image).
    changed.insert(file.debugId);
    SymbolQuery query;
    query.byDebugId = true;
    query.debugId = file.debugId;
    std::vector<SymbolFile> images;
    if (store.FindSymbolFiles(query, images, error)) {
      for (const SymbolFile& image : images) {
        if (image.kind != "pdb") {
          changed.insert(image.module);
        }
      }
    }
  }
  std::string error;
  if (!RegroupStacks(store, std::vector<std::string>(changed.begin(), changed.end()),
                     intake.regrouped, error)) {
    intake.regroupError = error.empty() ? "unknown failure" : error;
  }
  return intake;
}

}  // namespace collector
