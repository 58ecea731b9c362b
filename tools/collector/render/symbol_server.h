#pragma once

#include <string>

#include "ingest/symbol_intake.h"
#include "render/read_api.h"

namespace collector {

class ReportStore;

// True for the paths of the symbol server: /symbols/ and everything below it.
bool IsSymbolServerPath(const std::string& path);

// The answer to an authorized GET of a symbol server path, in the layout debuggers ask for
// (SSQP, as symstore lays files out): /symbols/NAME.pdb/GUIDAGE/NAME.pdb (the GUID as 32 hex
// digits, then the age in hex) and /symbols/NAME.exe/TIMESTAMPSIZE/NAME.exe (TimeDateStamp as 8
// hex digits, then SizeOfImage in hex), any case in the names and the digits. The file's exact
// bytes, or 404.
ApiAnswer AnswerSymbolServer(ReportStore& store, const std::string& path);

// True when the Authorization header value is "Basic BASE64(USER:TOKEN)" with this token as the
// password, whatever the user: debuggers' symbol clients (WinDbg's symsrv) ask for a user name
// and password when answered 401 with "WWW-Authenticate: Basic", and send no bearer token.
bool BasicPasswordMatches(const std::string& token, const std::string& authorization);

// The JSON answer to a symbol upload: each file with the key it is kept under and whether it
// was "stored", "already stored" or "refused" (and why); 200 when none was refused, else 422.
ApiAnswer SymbolUploadAnswer(const SymbolIntake& intake);

}  // namespace collector
