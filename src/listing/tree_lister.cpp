// Tree lister: the walk over the folder levels (dir_level.h), folders before
// their contents and, on request, again after them, with the filters
// applied. On request a thread of the lister's own reads the next folders
// early (read_ahead.h).
#include "listing/tree_lister.h"

#include <cstring>

#include "fs/path.h"
#include "listing/dir_level.h"
#include "listing/filter.h"
#include "listing/read_ahead.h"

namespace {

using tree_walk::Frame;
using tree_walk::LevelJobs;
using tree_walk::PathBuffer;
using tree_walk::ReadAhead;
using tree_walk::path_compose;

struct SuspendedFrame {
  SuspendedFrame* next;  // the next older frame
  Frame frame;
};

struct Lister {
  TreeLister base;  // operation table (first field)
  CancelContext* cancel;
  ReadAhead* ahead;  // null without LIST_READ_AHEAD
  StringPool filter_pool;
  Error pending;
  uint32_t flags;
  uint64_t root_prefix;
  uint64_t filter_count;
  const char** filters;  // prepared, null-terminated
  SuspendedFrame* stack;  // newest first
  Frame current;
  StringPool scratch;     // strings of one pass of `next`
  PathBuffer path;        // the full path handed out or looked at last
  // The entry an error is about, handed out with the error.
  const char* error_path;
  uint64_t error_offset;
  FileInfo root_info;
  FileInfo excluded;      // a folder left out of the walk (no file id: none)
  HANDLE entry_folder;    // the folder holding the entry last handed out
  bool root_ahead;        // the root folder is being read by the read-ahead
  const char* root_path;  // then its path, with its separator (filter pool)
};

// Whether the walk goes into the listed entry: a folder that is not a link
// (unless reached through one) and that the filters may select something
// in. A repeat of an enclosing folder is refused later, when it is met.
enum class Descend { no, yes, no_memory };

Descend descends(Lister* self, const char* relative_path, const char* relative, const FileInfo* fi) {
  if (!fi || (fi->is_link && !fi->via_link) || !fi->is_dir) return Descend::no;
  if (self->filter_count == 0) return Descend::yes;
  const char* tail = path_join(&self->scratch, relative_path, "**");
  if (!tail) return Descend::no_memory;
  return filter_may_descend(self->filters, relative, tail) ? Descend::yes : Descend::no;
}

bool is_excluded(const Lister* self, const FileInfo* info);

// The relative path of the entry `name` of `level`, and the same with a
// trailing separator, for the filters; none are made without filters. False
// without memory.
bool relative_paths(Lister* self, const DirLevel* level, const char* name, const char** relative_path,
                    const char** relative) {
  *relative_path = *relative = nullptr;
  if (self->filter_count == 0) return true;
  const char* full = path_compose(&self->path, level, name);
  if (!full) return false;
  *relative_path = full + self->root_prefix;
  *relative = path_join(&self->scratch, *relative_path, "");
  return *relative != nullptr;
}

// Whether the walk enters the listed subfolder `entry` of `level`, as far as
// it can tell before opening it.
bool walk_enters(void* walk, const DirLevel* level, const char* name, const FileInfo* info) {
  auto* self = static_cast<Lister*>(walk);
  if (is_excluded(self, info)) return false;
  const char* relative_path = nullptr;
  const char* relative = nullptr;
  return relative_paths(self, level, name, &relative_path, &relative) &&
         descends(self, relative_path, relative, info) == Descend::yes;
}

// Hands the subfolders of the level that just became current to the
// read-ahead.
void schedule(Lister* self) {
  self->current.scheduled = 1;
  LevelJobs* jobs = tree_walk::read_ahead_schedule(self->ahead, self->current.level, walk_enters, self);
  pool_release(&self->scratch);
  if (jobs) self->current.jobs = jobs;
}

// The level of the folder entry `entry`: read ahead when its job is done,
// else read now.
Error take_level(Lister* self, const Frame& entry, DirLevel** out) {
  Error e = err::ok;
  if (tree_walk::read_ahead_take(self->ahead, entry.jobs, entry, out, &e)) return e;
  return tree_walk::level_open_at(out, self->cancel, entry.level, entry, self->flags, &self->path);
}

void lister_destroy(TreeLister* base) {
  auto* self = reinterpret_cast<Lister*>(base);
  if (!self) return;
  tree_walk::read_ahead_destroy(self->ahead);
  self->ahead = nullptr;
  if (self->current.level) self->current.level->ops->destroy(self->current.level);
  while (SuspendedFrame* s = self->stack) {
    self->stack = s->next;
    if (s->frame.level) s->frame.level->ops->destroy(s->frame.level);
    block_free(s, sizeof *s);
  }
  pool_release(&self->scratch);
  pool_release(&self->filter_pool);
  tree_walk::path_buffer_free(&self->path);
  block_free(self, sizeof *self);
}

void set_pending(Lister* self, Error e, const char* path, uint64_t name_offset) {
  self->pending = e;
  self->error_path = path;
  self->error_offset = name_offset;
}

// An error about the entry `name` of `level`; without memory for its path
// the error comes with none.
void set_pending_at(Lister* self, Error e, const DirLevel* level, const char* name) {
  name = str_or_empty(name);
  const char* path = path_compose(&self->path, level, name);
  set_pending(self, e, path, level ? level->folder_length : str_len(name));
}

// Resumes the parent of a finished (or unreadable) folder: the folder's own
// entry becomes current again, now as its after-contents delivery.
void resume_parent(Lister* self) {
  SuspendedFrame* s = self->stack;
  self->stack = s->next;
  self->current = s->frame;
  block_free(s, sizeof *s);
  if (self->current.info) self->current.info->after_contents = 1;
  // What stays in a folder keeps it, and so its parent, from being emptied.
  if (self->current.left_out) {
    if (self->current.info) self->current.info->holds_left_out = 1;
    if (self->stack) self->stack->frame.left_out = 1;
  }
  self->current.delivered = (self->flags & LIST_DIRS_AFTER_CONTENTS) ? 0 : 1;
}

// Two open folders are one when volume and whole file id agree (both were
// read the same way, so in the same width).
bool same_folder(const FileInfo* a, const FileInfo* b) {
  return std::memcmp(a->volume_id, b->volume_id, sizeof a->volume_id) == 0 && a->file_id[0] == b->file_id[0] &&
         a->file_id[1] == b->file_id[1];
}

bool is_excluded(const Lister* self, const FileInfo* info) {
  return info && info->is_dir && !info->is_link && file_info_same_file(info, &self->excluded);
}

// True when the folder just opened for the newest suspended frame's entry is
// one that an enclosing entry of the walk opened already (a loop through a
// mount point or a followed link). What was opened counts, not what was
// listed: a mount point lists as itself but leads elsewhere. The root has no
// entry of its own, so the first repeat of the root is entered once. A
// folder without a file id cannot be told apart and never counts.
bool is_cycle(const Lister* self, const DirLevel* opened) {
  const FileInfo* info = &opened->folder_info;
  if ((info->file_id[0] | info->file_id[1]) == 0) return false;
  for (const SuspendedFrame* s = self->stack; s && s->next; s = s->next)
    if (same_folder(&s->frame.level->folder_info, info)) return true;
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
    // The buffer's folder path still holds the parent's as its start.
    if (self->path.holds == self->current.level) self->path.holds = self->current.level->parent;
    tree_walk::read_ahead_drop(self->ahead, self->current.jobs);
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
  self->current.left_out = 0;
  const Error e = self->current.level->ops->next(self->current.level, &self->current.name,
                                                 &self->current.name_offset, &self->current.info);
  if (e == err::no_more_files) return leave_folder(self) ? Pass::again : Pass::stop;
  if (e != err::ok) {
    set_pending(self, e, nullptr, 0);
    return Pass::stop;
  }
  if (is_excluded(self, self->current.info)) {
    if (self->stack) self->stack->frame.left_out = 1;
    return Pass::again;
  }
  return Pass::entry;
}

// Suspends the current frame and opens its folder as the new current one.
// False when there is no memory for the frame.
bool enter_folder(Lister* self) {
  auto* s = static_cast<SuspendedFrame*>(block_alloc(sizeof(SuspendedFrame)));
  if (!s) {
    set_pending_at(self, err::out_of_memory, self->current.level, self->current.name);
    return false;
  }
  s->frame = self->current;
  s->next = self->stack;
  self->stack = s;
  self->current = Frame{};
  const Error open = take_level(self, s->frame, &self->current.level);
  if (open == err::ok && is_cycle(self, self->current.level)) {
    // Not entered: the entry becomes current again, still owed its delivery.
    self->current.level->ops->destroy(self->current.level);
    self->current = s->frame;
    self->stack = s->next;
    block_free(s, sizeof *s);
    set_pending_at(self, err::folder_cycle, self->current.level, self->current.name);
    return true;
  }
  if (open != err::ok) set_pending_at(self, open, s->frame.level, s->frame.name);
  // Entries left out make the folder's listing incomplete: a read error
  // naming the first of them, reported before the folder's entries.
  if (open == err::ok && self->current.level->refused)
    set_pending_at(self, err::invalid_name, self->current.level, self->current.level->refused_name);
  self->current.delivered = 1;
  self->current.selected = s->frame.selected;
  return true;
}

// Selects the entry just read by the filters, and enters it when it is a
// folder the walk goes into: one that is not a link (unless reached through
// one), that the filters may select something in, and that does not repeat
// an enclosing folder once opened.
Pass select_and_enter(Lister* self) {
  const char* relative_path = nullptr;
  const char* relative = nullptr;
  if (!relative_paths(self, self->current.level, self->current.name, &relative_path, &relative)) {
    set_pending_at(self, err::out_of_memory, self->current.level, self->current.name);
    return Pass::stop;
  }
  self->current.selected = filter_selects(self->filters, relative) ? 1 : 0;
  if (!self->current.selected && self->stack) self->stack->frame.left_out = 1;

  switch (descends(self, relative_path, relative, self->current.info)) {
    case Descend::no:
      return Pass::again;
    case Descend::no_memory:
      set_pending_at(self, err::out_of_memory, self->current.level, self->current.name);
      return Pass::stop;
    case Descend::yes:
      break;
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
  const char* full = chosen ? path_compose(&self->path, chosen->level, chosen->name) : nullptr;
  if (chosen && !full) {
    if (path) *path = nullptr;
    if (name_offset) *name_offset = 0;
    if (info) *info = nullptr;
    return err::out_of_memory;
  }
  if (chosen) {
    chosen->delivered = 1;
    if (path) *path = full;
    if (name_offset) *name_offset = chosen->name_offset;
    if (info) *info = chosen->info;
    return err::ok;
  }
  if (path) *path = nullptr;
  if (name_offset) *name_offset = 0;
  if (info) *info = nullptr;
  return err::no_more_files;
}

// The root level has become current: names it could not list are reported
// first.
void take_root(Lister* self) {
  if (self->current.level->refused)
    set_pending_at(self, err::invalid_name, self->current.level, self->current.level->refused_name);
}

// Waits for the root folder the read-ahead reads. A failure is reported
// once, about the root, and the walk is over.
void wait_root(Lister* self) {
  self->root_ahead = false;
  const Error e = tree_walk::read_ahead_take_root(self->ahead, &self->current.level);
  if (e == err::ok) {
    take_root(self);
    return;
  }
  set_pending(self, e, self->root_path, self->root_prefix);
}

Error lister_next(TreeLister* base, const char** path, uint64_t* name_offset, const FileInfo** info) {
  auto* self = reinterpret_cast<Lister*>(base);
  if (self->root_ahead) wait_root(self);
  Frame* chosen = nullptr;
  for (;;) {
    // Deliver what is owed before reading on.
    chosen = owed_frame(self);
    if (chosen || self->pending != err::ok) break;
    if (!self->current.level) {
      if (!leave_folder(self)) break;
      continue;
    }
    if (!self->current.scheduled) schedule(self);
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
  if (flags & LIST_READ_AHEAD) {
    self->ahead = tree_walk::read_ahead_create(cancel, flags);
    if (!self->ahead) {
      lister_destroy(&self->base);
      return err::out_of_memory;
    }
  }

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

  DirReader* reader;
  Error e = dir_reader_open(&reader, str_is_empty(root) ? "." : root, flags);
  if (e != err::ok) {
    lister_destroy(&self->base);
    return e;
  }
  self->root_info = reader->folder_info;
  self->root_prefix = reader->folder_length;
  // With a read-ahead the root's entries are read on its worker while the
  // caller goes on (opening the other tree); the first `next` waits for
  // them. Under a fault plan the calls keep one order: read here.
  if (self->ahead && !sys::g_fault_armed.load(std::memory_order_relaxed)) {
    self->root_path = pool_strndup(&self->filter_pool.allocator, reader->path, reader->folder_length);
    if (!self->root_path) {
      dir_reader_destroy(reader);
      lister_destroy(&self->base);
      return err::out_of_memory;
    }
  }
  if (self->root_path && tree_walk::read_ahead_root(self->ahead, reader)) {
    self->root_ahead = true;
    *out = &self->base;
    return err::ok;
  }
  e = tree_walk::level_read_root(&self->current.level, cancel, reader);
  if (e != err::ok) {
    lister_destroy(&self->base);
    return e;
  }
  take_root(self);
  *out = &self->base;
  return err::ok;
}

