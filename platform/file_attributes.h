// Windows attributes and creation times of local files, kept beside each
// file in extended attributes (see docs/formats/file-attributes.md).
//
// "user.vx.attrs" holds the attribute bits READONLY, HIDDEN, SYSTEM and
// ARCHIVE as 4 bytes little-endian; "user.vx.ctime" holds a creation time
// set through SetFileTime as an 8-byte little-endian FILETIME. Where the
// file system keeps no extended attributes, READONLY lives on in the write
// permission bits alone and the other bits are dropped.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace platform::file_attributes {

// The bits kept on disk (DIRECTORY and NORMAL follow from the entry).
constexpr uint32_t kStoredBits = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

// The Windows attributes of the entry at `real`, whose stat result is `st`:
// the stored bits, else READONLY from the owner write bit and ARCHIVE for
// files; DIRECTORY for folders; NORMAL when nothing else is set.
uint32_t Read(const std::string& real, const struct stat& st);

// Stores `attributes` (only kStoredBits count) for the entry at `real`.
// Files mirror READONLY on their write permission bits. Sets the last
// error and returns false on failure.
bool Write(const std::string& real, const struct stat& st, uint32_t attributes);

// Creation time of an open file or of the entry at a real path: the stored
// one, else the file system's birth time, else the change time. 0 when the
// entry cannot be examined.
FileTime CreationTime(int fd);
FileTime CreationTime(const std::string& real);
// Stores the creation time of an open file. False (last error set) when
// extended attributes are unavailable.
bool WriteCreationTime(int fd, FileTime time);

// Makes this process behave as on a file system without extended
// attributes (the fallback above), for tests of that path.
void DisableExtendedAttributesForTesting(bool disabled);

}  // namespace platform::file_attributes
