#include "VXAgent/engine/path_probe.h"

#include <algorithm>

#include "platform/strings.h"

namespace engine {
namespace {

constexpr auto kListingLife = std::chrono::seconds(1);

inline unsigned char Upper(char c) {
  return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
}

// Upper-case order, the primary key of FindFile's order.
bool UpperLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (Upper(a[i]) != Upper(b[i])) return Upper(a[i]) < Upper(b[i]);
  return a.size() < b.size();
}

const platform::FolderEntry* Find(const std::vector<platform::FolderEntry>& entries,
                                  std::string_view name) {
  auto it = std::lower_bound(entries.begin(), entries.end(), name,
                             [](const platform::FolderEntry& e, std::string_view n) {
                               return UpperLess(e.name, n);
                             });
  for (; it != entries.end() && platform::EqualsIgnoreCase(it->name, name); ++it) return &*it;
  return nullptr;
}

}  // namespace

const PathProbe::Listing& PathProbe::ListingOf(const std::string& folder) {
  const auto now = std::chrono::steady_clock::now();
  Listing& listing = listings_[folder];
  if (listing.taken == std::chrono::steady_clock::time_point() || now - listing.taken > kListingLife) {
    listing.entries.clear();
    listing.exists = platform::ListFolder(folder, &listing.entries);
    listing.taken = now;
  }
  return listing;
}

const PathProbe::Listing* PathProbe::ParentListing(std::string_view path, size_t last_backslash) {
  const auto now = std::chrono::steady_clock::now();
  const std::string_view parent = path.substr(0, last_backslash + 1);
  auto known = parents_.find(parent);
  if (known != parents_.end() && now - known->second.taken <= kListingLife) return known->second.listing;
  // Walk from the drive's root, each folder's stored name found in its
  // parent's listing.
  const Listing* listing = nullptr;
  std::string folder(path.substr(0, 3));  // "X:"
  size_t start = 3;
  for (;;) {
    const Listing& current = ListingOf(folder);
    if (!current.exists) break;
    if (start > last_backslash) {
      listing = &current;
      break;
    }
    size_t end = path.find('\\', start);
    const platform::FolderEntry* entry = Find(current.entries, path.substr(start, end - start));
    if (!entry || !entry->directory) break;
    folder.append(entry->name).push_back('\\');
    start = end + 1;
  }
  Parent& slot = known != parents_.end() ? known->second : parents_[std::string(parent)];
  slot.listing = listing;
  slot.taken = now;
  return listing;
}

PathProbe::Answer PathProbe::Probe(std::string_view path) {
  if (path.size() < 4 || path[1] != ':' || path[2] != '\\') return Answer::kUnsure;
  // One pass over the components (see Judgeable).
  size_t start = 3;
  for (size_t i = 3; i <= path.size(); ++i) {
    const char c = i < path.size() ? path[i] : '\\';
    if (c == '\\') {
      if (i == start || path[i - 1] == '.' || path[i - 1] == ' ') return Answer::kUnsure;
      start = i + 1;
    } else if (c == '~' || c == '*' || c == '?' || c == '/' || c == '"' || c == '<' || c == '>' ||
               c == '|' || c == ':') {
      return Answer::kUnsure;
    }
  }
  const size_t last = path.rfind('\\');
  const Listing* parent = ParentListing(path, last);
  if (!parent) return Answer::kAbsent;
  const platform::FolderEntry* entry = Find(parent->entries, path.substr(last + 1));
  if (!entry) return Answer::kAbsent;
  return entry->directory ? Answer::kFolder : Answer::kFile;
}

}  // namespace engine
