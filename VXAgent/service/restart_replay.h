// The restart replay: at service start, before any pipe exists, the
// deletes and quarantines that could not be finished while their items were
// in use (the restart-delete map in "RestartDelete.db") are carried out.
#pragma once

namespace vxagent {

// Reads "RestartDelete.db"; nothing happens when it cannot be read. Every
// entry is replayed with SpyOperation: a value whose action (the text after
// the first "#") is exactly "Delete" as "DDELETE", any other as
// "QUARANTINE", the type being the text before the "#". The file is then
// deleted; items that fail again are written back to a fresh file, so that
// the next start tries them once more instead of forgetting them.
// Returns the number of entries replayed.
int RestartReplay();

}  // namespace vxagent
