#include "common/string_map_file.h"


namespace common {

bool StringMapFile::Read(ArchiveReader* reader, StringMap* map) {
  uint32_t count;
  if (!reader->ReadCount(&count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    std::string key, value;
    if (!reader->ReadString(&key) || !reader->ReadString(&value)) return false;
    // Written maps come in key order, so the end is the right hint.
    map->insert_or_assign(map->end(), std::move(key), std::move(value));
  }
  return true;
}

void StringMapFile::Write(ArchiveWriter* writer, const StringMap& map) {
  // A map never holds 4 billion pairs; the count is capped so the encoding
  // stays well-formed even then.
  writer->WriteCount(map.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(map.size()));
  uint32_t written = 0;
  for (const auto& [key, value] : map) {
    if (written++ == 0xFFFFFFFFu) break;
    writer->WriteString(key);
    writer->WriteString(value);
  }
}

bool StringMapFile::Decode(std::string_view data, StringMap* map) {
  MemorySource source(data);
  ArchiveReader reader(&source);
  return Read(&reader, map);
}

std::string StringMapFile::Encode(const StringMap& map) {
  std::string out;
  StringSink sink(&out);
  {
    ArchiveWriter writer(&sink);
    Write(&writer, map);
    writer.Flush();
  }
  return out;
}

}  // namespace common
