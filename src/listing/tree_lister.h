// Tree lister: a folder tree as one ordered stream of entries, with the
// filters applied. Each folder is read completely into a DirLevel (its
// entries in collation order) before the first of them is handed out.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "base/signals.h"
#include "fs/file_info.h"
#include "listing/dir_reader.h"

// The entry stream the engine reads. `next` hands out the entry's full path
// (folder path ending in '\', then the name), the name offset (the length of
// the folder part) and its information (may be null). They stay valid until
// the next call on the same lister. `next` answers err::ok,
// err::no_more_files when the tree is exhausted, or an error value. An error
// about one folder or entry comes with that entry's path and name offset
// (information null); any other non-zero result leaves every output null or
// 0.
struct TreeLister;
struct TreeListerOps {
  void (*destroy)(TreeLister* self);
  Error (*next)(TreeLister* self, const char** path, uint64_t* name_offset, const FileInfo** info);
  // The root folder's own information; null for a virtual folder.
  const FileInfo* (*root)(TreeLister* self);
  // From the next entry on, a folder that is the given one (same volume and
  // file id) is left out of the walk: neither handed out nor entered.
  void (*exclude)(TreeLister* self, const FileInfo* folder);
  // The open folder that holds the entry last handed out, valid as long as
  // that entry; -1 when there is none.
  HANDLE (*folder)(TreeLister* self);
};
struct TreeLister {
  const TreeListerOps* ops;
};

inline Error tree_lister_next(TreeLister* l, const char** path, uint64_t* name_offset, const FileInfo** info) {
  return l->ops->next(l, path, name_offset, info);
}
inline const FileInfo* tree_lister_root(TreeLister* l) { return l->ops->root(l); }
inline void tree_lister_exclude(TreeLister* l, const FileInfo* folder) { l->ops->exclude(l, folder); }
inline HANDLE tree_lister_folder(TreeLister* l) { return l->ops->folder(l); }

// True when both records name the same file: the same volume and the same
// non-zero file id (a record without a file id matches nothing).
bool file_info_same_file(const FileInfo* a, const FileInfo* b);

inline void tree_lister_destroy(TreeLister* l) {
  if (l) l->ops->destroy(l);
}

// Opens a lister on the root folder (null or "" means "."). `filters` is a
// null-terminated array of filter arguments ("+pattern", "-pattern" or
// "pattern"), or null. On failure *out is null and nothing is left allocated;
// a root that cannot be opened fails with its reader's error. With
// LIST_READ_AHEAD the root's entries are read on the lister's worker: a
// failure to read them comes from the first next, naming the root.
Error tree_lister_open(TreeLister** out, CancelContext* cancel, const char* root, uint32_t flags,
                       const char* const* filters);

// One folder, read in full into an ordered index whose entry records live in
// the level's own pool; the folder's reader is closed before this returns.
// Fails with 1223 when the cancellation context asks to stop before an entry.
struct DirLevel;
Error dir_level_open(DirLevel** out, CancelContext* cancel, const char* folder_path, uint32_t flags);
