// The engine's state during one run, shared by its parts: the merge
// (engine.cpp), the target folders on the way to new entries
// (target_place.cpp) and the file copy (copy.cpp). Private to the sync layer.
#pragma once

#include <cstdint>

#include "base/memory.h"
#include "base/signals.h"
#include "fs/file_info.h"
#include "fs/native.h"
#include "sync/engine.h"
#include "platform/conventions.h"

namespace sync_engine {

HANDLE const kNoHandle = INVALID_HANDLE_VALUE;

// One side of the merge: its lister and its pending entry.
struct Side {
  TreeLister* lister = nullptr;
  const char* base = nullptr;   // root with a separator at its end: the start of every path of the side
  const char* path = nullptr;   // pending entry's full path; null when the side is finished
  const FileInfo* info = nullptr;
  uint64_t offset = 0;          // length of the root prefix of every path
  bool offset_known = false;
  bool listing_failed = false;  // some folder of this side could not be listed
  bool name_unusable = false;   // some name of this side could not be used
  HANDLE folder = INVALID_HANDLE_VALUE;  // the open folder holding the pending entry
  uint64_t name_offset = 0;     // where the pending entry's name starts in path

  const char* relative() const { return path + offset; }
};

// The open target folders on the way to where new entries go: the target
// root, then each folder of a relative path opened by name in the one
// before, never through a link. New entries are made by name within the
// deepest one, so a folder swapped for a link leads nowhere else.
struct Place {
  HANDLE* handles = nullptr;   // handles[0] is the root
  uint64_t* ends = nullptr;    // ends[i]: length of the relative path of handles[i]
  uint32_t depth = 0;          // handles open
  uint32_t capacity = 0;
  char* path = nullptr;        // relative path of the deepest open folder
  uint64_t path_capacity = 0;
};

// The target folders this run created whose final mode, owner and write
// time are still due, each with the listing's record of its source folder:
// each a prefix of `path`, by length, deepest last. A folder the filters
// selected takes them at its delivery after its contents; one made only on
// the way to selected entries (never delivered again), once the walk has
// left it. Nothing else named like them is ever given a mode.
struct Made {
  struct Level {
    uint64_t length;
    FileInfo source;
  };
  Level* levels = nullptr;
  uint32_t depth = 0;
  uint32_t capacity = 0;
  char* path = nullptr;
  uint64_t path_capacity = 0;
};

// The target folders told of held-back deletions that are ancestors of the
// current entry (or the entry's own folder): each a prefix of `path`, by
// length, deepest last. Entries of a folder's subtree come together, so a
// folder left is never met again.
struct HeldBack {
  const char* path = nullptr;
  size_t* lengths = nullptr;
  uint32_t depth = 0;
  uint32_t capacity = 0;
};

struct Engine {
  Signal* abort;
  SyncCallback callback;
  void* user;
  uint32_t flags;
  bool virtual_target;
  bool no_modify;
  Side source;
  Side target;
  Place place;
  Made made;
  // A mount point removed as itself: what the target lister still hands out
  // beneath it lies outside the target and is passed over.
  const char* beyond = nullptr;
  HeldBack held;
  StringPool long_pool;
  StringPool step_pool;
  void* buffer = nullptr;
  HANDLE source_handle = kNoHandle;
  HANDLE target_handle = kNoHandle;
  bool source_preopened = false;  // source_handle already belongs to the pending source file
  HANDLE times_checked = kNoHandle;
  bool xattrs_refused = false;    // the target has refused extended attributes (told once)
  void* linked = nullptr;         // the source files of several names met so far, by file (hard_links.cpp)
  uint64_t bytes = 0;  // file data copied (or, to a virtual target, read)
  void (*progress)(void* user, const char* relative_path, uint64_t done, uint64_t total) = nullptr;  // the target folder whose write times were last read back

