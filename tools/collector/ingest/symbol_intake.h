#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace collector {

class ReportStore;

// One file handed in as symbols: by `collector symbols add` or a POST to /api/symbols.
struct SymbolUpload {
  std::string fileName;  // as given, folders included or not
  std::string bytes;
};

// What became of it.
struct SymbolOutcome {
  std::string fileName;  // without folders
  std::string name;      // the name it is kept under, lower case: the module's, or the PDB's
  std::string kind;      // "debug", "image" or "pdb"; "" when not recognised
  std::string debugId;   // CodeView GUID + age, "" without
  std::string codeId;    // TIMESTAMP%08X + SizeOfImage%x of a PE, "" for a PDB
  uint32_t timestamp = 0;
  std::string status;  // "stored", "already stored" or "refused"
  std::string error;   // why it was refused
  int64_t id = 0;
};

struct SymbolIntake {
  std::vector<SymbolOutcome> files;  // in the order given
  uint64_t regrouped = 0;            // reports moved to other groups by the new symbols
  std::string regroupError;          // "" when regrouping went well
  bool allTaken() const;             // every file stored or already stored
};

// Reads each file's identity and stores it: a PE with DWARF as "debug", one without as
// "image" (it must hold its code), a PDB (MSF 7.0) as "pdb" under its file name and its own
// GUID and age. A PDB sent with an image that names it in its CodeView record but whose GUID or
// age differ is refused: it is another build's. The same file twice is stored once. Then the
// reports whose top frames name the modules that got new symbols are grouped again. The
// files' bytes are released as they are stored.
SymbolIntake TakeSymbolFiles(ReportStore& store, std::vector<SymbolUpload>& files,
                             const std::string& addedUtc);

}  // namespace collector
