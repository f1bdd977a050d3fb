// The trace tab's files: the crypto library's trace switch file and the
// folder of its trace files. No shell is involved anywhere.
#pragma once

#include <string>

namespace kestrin::app {

// The five lines of the switch file, the folder given with "%HOME%" for a
// home prefix.
std::string TraceConfigText(const std::string& folder, const char* home);
// Creates the folders (0700, with parents) and replaces the file (0600) by a
// rename; false on failure.
bool WriteTraceConfig();
// Removes the file; a missing file is no failure.
void RemoveTraceConfig();
// Creates the trace folder (0700, with parents); false on failure.
bool MakeTraceFolder();
// Unlinks the regular files and links named "*.trc" in the trace folder,
// never following a link nor entering a folder: the number removed.
int DeleteTraceFiles();

}  // namespace kestrin::app