  bool aborted() const { return abort != nullptr && signal_is_raised(abort); }
  void report(SyncEvent event, const char* relative) {
    if (callback) callback(user, event, relative);
  }
  bool flag(uint32_t bit) const { return (flags & bit) != 0; }
  // Tells how far the copy or read of a large file has come.
  void measure(const char* relative, uint64_t done, uint64_t total) {
    if (progress && total >= kSyncProgressMinimum) progress(user, relative, done, total);
  }
};

inline bool source_is_link(const FileInfo* i) { return i && i->is_link && !i->via_link; }
inline bool target_is_link(const FileInfo* i) { return i && i->is_link; }
inline bool is_folder(const FileInfo* i) { return i && i->is_dir; }
inline bool is_after_contents(const FileInfo* i) { return i && i->after_contents; }

// The kind of a FIFO, socket or device by its listed mode; 0 for a file,
// folder or link, and where the system keeps no modes.
inline uint32_t special_kind(const FileInfo* i) {
  constexpr uint32_t kType = 0170000, kFile = 0100000, kFolder = 0040000, kLink = 0120000;
  const uint32_t type = i ? i->posix_mode & kType : 0;
  return type == kFile || type == kFolder || type == kLink ? 0 : type;
}

// The event for a source file that could not be opened: a FIFO, socket or
// device is never read, by design.
inline SyncEvent open_failure(const FileInfo* i) {
  return special_kind(i) != 0 ? SyncEvent::SpecialNotRead : SyncEvent::OpenFailed;
}

inline void close_handle(HANDLE* h) {
  native_close(*h);
  *h = kNoHandle;
}


// Target folders (target_place.cpp).

// Closes the place's folders from `depth` on.
void place_trim(Place* p, uint32_t depth);
void place_release(Place* p);
// The target folder that holds the entry of relative path `relative`, and
// where its name starts; -1 when it cannot be opened.
HANDLE place_parent(Engine* g, const char* relative, const char** name);

// Records the folder of relative path `relative` just created for the
// source folder `source`; false when there is no memory for it.
bool made_push(Engine* g, const char* relative, const FileInfo* source);
// Gives the created folders the source walk has left their final mode,
// owner and time: the walk is at the entry of relative path `relative`
// (null: at its end, all of them), a folder's own delivery after its
// contents when `after_contents`.
void made_leave(Engine* g, const char* relative, bool after_contents);
void made_release(Made* m);

// The length of the folder part of a relative path, without its last
// separator (0 for an entry of the root).
inline size_t folder_part_length(const char* relative) {
  size_t n = str_len(relative);
  while (n > 0 && !is_path_separator(relative[n - 1])) --n;
  return n > 0 ? n - 1 : 0;
}

// Whether two write times count as equal (engine.cpp).
bool write_times_match(uint64_t a, uint64_t b);

// Files (copy.cpp).

// Reads both files of a pair that looks identical and compares their data:
// Same, Differ, or Failed (a side could not be read, reported).
enum class Compared { Same, Differ, Failed };
Compared compare_contents(Engine* g, const char* rel);

// Opens the pending source file by name within its open folder.
Error open_source(Engine* g);
// Reads the open source file to its end (read-through of a virtual target).
void read_through(Engine* g, const char* rel);
// Copies the open source file to a new target file `name` of the open
// folder. Any failure or an abort deletes the partial file.
void copy_file(Engine* g, HANDLE folder, const char* name, const char* rel);
// Replaces the pending target file with the open source file.
void replace_file(Engine* g, const char* rel);

// Makes a new entry of the open folder under an unused name `.tarn~N` by
// `make` (which answers err::already_exists for a name in use); the name in
// *temp.
using AsideMaker = Error (*)(Engine* g, HANDLE folder, const char* name, void* context);
Error make_aside(Engine* g, HANDLE folder, const char** temp, AsideMaker make, void* context);
// Renames the entry `temp` of the pending target entry's folder over that
// entry and reports the replacement; on failure removes `temp` and reports
// DeleteFailed.
bool put_in_place(Engine* g, const char* temp, const char* rel);

// Whether giving an entry its extended attributes went well (`e`). A target
// that keeps none is told once per run and counts as done.
bool xattrs_kept(Engine* g, Error e, const char* rel);
// Gives the entry `name` of the open target folder the pending source
// entry's extended attributes (not to a link); false on a failure. Nothing
// is opened when the listings show neither entry has any (`target`: the
// target entry as listed, null when not listed).
bool xattrs_in_place(Engine* g, HANDLE folder, const char* name, const char* rel, const FileInfo* target);

// Files of several names (hard_links.cpp). Each later name of a source file
// becomes, in the target, a new name of the first one's copy.

// Remembers the copy of the pending source file, when it has several names:
// the target entry `rel` of file id `copy_id` (0 when a test run made none).
void links_remember(Engine* g, const char* rel, uint64_t copy_id);
// The same for the copy just written to the open target file.
void links_remember_copy(Engine* g, const char* rel);
// A later name met only in the source: made (or, under a test run, told) as
// a new name of the first one's copy. False when it is no such name or the
// link cannot be made: then it is copied.
bool links_add_name(Engine* g, const char* rel);
// A later name met on both sides: identical when the target entry is the
// first one's copy, else a target file is replaced by a new link. False
// when it is no such name, or the pair takes the usual way.
bool links_pair(Engine* g, const char* rel);

}  // namespace sync_engine
