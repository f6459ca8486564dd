// Which mounts of the mount table a path really leads to now. A mount point counts only
// when walking its path from the root ends on that very mount: nothing is mounted over its
// root, nothing covers a directory on the way within the mount it sits in, and that mount
// is itself reached the same way. The table's order plays no part (moved mounts come
// before their new parents).
#pragma once

#include "platform/linux/mountinfo.h"

// Fills reachable[0..count). Its working memory comes from the arena and is given back
// there. False when memory runs out.
bool MarkReachableMounts(const MountRecord* const* mounts, int count, bool* reachable, Arena* arena);
