// Kept apart from the expander: it is the one part that searches folders.
#include "VXAgent/engine/path_expander.h"
#include "platform/file.h"

namespace engine {

void ListUserProfiles(const CPathExpander& expander, std::vector<std::string>* list) {
  std::string folder = "%ROOT%";
  expander.Expand(folder);
  folder += "\\Documents and Settings\\";
  platform::FindFile find;
  platform::FindData data;
  if (!find.First(folder + "*.*", &data)) return;
  do {
    if (data.name == "." || data.name == "..") continue;
    list->push_back(folder + data.name);
  } while (find.Next(&data));
}

}  // namespace engine
