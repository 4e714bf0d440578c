// The tree lister's parts for one folder: a folder read in full into an
// ordered level, the entry frames of the walk, and the buffer that composes
// full paths. Private to the listing layer.
#pragma once

#include <cstdint>

#include "base/memory.h"
#include "listing/dir_reader.h"
#include "listing/tree_lister.h"

namespace tree_walk {

struct DirLevelOps {
  void (*destroy)(DirLevel* self);
  // The name of the entry under the cursor, then the cursor moves on; 18
  // past the end, and on every call after that.
  Error (*next)(DirLevel* self, const char** name, uint64_t* name_offset, FileInfo** info);
};

}  // namespace tree_walk

namespace tree_walk {
struct LevelSlot;
}

struct DirLevel {
  const tree_walk::DirLevelOps* ops;
  StringPool pool;  // owns every entry record
  // The entries in order, read in full and then sorted once.
  tree_walk::LevelSlot* slots;  // a page block of `capacity` slots, or null
  uint64_t count;
  uint64_t capacity;
  uint64_t cursor;  // the next one handed out
  uint64_t folders;  // entries that are folders
  uint64_t refused; // entries the reader left out (names that are not plain names)
  const char* refused_name;  // the first of them ("" when it could not be kept)
  // The folder's path with its separator is not kept: a level holds only its
  // own name, so memory does not grow with depth times path length. The
  // path is the root's `folder`, then each level's name and a separator.
  const char* folder;      // the root only: its path with its separator
  const DirLevel* parent;  // null for the root
  const char* name;        // in the parent's pool
  uint64_t name_length;
  uint64_t folder_length;  // of the whole path, with the separator
  FileInfo folder_info;  // the folder itself, read from its open handle
  FileInfo current;      // the entry handed out last
  HANDLE handle;         // the folder, open while its entries are handed out
};

namespace tree_walk {

// One entry of a folder, kept small: a folder of many entries is held
// whole. Of its FileInfo it keeps what the walk and its consumers read (the
// creation, access and change times are left out); what most entries share
// with their folder (volume, owner, group, one name, no extended
// attributes, a file id of 64 bits) only when it differs, after the name.
// An entry on another volume (a followed link) keeps its whole FileInfo
// there.
enum class EntryKept : uint8_t { no_info, usual, more, whole };
struct LevelEntry {
  uint64_t file_id;  // low half
  uint64_t size;
  uint64_t write_time;
  uint8_t flags[8];  // FileInfo's bytes from `attr` to `holds_left_out`
  uint32_t sys_attr;
  uint32_t posix_mode;
  EntryKept kept;
  char name[1];  // the name and its terminator
};

// An entry in the level's order, with its sort key (name_order_key).
struct LevelSlot {
  uint64_t key;
  LevelEntry* entry;
};

// The entry's FileInfo as the reader gave it (but for what a compact entry
// leaves out) in `out`; null when it had none.
FileInfo* level_entry_info(const DirLevel* level, const LevelEntry* e, FileInfo* out);

void level_destroy(DirLevel* self);

// A growable buffer for one path at a time. It remembers the level whose
// folder path it holds, so the entries of one folder cost their names only,
// and so does a subfolder of that level.
struct PathBuffer {
  char* text;
  uint64_t capacity;
  const DirLevel* holds;  // null: none
};

void path_buffer_free(PathBuffer* b);

// The full path of the entry `name` of `level` (a null level: `name` is the
// whole path) in the buffer, valid until its next use; null without memory.
const char* path_compose(PathBuffer* b, const DirLevel* level, const char* name);

struct LevelJobs;

// One entry of the walk in the level that holds it.
struct Frame {
  DirLevel* level;   // the folder that holds the entry
  const char* name;  // the entry's name, in the level's pool
  uint64_t name_offset;
  FileInfo* info;
  uint8_t selected;
  uint8_t delivered;
  uint8_t scheduled;  // the level's subfolders were handed to the read-ahead
  uint8_t left_out;   // for a folder being listed: an entry of it (or deeper) was not handed out
  LevelJobs* jobs;    // the subfolders handed to the read-ahead, or null
};

// Reads the rest of the root folder open in `reader` into a new level; the
// reader is destroyed in every case.
Error level_read_root(DirLevel** out, CancelContext* cancel, DirReader* reader);

// Reads the listed subfolder `entry` of the open folder `parent`; its path is
// made in `buffer`.
Error level_open_at(DirLevel** out, CancelContext* cancel, const DirLevel* parent, const Frame& entry,
                    uint32_t flags, PathBuffer* buffer);

}  // namespace tree_walk
