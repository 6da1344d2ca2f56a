#include "platform/debug.h"

#include <unistd.h>

#include <cerrno>
#include <string>

extern const char* __progname;  // glibc: the program's base name

namespace platform {

void OutputDebugString(std::string_view text) {
  std::string line = "[";
  line += __progname;
  line += "] ";
  line.append(text);
  if (line.empty() || line.back() != '\n') line += '\n';
  int saved = errno;
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  errno = saved;
}

}  // namespace platform
