#include "common/file_stream.h"
#include "common/string_map_file.h"
#include "platform/file.h"

namespace common {

bool ReadStringMapFile(std::string_view path, StringMap* map) {
  platform::File file;
  if (!file.Open(path, platform::kGenericRead, platform::kShareRead | platform::kShareWrite,
                 platform::kOpenExisting))
    return false;
  FileSource source(&file);
  ArchiveReader reader(&source);
  return StringMapFile::Read(&reader, map);
}

bool WriteStringMapFile(std::string_view path, const StringMap& map, bool truncate) {
  platform::File file;
  if (!file.Open(path, platform::kGenericWrite, platform::kShareRead,
                 truncate ? platform::kCreateAlways : platform::kOpenAlways))
    return false;
  FileSink sink(&file);
  ArchiveWriter writer(&sink);
  StringMapFile::Write(&writer, map);
  bool ok = writer.Flush();
  return file.Flush() && ok;
}

}  // namespace common
