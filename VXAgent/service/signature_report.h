// The signature report, SpySignatures.txt in the system folder: after each
// scan run, one line per distinct file or program the scan log names,
//   spy name "#@#" path "#@#" signature LF
// with the signature computed by the library Imprinter.dll (export
// CreateSignature). The file is rewritten by every report; a run whose log
// names no file or program, or that finds no library, leaves it alone.
#pragma once

#include <string>
#include <vector>

namespace vxagent {

inline constexpr const char* kSpySignaturesFile = "SpySignatures.txt";
inline constexpr const char* kImprinterLibrary = "Imprinter.dll";
inline constexpr const char* kCreateSignatureExport = "CreateSignature";
inline constexpr size_t kSignatureBufferSize = 256;

// CreateSignature(path, 0, buffer of 256 bytes): writes a NUL-terminated
// signature of the file at the Windows `path` into the buffer. Its result
// is not used.
using CreateSignatureFn = int (*)(const char* path, int flags, char* signature);

// System folder + "\SpySignatures.txt".
std::string SpySignaturesPath();

// Reads the scan log and reports every "File" and "Process" item once, at
// its first line, with that line's spy name.
void CreateReportCE();

// Writes the report for `paths[i]` found as spy `names[i]`. Files that
// cannot be opened are left out unless they end in ".exe" (a running
// program's image); files shorter than 16 bytes are left out. Returns 1
// when Imprinter.dll or its export is missing (no file written), else 0.
int createReport(const std::vector<std::string>& paths, const std::vector<std::string>& names);

}  // namespace vxagent
