// Tree lister: one folder at a time, each read completely into an ordered
// DirLevel; folders before their contents and, on request, again after them.
#include "listing/tree_lister.h"

#include <cstring>

#include "base/jindex.h"
#include "base/threads.h"
#include "base/unicode.h"
#include "fs/native.h"
#include "fs/path.h"
#include "listing/collation.h"
#include "listing/filter.h"

namespace {

// ---------------------------------------------------------------- DirLevel

struct DirLevelOps {
  void (*destroy)(DirLevel* self);
  // The entry under the cursor, then the cursor moves on; 18 past the end,
  // and on every call after that.
  Error (*next)(DirLevel* self, const char** path, uint64_t* name_offset, FileInfo** info);
};

}  // namespace

struct DirLevel {
  const DirLevelOps* ops;
  StringPool pool;  // owns every entry record
  ji_pos_t cursor;
  void* root;
  Error failed;     // a step that could not be taken, reported once
  uint64_t refused; // entries the reader left out (names that are not plain names)
  const char* folder;  // the folder's path with its separator
  FileInfo folder_info;  // the folder itself, read from its open handle
  HANDLE handle;         // the folder, open while its entries are handed out
};

namespace {

// One entry of a folder: index links first, then the entry itself.
struct LevelEntry {
  LevelEntry* child[2];
  FileInfo info;
  FileInfo* info_ref;  // &info, or null when the reader gave no information
  uint32_t name_offset;
  char path[1];        // the full path and its terminator
};

// The entries of one folder share the folder's path up to their name
// offset, and the shared part ends at a separator (never inside a character),
// so comparing the names alone orders them as the full paths would.
int level_entry_compare(void* context, void* existing) {
  const auto* a = static_cast<const LevelEntry*>(context);
  const auto* b = static_cast<const LevelEntry*>(existing);
  const char* name_a = a->path + a->name_offset;
  const char* name_b = b->path + b->name_offset;
  const int c = name_compare_folded(name_a, kToTerminator, name_b, kToTerminator);
  return c != 0 ? c : name_compare_exact(name_a, kToTerminator, name_b, kToTerminator);
}

void level_destroy(DirLevel* self) {
  if (!self) return;
  native_close(self->handle);
  pool_release(&self->pool);
  block_free(self, sizeof(DirLevel));
}

Error level_next(DirLevel* self, const char** path, uint64_t* name_offset, FileInfo** info) {
  auto* e = static_cast<LevelEntry*>(ji_current(&self->cursor));
  if (!e) {
    *path = nullptr;
    *name_offset = 0;
    *info = nullptr;
    const Error failed = self->failed;
    self->failed = err::ok;
    return failed != err::ok ? failed : err::no_more_files;
  }
  // Past the last entry the cursor has depth 0 and ji_current answers null
  // from then on; the cursor is never stepped from there. A step that needs
  // a longer path than the cursor holds also ends at depth 0; that is
  // reported once instead of the end.
  if (!ji_step(&self->cursor, 1)) self->failed = ji_error(&self->cursor);
  *path = e->path;
  *name_offset = e->name_offset;
  *info = e->info_ref;
  return err::ok;
}

constexpr DirLevelOps kLevelOps = {level_destroy, level_next};

bool cancel_requested(CancelContext* cancel) { return cancel != nullptr && signal_is_raised(cancel); }

// ---------------------------------------------------------------- lister

struct Frame {
  DirLevel* level;
  const char* path;
  uint64_t name_offset;
  FileInfo* info;
  uint8_t selected;
  uint8_t delivered;
};

// Reads the listed subfolder `entry` of the open folder `parent`.
Error level_open_at(DirLevel** out, CancelContext* cancel, const DirLevel* parent, const Frame& entry,
                    uint32_t flags);

struct SuspendedFrame {
  SuspendedFrame* next;  // the next older frame
  Frame frame;
};

struct Lister {
  TreeLister base;  // operation table (first field)
  CancelContext* cancel;
  StringPool filter_pool;
  Error pending;
  uint32_t flags;
  uint64_t root_prefix;
  uint64_t filter_count;
  const char** filters;  // prepared, null-terminated
  SuspendedFrame* stack;  // newest first
  Frame current;
  StringPool scratch;     // strings of one pass of `next`
  // The entry an error is about, handed out with the error.
  const char* error_path;
  uint64_t error_offset;
  FileInfo root_info;
  FileInfo excluded;      // a folder left out of the walk (no file id: none)
  HANDLE entry_folder;    // the folder holding the entry last handed out
};

void lister_destroy(TreeLister* base) {
  auto* self = reinterpret_cast<Lister*>(base);
  if (!self) return;
  if (self->current.level) self->current.level->ops->destroy(self->current.level);
  while (SuspendedFrame* s = self->stack) {
    self->stack = s->next;
    if (s->frame.level) s->frame.level->ops->destroy(s->frame.level);
    block_free(s, sizeof *s);
  }
  pool_release(&self->scratch);
  pool_release(&self->filter_pool);
  block_free(self, sizeof *self);
}

void set_pending(Lister* self, Error e, const char* path, uint64_t name_offset) {
  self->pending = e;
  self->error_path = path;
  self->error_offset = name_offset;
}

// Resumes the parent of a finished (or unreadable) folder: the folder's own
// entry becomes current again, now as its after-contents delivery.
void resume_parent(Lister* self) {
  SuspendedFrame* s = self->stack;
  self->stack = s->next;
  self->current = s->frame;
  block_free(s, sizeof *s);
  if (self->current.info) self->current.info->after_contents = 1;
  self->current.delivered = (self->flags & LIST_DIRS_AFTER_CONTENTS) ? 0 : 1;
}

bool same_folder(const FileInfo* a, const FileInfo* b) {
  return std::memcmp(a->volume_id, b->volume_id, sizeof a->volume_id) == 0 && a->file_id[0] == b->file_id[0];
}

bool is_excluded(const Lister* self, const FileInfo* info) {
  return info && info->is_dir && !info->is_link && file_info_same_file(info, &self->excluded);
}

// True when entering the folder of the current frame would repeat one of the
// folders that enclose it. An entry without a file id (the plain directory
// format) cannot be told apart this way and never counts as a repeat.
bool is_cycle(const Lister* self) {
  const FileInfo* info = self->current.info;
  if (info->file_id[0] == 0) return false;
  for (const SuspendedFrame* s = self->stack; s; s = s->next)
    if (s->frame.info && same_folder(s->frame.info, info)) return true;
  return false;
}

// The frame owed a delivery: when the current entry is selected, the
// outermost enclosing folder not delivered yet, else the entry itself.
Frame* owed_frame(Lister* self) {
  if (!self->current.selected) return nullptr;
  Frame* chosen = nullptr;
  for (SuspendedFrame* s = self->stack; s && !s->frame.delivered; s = s->next) chosen = &s->frame;
  if (!chosen && !self->current.delivered) chosen = &self->current;
  return chosen;
}

// Leaves the current folder (finished, or unreadable and so taken as empty)
// for its parent. False when there is no parent: the walk is over.
bool leave_folder(Lister* self) {
  if (self->current.level) {
    self->current.level->ops->destroy(self->current.level);
    self->current = Frame{};
  }
  if (!self->stack) return false;
  resume_parent(self);
  return true;
}

// How one pass of the walk goes on.
enum class Pass {
  entry,  // an entry was read into the current frame
  again,  // start the next pass
  stop,   // leave the loop: the walk is over or an error is pending
};

// Reads the next entry of the current folder into the current frame.
Pass read_entry(Lister* self) {
  pool_release(&self->scratch);
  self->current.selected = 0;
  self->current.delivered = 0;
  const Error e = self->current.level->ops->next(self->current.level, &self->current.path,
                                                 &self->current.name_offset, &self->current.info);
  if (e == err::no_more_files) return leave_folder(self) ? Pass::again : Pass::stop;
  if (e != err::ok) {
    set_pending(self, e, nullptr, 0);
    return Pass::stop;
  }
  if (self->root_prefix == 0) self->root_prefix = self->current.name_offset;
  if (is_excluded(self, self->current.info)) return Pass::again;
  return Pass::entry;
}

// Suspends the current frame and opens its folder as the new current one.
// False when there is no memory for the frame.
bool enter_folder(Lister* self) {
  auto* s = static_cast<SuspendedFrame*>(block_alloc(sizeof(SuspendedFrame)));
  if (!s) {
    set_pending(self, err::out_of_memory, self->current.path, self->current.name_offset);
    return false;
  }
  s->frame = self->current;
  s->next = self->stack;
  self->stack = s;
  self->current = Frame{};
  const Error open = level_open_at(&self->current.level, self->cancel, s->frame.level, s->frame, self->flags);
  if (open != err::ok) set_pending(self, open, s->frame.path, s->frame.name_offset);
  // Entries left out make the folder's listing incomplete: a read error
  // for the folder, reported before its entries.
  if (open == err::ok && self->current.level->refused)
    set_pending(self, err::invalid_name, s->frame.path, s->frame.name_offset);
  self->current.delivered = 1;
  self->current.selected = s->frame.selected;
  return true;
}

// Selects the entry just read by the filters, and enters it when it is a
// folder the walk goes into: one that is not a link (unless reached through
// one), that the filters may select something in, and that does not repeat
// an enclosing folder.
Pass select_and_enter(Lister* self) {
  const char* relative_path = self->current.path + self->root_prefix;
  StringPool* scratch = &self->scratch;
  const char* relative = path_join(scratch, relative_path, "");
  if (!relative) {
    set_pending(self, err::out_of_memory, self->current.path, self->current.name_offset);
    return Pass::stop;
  }
  self->current.selected = filter_selects(self->filters, relative) ? 1 : 0;

  const FileInfo* fi = self->current.info;
  if (!fi || (fi->is_link && !fi->via_link) || !fi->is_dir) return Pass::again;
  const char* tail = path_join(scratch, relative_path, "**");
  if (!tail) {
    set_pending(self, err::out_of_memory, self->current.path, self->current.name_offset);
    return Pass::stop;
  }
  if (!filter_may_descend(self->filters, relative, tail)) return Pass::again;
  if (is_cycle(self)) {
    set_pending(self, err::folder_cycle, self->current.path, self->current.name_offset);
    return Pass::again;
  }
  return enter_folder(self) ? Pass::again : Pass::stop;
}

// The result of one call: a pending error first (with the entry it is
// about), else the owed frame, else the end of the walk.
Error hand_out(Lister* self, Frame* chosen, const char** path, uint64_t* name_offset, const FileInfo** info) {
  if (self->pending != err::ok) {
    const Error e = self->pending;
    if (path) *path = self->error_path;
    if (name_offset) *name_offset = self->error_path ? self->error_offset : 0;
    if (info) *info = nullptr;
    set_pending(self, err::ok, nullptr, 0);
    return e;
  }
  self->entry_folder = chosen && chosen->level ? chosen->level->handle : INVALID_HANDLE_VALUE;
  if (chosen) {
    chosen->delivered = 1;
    if (path) *path = chosen->path;
    if (name_offset) *name_offset = chosen->name_offset;
    if (info) *info = chosen->info;
    return err::ok;
  }
  if (path) *path = nullptr;
  if (name_offset) *name_offset = 0;
  if (info) *info = nullptr;
  return err::no_more_files;
}

Error lister_next(TreeLister* base, const char** path, uint64_t* name_offset, const FileInfo** info) {
  auto* self = reinterpret_cast<Lister*>(base);
  Frame* chosen = nullptr;
  for (;;) {
    // Deliver what is owed before reading on.
    chosen = owed_frame(self);
    if (chosen || self->pending != err::ok) break;
    if (!self->current.level) {
      if (!leave_folder(self)) break;
      continue;
    }
    Pass pass = read_entry(self);
    if (pass == Pass::entry) pass = select_and_enter(self);
    if (pass == Pass::stop) break;
  }
  return hand_out(self, chosen, path, name_offset, info);
}


const FileInfo* lister_root(TreeLister* base) { return &reinterpret_cast<Lister*>(base)->root_info; }

void lister_exclude(TreeLister* base, const FileInfo* folder) {
  reinterpret_cast<Lister*>(base)->excluded = folder ? *folder : FileInfo{};
}

HANDLE lister_folder(TreeLister* base) { return reinterpret_cast<Lister*>(base)->entry_folder; }

constexpr TreeListerOps kListerOps = {lister_destroy, lister_next, lister_root, lister_exclude, lister_folder};

}  // namespace

