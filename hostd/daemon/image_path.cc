#include "hostd/daemon/image_path.h"

#include "platform/strings.h"

namespace hostd {

std::string ExpandImagePath(std::string_view path, const std::string& windows_dir) {
  std::string drive = windows_dir.size() >= 2 && windows_dir[1] == ':' ? windows_dir.substr(0, 2) : "C:";
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '%') {
      size_t end = path.find('%', i + 1);
      if (end != std::string_view::npos) {
        std::string_view var = path.substr(i + 1, end - i - 1);
        const std::string* value = nullptr;
        if (platform::EqualsIgnoreCase(var, "SystemRoot") || platform::EqualsIgnoreCase(var, "windir"))
          value = &windows_dir;
        else if (platform::EqualsIgnoreCase(var, "SystemDrive"))
          value = &drive;
        if (value) {
          out += *value;
          i = end + 1;
          continue;
        }
      }
    }
    out += path[i++];
  }
  return out;
}

}  // namespace hostd
