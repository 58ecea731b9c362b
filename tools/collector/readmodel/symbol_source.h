#pragma once

#include <cstdint>
#include <string>

#include "formats/stack_text.h"
#include "formats/symbolizer.h"

namespace collector {

class ReportStore;

// Where llvm-symbolizer finds a module's lines: a PE with DWARF alone, or a PE image with the
// PDB its CodeView record names, laid beside it.
struct SymbolSource {
  int64_t id = 0;        // the stored file the results are kept under (the PDB or the DWARF PE)
  int64_t objectId = 0;  // the PE handed to llvm-symbolizer
  int64_t pdbId = 0;     // 0 without a PDB
  uint64_t imageBase = 0;
};

// The source for a module line of stack.txt. A PDB is used only with its own image: both must
// carry the module's CodeView GUID and age, so a PDB of another build never is. A module with
// neither a PDB and image nor a DWARF file gets found == false.
bool FindSymbolSource(ReportStore& store, const StackModule& module, SymbolSource& out,
                      bool& found, std::string& error);

// Writes the source's files into the scratch directory, the PDB under the name the image's
// CodeView record gives, beside the image, where llvm-symbolizer looks for it. Returns the
// object's path, or "" on failure.
std::string LaySymbolSource(ReportStore& store, const SymbolSource& source, ScratchDir& scratch);

// The file name a CodeView record's path ends in (either kind of slash), "" when none is usable.
std::string PdbFileName(const std::string& codeViewPath);

}  // namespace collector
