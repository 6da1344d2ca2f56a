// Quick answers to "is anything at this path?" for the thousands of paths
// that one scan's file and folder tests ask about, most of them absent.
// Each folder on the way is listed once (names and folder flags) and kept
// for a short while, so that definitions sharing a few folders cost one
// listing per folder instead of a case-insensitive search per path.
//
// Only "nothing there" (or "something of the other kind") is meant to be
// trusted; a path that may be present is tested the ordinary way, and paths
// the probe cannot judge (wildcards, short names, unusual components) are
// answered kUnsure.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/folder_list.h"

namespace engine {

class PathProbe {
 public:
  enum class Answer { kAbsent, kFile, kFolder, kUnsure };

  // kUnsure for paths the listings cannot judge (the path resolver treats
  // them in its own ways): not "X:\...", an empty component, one ending in
  // "." or a blank (which covers "." and ".."), short names ("~"),
  // wildcards and other special characters.
  Answer Probe(std::string_view windows_path);
  // Drops every listing (after the scan changed something on disk).
  void Forget() {
    listings_.clear();
    parents_.clear();
  }

 private:
  struct Listing {
    bool exists = false;
    std::vector<platform::FolderEntry> entries;  // FindFile's order
    std::chrono::steady_clock::time_point taken;
  };
  // The listing of `folder` (a Windows path ending in "\"), listed anew
  // when it is older than a second.
  const Listing& ListingOf(const std::string& folder);

  // The folder of a path's last component: its listing, or null when
  // there is no such folder.
  const Listing* ParentListing(std::string_view path, size_t last_backslash);

  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  struct Parent {
    const Listing* listing = nullptr;
    std::chrono::steady_clock::time_point taken;
  };
  std::unordered_map<std::string, Listing> listings_;
  // By the parent folder as the definitions write it: most definitions
  // share a few folders, so most paths need one look-up here.
  std::unordered_map<std::string, Parent, Hash, std::equal_to<>> parents_;
};

}  // namespace engine
