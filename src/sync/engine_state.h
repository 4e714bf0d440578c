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
  Error root_unreadable = 0;    // the root's own entries could not be read (before any entry)
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

// The events of one copy, in their order; told by the engine once the copy
// is done.
constexpr uint32_t kCopyEvents = 8;

// One file copy: prepared on the engine's thread, done there or on a copy
// worker, then told and finished (a replacement put in place) on the
// engine's thread in the engine's order. Nothing in it is shared while a
// worker holds it.
struct Copy {
  HANDLE source = kNoHandle;   // the open source file (the copy's own, closed when done)
  HANDLE target = kNoHandle;   // the target file while it is written
  HANDLE folder = kNoHandle;   // the target folder, of the engine's place: open until told
  const char* rel = nullptr;   // relative path
  const char* name = nullptr;  // name within `folder` (the end of `rel`)
  FileInfo info{};             // the source as listed
  bool listed = false;
  bool replace = false;        // written under `aside`, renamed over `name` when told
  bool check_times = false;    // read back the write time set (once per folder)
  bool wants_id = false;       // a file of several names: its copy's id is kept
  uint32_t old_attr = 0;       // the replaced file's attributes as listed
  char aside[16] = {};
  // Where and how it runs.
  void* buffer = nullptr;
  Signal* abort = nullptr;
  void (*progress)(void* user, const char* relative_path, uint64_t done, uint64_t total) = nullptr;
  void* user = nullptr;
  // What came of it.
  bool done = false;           // the copy is whole (under `aside` for a replacement)
  uint64_t bytes = 0;
  uint64_t copy_id = 0;
  uint32_t event_count = 0;
  struct Told {
    SyncEvent event;
    bool folder_part;          // about the folder of `rel` rather than `rel`
  } events[kCopyEvents] = {};

  bool aborted() const { return abort != nullptr && signal_is_raised(abort); }
  void report(SyncEvent event, bool folder_part = false) {
    if (event_count < kCopyEvents) events[event_count++] = Told{event, folder_part};
  }
  // Tells how far the copy of a large file has come (on the engine's thread).
  void measure(uint64_t done_bytes, uint64_t total) {
    if (progress && total >= kSyncProgressMinimum) progress(user, rel, done_bytes, total);
  }
};

// The copies handed out and the events behind them, in the engine's order
// (overlap.cpp).
struct Overlap;

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
  bool source_preopened = false;  // source_handle already belongs to the pending source file
  HANDLE times_checked = kNoHandle;  // the target folder whose write times were last read back
  bool xattrs_refused = false;    // the target has refused extended attributes (told once)
  void* linked = nullptr;         // the source files of several names met so far, by file (hard_links.cpp)
  uint64_t bytes = 0;  // file data copied (or, to a virtual target, read)
  void (*progress)(void* user, const char* relative_path, uint64_t done, uint64_t total) = nullptr;
  uint32_t copies = 0;            // copies made at once as asked (0: the default for the target)
  Overlap* overlap = nullptr;

  bool aborted() const { return abort != nullptr && signal_is_raised(abort); }
  // Tells an event, in the engine's order: behind the copies still under
  // way, if any (overlap.cpp).
  void report(SyncEvent event, const char* relative);
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
// Does the copy: a new target file `name` of its folder, or for a
// replacement a new file beside it under an unused name. A failure or an
// abort deletes the partial file. The source is closed at the end.
void copy_run(Copy* c);

// Makes a new entry of the open folder under an unused name `.tarn~N` by
// `make` (which answers err::already_exists for a name in use); the name in
// `temp`.
using AsideName = char[16];
using AsideMaker = Error (*)(HANDLE folder, const char* name, void* context);
Error make_aside(HANDLE folder, AsideName& temp, AsideMaker make, void* context);
// Renames the entry `temp` of the open target folder over its entry
// `old_name` (of the attributes `old_attr` as listed) and reports the
// replacement; on failure removes `temp` and reports DeleteFailed.
bool put_in_place(Engine* g, HANDLE folder, const char* temp, const char* old_name, uint32_t old_attr,
                  const char* rel);

// Whether giving an entry its extended attributes went well (`e`). A target
// that keeps none is told once per run and counts as done.
bool xattrs_kept(Engine* g, Error e, const char* rel);
// Gives the entry `name` of the open target folder the pending source
// entry's extended attributes (not to a link); false on a failure. Nothing
// is opened when the listings show neither entry has any (`target`: the
// target entry as listed, null when not listed).
bool xattrs_in_place(Engine* g, HANDLE folder, const char* name, const char* rel, const FileInfo* target);

// Copies made at once (overlap.cpp). Every event goes out in the engine's
// order: one told while copies are under way waits behind them.

// Sets up the run's copies: `copies` at once (1: all on the engine's
// thread). False when there is no memory for it.
bool overlap_start(Engine* g, uint32_t copies);
// Settles, stops the workers and frees what overlap_start made.
void overlap_end(Engine* g);
// Waits for every copy handed out and tells every event waiting, in order.
// Once an abort is seen while telling, nothing more is told and the copies
// not yet told are undone: then false, and the caller does nothing more.
bool settle(Engine* g);
// Hands out the copy of the open source file (taken from the engine) to
// the entry `name` of the open target folder: a new file, or with `old`
// (the target file as listed) its replacement.
void copy_hand_out(Engine* g, HANDLE folder, const char* name, const char* rel, const FileInfo* old);

// Files of several names (hard_links.cpp). Each later name of a source file
// becomes, in the target, a new name of the first one's copy.

// Whether the source file `s` has several names the run links.
bool links_has_names(const Engine* g, const FileInfo* s);
// Remembers the copy of the source file `s`, when it has several names:
// the target entry `rel` of file id `copy_id` (0 when a test run made none).
void links_remember(Engine* g, const FileInfo* s, const char* rel, uint64_t copy_id);
// A later name met only in the source: made (or, under a test run, told) as
// a new name of the first one's copy. False when it is no such name or the
// link cannot be made: then it is copied.
bool links_add_name(Engine* g, const char* rel);
// A later name met on both sides: identical when the target entry is the
// first one's copy, else a target file is replaced by a new link. False
// when it is no such name, or the pair takes the usual way.
bool links_pair(Engine* g, const char* rel);

}  // namespace sync_engine