bool file_info_same_file(const FileInfo* a, const FileInfo* b) {
  return a && b && (a->file_id[0] | a->file_id[1]) != 0 && a->volume_serial == b->volume_serial &&
         a->file_id[0] == b->file_id[0] && a->file_id[1] == b->file_id[1];
}

namespace {

// Reads the open folder of `reader` into a new level, which takes over the
// folder's handle; the reader is destroyed.
Error level_read(DirLevel** out, CancelContext* cancel, DirReader* reader);

}  // namespace

Error dir_level_open(DirLevel** out, CancelContext* cancel, const char* folder_path, uint32_t flags) {
  *out = nullptr;
  DirReader* reader;
  const Error e = dir_reader_open(&reader, folder_path, flags);
  return e != err::ok ? e : level_read(out, cancel, reader);
}

namespace {

Error level_open_at(DirLevel** out, CancelContext* cancel, const DirLevel* parent, const Frame& entry,
                    uint32_t flags) {
  // A folder reached through a link (when links are followed) is opened
  // through it, as asked.
  if (entry.info && entry.info->via_link) return dir_level_open(out, cancel, entry.path, flags);
  *out = nullptr;
  DirReader* reader;
  const Error e = dir_reader_open_at(&reader, parent->handle, entry.path, entry.name_offset, entry.info, flags);
  return e != err::ok ? e : level_read(out, cancel, reader);
}

Error level_read(DirLevel** out, CancelContext* cancel, DirReader* reader) {
  Error e = err::ok;

  auto* level = static_cast<DirLevel*>(block_alloc(sizeof(DirLevel)));
  if (!level) {
    dir_reader_destroy(reader);
    return err::out_of_memory;
  }
  std::memset(level, 0, sizeof *level);
  level->ops = &kLevelOps;
  pool_init(&level->pool);

  for (;;) {
    if (cancel_requested(cancel)) {
      e = err::cancelled;
      break;
    }
    const char* path;
    uint64_t name_offset;
    const FileInfo* info;
    e = dir_reader_next(reader, &path, &name_offset, &info);
    if (e != err::ok) break;
    const size_t path_length = str_len(path);
    auto* entry = static_cast<LevelEntry*>(pool_allocate(&level->pool, offsetof(LevelEntry, path) + path_length + 1));
    if (!entry) {
      e = err::out_of_memory;
      break;
    }
    if (info) {
      entry->info = *info;
      entry->info_ref = &entry->info;
    }
    entry->name_offset = static_cast<uint32_t>(name_offset);
    std::memcpy(entry->path, path, path_length + 1);
    if (ji_insert(&level->root, level_entry_compare, entry, entry) == 0) {
      e = err::stack_overflow;  // the index cannot hold a path that long
      break;
    }
  }
  level->refused = reader->refused;
  level->folder_info = reader->folder_info;
  level->folder = pool_strndup(&level->pool.allocator, reader->path, reader->folder_length);
  level->handle = reader->handle;
  reader->handle = INVALID_HANDLE_VALUE;
  dir_reader_destroy(reader);
  if (e == err::no_more_files && !level->folder) e = err::out_of_memory;
  if (e != err::no_more_files) {
    level_destroy(level);
    return e;
  }
  if (!ji_first(&level->cursor, &level->root) && ji_error(&level->cursor) != err::ok) {
    const Error overflow = ji_error(&level->cursor);
    level_destroy(level);
    return overflow;
  }
  *out = level;
  return err::ok;
}

}  // namespace

