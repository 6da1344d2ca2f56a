// Imprinter.dll: one export that signs a file.
//
//   int CreateSignature(const char* path, int flags, char* signature);
//
// `path` is a Windows path of the current host, `flags` is 0, `signature`
// points to 256 bytes that receive the file's SHA-256 as 64 lower-case hex
// digits and a NUL. A file that cannot be read gets the empty text. The
// result is 0 when signed, else the Windows error of the failed step.
#pragma once

extern "C" {
__attribute__((visibility("default"))) int CreateSignature(const char* path, int flags, char* signature);
}
