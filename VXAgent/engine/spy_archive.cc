// The object archive of the definition database, in memory only.
#include <variant>

#include "VXAgent/engine/spy_database.h"

namespace engine {
namespace {

constexpr uint16_t kNullTag = 0x0000;
constexpr uint16_t kNewClassTag = 0xFFFF;
constexpr uint16_t kClassTag = 0x8000;
constexpr uint16_t kBigObjectTag = 0x7FFF;
constexpr uint32_t kBigClassTag = 0x80000000u;

// The index table of one archive: index 0 is no object; every class record
// and every object read takes the next index.
struct ClassEntry {};
using IndexEntry = std::variant<std::monostate, ClassEntry, std::shared_ptr<const CSpy>>;

class SpyArchiveReader {
 public:
  explicit SpyArchiveReader(common::ArchiveReader* in) : in_(in) { table_.emplace_back(); }

  SpyArchiveStatus Read(SpyMap* map) {
    uint32_t count = 0;
    if (!in_->ReadCount(&count)) return SpyArchiveStatus::kTruncated;
    // No reservation: a hostile count simply runs into the end of the input.
    for (uint32_t i = 0; i < count; ++i) {
      std::string name;
      if (!in_->ReadString(&name)) return SpyArchiveStatus::kTruncated;
      std::shared_ptr<const CSpy> spy;
      SpyArchiveStatus status = ReadObject(&spy);
      if (status != SpyArchiveStatus::kOk) return status;
      (*map)[std::move(name)] = std::move(spy);
    }
    return SpyArchiveStatus::kOk;
  }

 private:
  SpyArchiveStatus ReadObject(std::shared_ptr<const CSpy>* out) {
    uint16_t tag = 0;
    if (!in_->ReadUint16(&tag)) return SpyArchiveStatus::kTruncated;
    if (tag == kNullTag) {
      out->reset();
      return SpyArchiveStatus::kOk;
    }
    uint32_t object_tag = 0;
    if (tag == kBigObjectTag) {
      if (!in_->ReadUint32(&object_tag)) return SpyArchiveStatus::kTruncated;
    } else {
      object_tag = (static_cast<uint32_t>(tag & kClassTag) << 16) | (tag & ~kClassTag & 0xFFFF);
    }
    if (!(object_tag & kBigClassTag)) return Reference(object_tag, out);

    if (tag == kNewClassTag) {
      SpyArchiveStatus status = ReadClassRecord();
      if (status != SpyArchiveStatus::kOk) return status;
    } else {
      uint32_t class_index = object_tag & ~kBigClassTag;
      if (class_index >= table_.size() || !std::holds_alternative<ClassEntry>(table_[class_index]))
        return SpyArchiveStatus::kBadTag;
    }
    // The object takes its index before its data is read.
    size_t index = table_.size();
    table_.emplace_back();
    auto spy = std::make_shared<CSpy>();
    SpyArchiveStatus status = ReadSpyData(spy.get());
    if (status != SpyArchiveStatus::kOk) return status;
    table_[index] = std::shared_ptr<const CSpy>(spy);
    *out = std::move(spy);
    return SpyArchiveStatus::kOk;
  }

  SpyArchiveStatus Reference(uint32_t index, std::shared_ptr<const CSpy>* out) {
    if (index >= table_.size()) return SpyArchiveStatus::kBadReference;
    const auto* spy = std::get_if<std::shared_ptr<const CSpy>>(&table_[index]);
    if (!spy) return SpyArchiveStatus::kBadReference;
    *out = *spy;
    return SpyArchiveStatus::kOk;
  }

  SpyArchiveStatus ReadClassRecord() {
    uint16_t schema = 0, length = 0;
    if (!in_->ReadUint16(&schema) || !in_->ReadUint16(&length))
      return SpyArchiveStatus::kTruncated;
    std::string name(std::min<uint64_t>(length, in_->Remaining()), '\0');
    if (name.size() < length || !in_->ReadBytes(name.data(), name.size()))
      return SpyArchiveStatus::kTruncated;
    if (name != kSpyClassName || schema != kSpySchema) return SpyArchiveStatus::kBadClass;
    table_.emplace_back(ClassEntry{});
    return SpyArchiveStatus::kOk;
  }