Error tree_lister_open(TreeLister** out, CancelContext* cancel, const char* root, uint32_t flags,
                       const char* const* filters) {
  *out = nullptr;
  auto* self = static_cast<Lister*>(block_alloc(sizeof(Lister)));
  if (!self) return err::out_of_memory;
  std::memset(self, 0, sizeof *self);
  self->base.ops = &kListerOps;
  self->cancel = cancel;
  pool_init(&self->filter_pool);
  pool_init(&self->scratch);
  self->flags = flags;

  uint64_t count = 0;
  if (filters)
    while (filters[count]) ++count;
  self->filter_count = count;
  self->filters = static_cast<const char**>(pool_allocate(&self->filter_pool, (count + 1) * sizeof(char*)));
  bool prepared = self->filters != nullptr;
  for (uint64_t i = 0; prepared && i < count; ++i) {
    self->filters[i] = filter_prepare(&self->filter_pool.allocator, filters[i]);
    prepared = self->filters[i] != nullptr;
  }
  if (!prepared) {
    lister_destroy(&self->base);
    return err::out_of_memory;
  }

  const Error e = dir_level_open(&self->current.level, cancel, str_is_empty(root) ? "." : root, flags);
  if (e != err::ok) {
    lister_destroy(&self->base);
    return e;
  }
  self->root_info = self->current.level->folder_info;
  const char* folder = self->current.level->folder;
  if (self->current.level->refused) set_pending(self, err::invalid_name, folder, str_len(folder));
  *out = &self->base;
  return err::ok;
}
