#include "platform/folder_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/host.h"
#include "platform/path.h"

namespace platform {
namespace {

inline unsigned char Upper(char c) {
  return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
}

}  // namespace

bool FindFileOrderLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = Upper(a[i]), cb = Upper(b[i]);
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool VisitFolder(std::string_view folder,
                 const std::function<void(std::string_view name, bool directory)>& visit) {
  Host* host = Host::Current();
  std::string real;
  if (!host || !ResolvePath(*host, ParseWindowsPath(folder), &real)) {
    SetLastError(kErrorPathNotFound);
    return false;
  }
  int fd = ::open(real.empty() ? "/" : real.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == EACCES ? kErrorAccessDenied : kErrorPathNotFound);
    return false;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    SetLastError(kErrorAccessDenied);
    return false;
  }
  while (dirent* e = ::readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    bool directory = e->d_type == DT_DIR;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat st;
      directory = ::fstatat(fd, n, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    visit(n, directory);
  }
  ::closedir(dir);
  return true;
}

bool ListFolder(std::string_view folder, std::vector<FolderEntry>* entries) {
  std::vector<FolderEntry> found;
  if (!VisitFolder(folder, [&](std::string_view name, bool directory) {
        found.push_back({std::string(name), directory});
      }))
    return false;
  std::sort(found.begin(), found.end(), [](const FolderEntry& a, const FolderEntry& b) {
    return FindFileOrderLess(a.name, b.name);
  });
  *entries = std::move(found);
  return true;
}

}  // namespace platform