  SpyArchiveStatus ReadSpyData(CSpy* spy) {
    // The stored order, not the order of the fields.
    for (std::vector<std::string>* list : {&spy->processes, &spy->files, &spy->folders,
                                           &spy->cookies, &spy->regData, &spy->regValues,
                                           &spy->regKeys}) {
      uint32_t count = 0;
      if (!in_->ReadCount(&count)) return SpyArchiveStatus::kTruncated;
      for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        if (!in_->ReadString(&text)) return SpyArchiveStatus::kTruncated;
        list->push_back(std::move(text));
      }
    }
    return SpyArchiveStatus::kOk;
  }

  common::ArchiveReader* in_;
  std::vector<IndexEntry> table_;
};

void WriteList(common::ArchiveWriter* out, const std::vector<std::string>& list) {
  out->WriteCount(static_cast<uint32_t>(list.size()));
  for (const std::string& text : list) out->WriteString(text);
}

}  // namespace

const char* SpyArchiveStatusText(SpyArchiveStatus status) {
  switch (status) {
    case SpyArchiveStatus::kOk: return "ok";
    case SpyArchiveStatus::kTruncated: return "archive ends too early";
    case SpyArchiveStatus::kBadClass: return "class record is not CSpy schema 1";
    case SpyArchiveStatus::kBadTag: return "object of an unknown class";
    case SpyArchiveStatus::kBadReference: return "reference to no earlier object";
  }
  return "unknown";
}

SpyArchiveStatus ReadSpyArchive(common::ArchiveReader* reader, SpyMap* map) {
  return SpyArchiveReader(reader).Read(map);
}

SpyArchiveStatus DecodeSpyArchive(std::string_view archive, SpyMap* map) {
  common::MemorySource source(archive);
  common::ArchiveReader reader(&source);
  return ReadSpyArchive(&reader, map);
}

void WriteSpyArchive(common::ArchiveWriter* out, const SpyMap& map) {
  out->WriteCount(static_cast<uint32_t>(map.size()));
  std::map<const CSpy*, uint32_t> written;  // object -> its index
  uint32_t next_index = 1;
  bool class_written = false;
  for (const auto& [name, spy] : map) {
    out->WriteString(name);
    if (!spy) {
      out->WriteUint16(kNullTag);
      continue;
    }
    if (auto it = written.find(spy.get()); it != written.end()) {
      if (it->second < kBigObjectTag) {
        out->WriteUint16(static_cast<uint16_t>(it->second));
      } else {
        out->WriteUint16(kBigObjectTag);
        out->WriteUint32(it->second);
      }
      continue;
    }
    if (!class_written) {
      out->WriteUint16(kNewClassTag);
      out->WriteUint16(kSpySchema);
      out->WriteUint16(static_cast<uint16_t>(sizeof(kSpyClassName) - 1));
      out->WriteBytes(kSpyClassName, sizeof(kSpyClassName) - 1);
      class_written = true;
      ++next_index;  // the class is index 1
    } else {
      out->WriteUint16(kClassTag | 1);
    }
    written[spy.get()] = next_index++;
    for (const auto* list : {&spy->processes, &spy->files, &spy->folders, &spy->cookies,
                             &spy->regData, &spy->regValues, &spy->regKeys})
      WriteList(out, *list);
  }
}

std::string EncodeSpyArchive(const SpyMap& map) {
  std::string bytes;
  common::StringSink sink(&bytes);
  {
    common::ArchiveWriter writer(&sink);
    WriteSpyArchive(&writer, map);
    writer.Flush();
  }
  return bytes;
}

std::string ExcludeList::Encode(const std::vector<std::string>& names) {
  std::string bytes;
  common::StringSink sink(&bytes);
  {
    common::ArchiveWriter writer(&sink);
    WriteList(&writer, names);
    writer.Flush();
  }
  return bytes;
}

bool ExcludeList::Decode(std::string_view data, std::vector<std::string>* names) {
  common::MemorySource source(data);
  common::ArchiveReader reader(&source);
  uint32_t count = 0;
  std::vector<std::string> read;
  if (!reader.ReadCount(&count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (!reader.ReadString(&name)) return false;
    read.push_back(std::move(name));
  }
  *names = std::move(read);
  return true;
}

}  // namespace engine
