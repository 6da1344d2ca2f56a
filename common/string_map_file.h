// `StringMapFile`: a map from string to string stored as an `ArchiveCount`
// of pairs followed by each key and value as `ArchiveString`. Pair order
// carries no meaning; keys compare exactly (letter case matters); bytes
// after the counted pairs are never read.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "common/archive.h"

namespace common {

// Iterates in byte order of the keys, so written files are reproducible.
using StringMap = std::map<std::string, std::string>;

struct StringMapFile {
  // Reads the count and the pairs into `map`: a later pair with an equal
  // key replaces the earlier value, pairs of `map` the input does not name
  // stay. False when the input ends (or fails) before the counted pairs
  // were read; the pairs read until then stay in `map`. A huge count costs
  // nothing up front: pairs are read one by one until the input runs out.
  static bool Read(ArchiveReader* reader, StringMap* map);
  // Writes the count and every pair; the caller flushes the writer.
  static void Write(ArchiveWriter* writer, const StringMap& map);

  // The same over bytes in memory.
  static bool Decode(std::string_view data, StringMap* map);
  static std::string Encode(const StringMap& map);
};

// Opens the file at the Windows `path` for reading (other openers may read
// and write) and reads it as above. False when it cannot be opened (the map
// is unchanged) or is short; the last error is that of the failed open.
bool ReadStringMapFile(std::string_view path, StringMap* map);

// Opens the file for writing, creating it when absent. With `truncate`
// false the old content is not cut first: when it was longer, its tail
// stays behind the new pairs (readers never look there). False when the
// file cannot be opened or a write fails.
bool WriteStringMapFile(std::string_view path, const StringMap& map, bool truncate);

}  // namespace common
