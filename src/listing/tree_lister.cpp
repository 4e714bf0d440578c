// Tree lister: one folder at a time, each read completely into an ordered
// DirLevel; folders before their contents and, on request, again after them.
// On request a thread of the lister's own reads the next folders early.
#include "listing/tree_lister.h"

#include <cstddef>
#include <cstring>
#include <new>

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
  // The name of the entry under the cursor, then the cursor moves on; 18
  // past the end, and on every call after that.
  Error (*next)(DirLevel* self, const char** name, uint64_t* name_offset, FileInfo** info);
};

}  // namespace

struct DirLevel {
  const DirLevelOps* ops;
  StringPool pool;  // owns every entry record
  ji_pos_t cursor;
  void* root;
  Error failed;     // a step that could not be taken, reported once
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
  HANDLE handle;         // the folder, open while its entries are handed out
};

namespace {

// One entry of a folder: index links first, then the entry itself.
struct LevelEntry {
  LevelEntry* child[2];
  FileInfo info;
  FileInfo* info_ref;  // &info, or null when the reader gave no information
  char name[1];        // the name and its terminator
};

// The entries of one folder share the folder's path, which ends at a
// separator (never inside a character), so comparing the names alone orders
// them as the full paths would.
int level_entry_compare(void* context, void* existing) {
  const char* name_a = static_cast<const LevelEntry*>(context)->name;
  const char* name_b = static_cast<const LevelEntry*>(existing)->name;
  const int c = name_compare_folded(name_a, kToTerminator, name_b, kToTerminator);
  return c != 0 ? c : name_compare_exact(name_a, kToTerminator, name_b, kToTerminator);
}

void level_destroy(DirLevel* self) {
  if (!self) return;
  native_close(self->handle);
  pool_release(&self->pool);
  block_free(self, sizeof(DirLevel));
}

Error level_next(DirLevel* self, const char** name, uint64_t* name_offset, FileInfo** info) {
  auto* e = static_cast<LevelEntry*>(ji_current(&self->cursor));
  if (!e) {
    *name = nullptr;
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
  *name = e->name;
  *name_offset = self->folder_length;
  *info = e->info_ref;
  return err::ok;
}

// Writes the level's folder path (folder_length bytes, no terminator).
void level_folder_path(const DirLevel* level, char* out) {
  uint64_t end = level->folder_length;
  for (; level->parent; level = level->parent) {
    out[--end] = '\\';
    end -= level->name_length;
    std::memcpy(out + end, level->name, level->name_length);
  }
  std::memcpy(out, level->folder, end);
}

// A growable buffer for one path at a time. It remembers the level whose
// folder path it holds, so the entries of one folder cost their names only,
// and so does a subfolder of that level.
struct PathBuffer {
  char* text;
  uint64_t capacity;
  const DirLevel* holds;  // null: none
};

void path_buffer_free(PathBuffer* b) {
  if (b->text) block_free(b->text, b->capacity);
  b->text = nullptr;
  b->capacity = 0;
  b->holds = nullptr;
}

// The full path of the entry `name` of `level` (a null level: `name` is the
// whole path) in the buffer, valid until its next use; null without memory.
const char* path_compose(PathBuffer* b, const DirLevel* level, const char* name) {
  const uint64_t folder = level ? level->folder_length : 0;
  const uint64_t length = folder + str_len(name);
  if (length + 1 > b->capacity) {
    const uint64_t capacity = length + 1 + length / 2 + 64;
    auto* text = static_cast<char*>(block_alloc(capacity));
    if (!text) return nullptr;
    const DirLevel* holds = b->holds;
    if (holds) std::memcpy(text, b->text, holds->folder_length);
    path_buffer_free(b);
    b->text = text;
    b->capacity = capacity;
    b->holds = holds;
  }
  if (level && level != b->holds) {
    if (b->holds && level->parent == b->holds) {
      char* at = b->text + b->holds->folder_length;
      std::memcpy(at, level->name, level->name_length);
      at[level->name_length] = '\\';
    } else {
      level_folder_path(level, b->text);
    }
  }
  b->holds = level;
  std::memcpy(b->text + folder, name, length - folder + 1);
  return b->text;
}

constexpr DirLevelOps kLevelOps = {level_destroy, level_next};

bool cancel_requested(CancelContext* cancel) { return cancel != nullptr && signal_is_raised(cancel); }

// ---------------------------------------------------------------- lister

struct LevelJobs;

struct Frame {
  DirLevel* level;   // the folder that holds the entry
  const char* name;  // the entry's name, in the level's pool
  uint64_t name_offset;
  FileInfo* info;
  uint8_t selected;
  uint8_t delivered;
  uint8_t scheduled;  // the level's subfolders were handed to the read-ahead
  LevelJobs* jobs;    // those subfolders, or null
};

// Reads the listed subfolder `entry` of the open folder `parent`; its path is
// made in `buffer`.
Error level_open_at(DirLevel** out, CancelContext* cancel, const DirLevel* parent, const Frame& entry,
                    uint32_t flags, PathBuffer* buffer);

struct SuspendedFrame {
  SuspendedFrame* next;  // the next older frame
  Frame frame;
};

struct ReadAhead;

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
};

// ---------------------------------------------------------------- read-ahead
//
// With LIST_READ_AHEAD a worker thread reads the folders the walk is going to
// enter, in the order it will enter them, while the walk hands out entries.
// When a level becomes current, each of its subfolders the walk would enter
// becomes a job. The worker takes the first waiting job of the deepest level
// that has one (the walk goes depth first) and rests while kAheadReady
// folders it read wait to be taken. The walk takes every decision as before;
// a folder whose job is still waiting is read on the walk's own thread. A
// job holds pointers into its level and opens the folder by the level's
// handle, so a level is destroyed only once none of its jobs is being read.
// Nothing is handed to the worker while a fault plan is armed: planned
// failures then meet the calls in one order.

enum class JobState : uint8_t { waiting, reading, done, taken };

struct AheadJob {
  Frame entry;       // the folder's entry in its level
  DirLevel* result;  // done: the folder read, or null with `error`
  Error error;
  JobState state;
  bool passed;       // the walk went past it while it was being read
};

// The jobs of one level, in the order the walk reaches them.
struct LevelJobs {
  LevelJobs* older;        // the jobs of an enclosing level
  uint32_t capacity;
  uint32_t count;
  uint32_t first_waiting;  // no job before it is waiting
  uint32_t cursor;         // the next job the walk may take
  AheadJob jobs[1];
};

constexpr uint32_t kAheadReady = 4;  // folders read and not yet taken

struct ReadAhead {
  Lock lock;
  LevelJobs* top = nullptr;  // the deepest level's jobs
  uint32_t ready = 0;
  bool stop = false;
  bool thread_tried = false;
  HANDLE thread = nullptr;
  Condition worker_wait;
  Condition walk_wait;
  CancelContext* cancel = nullptr;
  uint32_t flags = 0;
  PathBuffer path{};  // the worker's
};

size_t jobs_size(uint32_t capacity) { return offsetof(LevelJobs, jobs) + capacity * sizeof(AheadJob); }

// Both called with the lock held.
void wake_worker(ReadAhead* a) { condition_signal(&a->worker_wait); }

void wake_walk(ReadAhead* a) { condition_signal(&a->walk_wait); }

// Parks the walk until the worker finishes a job; the lock is held before
// and after. The wait ends with the one folder read under way.
void walk_wait(ReadAhead* a) { condition_wait(&a->walk_wait, &a->lock); }

// The next job to read, in the walk's order; lock held.
AheadJob* next_job(ReadAhead* a) {
  for (LevelJobs* l = a->top; l; l = l->older) {
    while (l->first_waiting < l->count && l->jobs[l->first_waiting].state != JobState::waiting) ++l->first_waiting;
    if (l->first_waiting < l->count) return &l->jobs[l->first_waiting];
  }
  return nullptr;
}

DWORD WINAPI read_ahead_worker(void* parameter) {
  auto* a = static_cast<ReadAhead*>(parameter);
  lock_acquire(&a->lock);
  while (!a->stop) {
    AheadJob* job = a->ready < kAheadReady ? next_job(a) : nullptr;
    if (!job) {
      condition_wait(&a->worker_wait, &a->lock);
      continue;
    }
    job->state = JobState::reading;
    const Frame entry = job->entry;
    lock_release(&a->lock);
    DirLevel* level = nullptr;
    const Error e = level_open_at(&level, a->cancel, entry.level, entry, a->flags, &a->path);
    a->path.holds = nullptr;  // the level it holds may go before the next job
    lock_acquire(&a->lock);
    DirLevel* unwanted = nullptr;
    if (job->passed) {
      unwanted = level;
      job->state = JobState::taken;
    } else {
      job->result = level;
      job->error = e;
      job->state = JobState::done;
      ++a->ready;
    }
    wake_walk(a);
    if (unwanted) {
      lock_release(&a->lock);
      level_destroy(unwanted);
      lock_acquire(&a->lock);
    }
  }
  lock_release(&a->lock);
  condition_done(&a->worker_wait);
  return 0;
}

// The walk will not enter the job's folder; lock held.
void pass_job(ReadAhead* a, AheadJob* job) {
  switch (job->state) {
    case JobState::waiting:
      job->state = JobState::taken;
      break;
    case JobState::reading:
      job->passed = true;
      break;
    case JobState::done:
      level_destroy(job->result);
      job->result = nullptr;
      job->state = JobState::taken;
      --a->ready;
      wake_worker(a);
      break;
    case JobState::taken:
      break;
  }
}

// Before the level of `jobs` is destroyed: its remaining jobs are passed,
// the walk waits for any still being read, and the jobs are freed.
void drop_jobs(Lister* self, LevelJobs* jobs) {
  ReadAhead* a = self->ahead;
  if (!a || !jobs) return;
  lock_acquire(&a->lock);
  for (uint32_t i = 0; i < jobs->count; ++i) {
    pass_job(a, &jobs->jobs[i]);
    while (jobs->jobs[i].state == JobState::reading) walk_wait(a);
  }
  LevelJobs** link = &a->top;
  while (*link && *link != jobs) link = &(*link)->older;
  if (*link) *link = jobs->older;
  lock_release(&a->lock);
  block_free(jobs, jobs_size(jobs->capacity));
}

void read_ahead_destroy(Lister* self) {
  ReadAhead* a = self->ahead;
  if (!a) return;
  if (a->thread) {
    lock_acquire(&a->lock);
    a->stop = true;
    wake_worker(a);
    lock_release(&a->lock);
    thread_join(ThreadKind::folder_reader, a->thread);
    a->thread = nullptr;
  }
  // The worker is gone: what is left of the jobs is only freed.
  if (self->current.level) drop_jobs(self, self->current.jobs);
  for (SuspendedFrame* s = self->stack; s; s = s->next) drop_jobs(self, s->frame.jobs);
  condition_done(&a->walk_wait);
  path_buffer_free(&a->path);
  a->~ReadAhead();
  block_free(a, sizeof *a);
  self->ahead = nullptr;
}

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

// Hands the subfolders of the level that just became current to the worker,
// which is started with the first of them.
void schedule(Lister* self) {
  self->current.scheduled = 1;
  ReadAhead* a = self->ahead;
  DirLevel* level = self->current.level;
  if (!a || !level) return;
  ji_pos_t pos;
  uint32_t folders = 0;
  for (void* p = ji_first(&pos, &level->root); p; p = ji_step(&pos, 1))
    if (const FileInfo* fi = static_cast<LevelEntry*>(p)->info_ref; fi && fi->is_dir) ++folders;
  if (folders == 0) return;
  if (!a->thread_tried) {
    a->thread_tried = true;
    a->thread = thread_start(ThreadKind::folder_reader, read_ahead_worker, a);
  }
  if (!a->thread) return;
  auto* jobs = static_cast<LevelJobs*>(block_alloc(jobs_size(folders)));
  if (!jobs) return;
  std::memset(jobs, 0, jobs_size(folders));
  jobs->capacity = folders;
  for (void* p = ji_first(&pos, &level->root); p && jobs->count < folders; p = ji_step(&pos, 1)) {
    auto* e = static_cast<LevelEntry*>(p);
    if (is_excluded(self, e->info_ref)) continue;
    const char* relative_path = nullptr;
    const char* relative = nullptr;
    if (!relative_paths(self, level, e->name, &relative_path, &relative) ||
        descends(self, relative_path, relative, e->info_ref) != Descend::yes)
      continue;
    AheadJob& job = jobs->jobs[jobs->count++];
    job.entry = Frame{level, e->name, level->folder_length, e->info_ref, 0, 0, 0, nullptr};
  }
  pool_release(&self->scratch);
  if (jobs->count == 0) {
    block_free(jobs, jobs_size(folders));
    return;
  }
  self->current.jobs = jobs;
  LockGuard guard(&a->lock);
  jobs->older = a->top;
  a->top = jobs;
  wake_worker(a);
}

// The level of the folder entry `entry`: read ahead when its job is done,
// else read now.
Error take_level(Lister* self, const Frame& entry, DirLevel** out) {
  *out = nullptr;
  ReadAhead* a = self->ahead;
  LevelJobs* jobs = entry.jobs;
  if (a && jobs) {
    lock_acquire(&a->lock);
    AheadJob* job = nullptr;
    while (!job && jobs->cursor < jobs->count) {
      AheadJob* j = &jobs->jobs[jobs->cursor++];
      if (j->entry.name == entry.name)
        job = j;
      else
        pass_job(a, j);
    }
    bool read = false;
    Error e = err::ok;
    if (job) {
      while (job->state == JobState::reading) walk_wait(a);
      if (job->state == JobState::done) {
        *out = job->result;
        e = job->error;
        read = true;
        --a->ready;
        wake_worker(a);
      }
      job->state = JobState::taken;
    }
    lock_release(&a->lock);
    if (read) return e;
  }
  return level_open_at(out, self->cancel, entry.level, entry, self->flags, &self->path);
}

// ---------------------------------------------------------------- lister

void lister_destroy(TreeLister* base) {
  auto* self = reinterpret_cast<Lister*>(base);
  if (!self) return;
  read_ahead_destroy(self);
  if (self->current.level) self->current.level->ops->destroy(self->current.level);
  while (SuspendedFrame* s = self->stack) {
    self->stack = s->next;
    if (s->frame.level) s->frame.level->ops->destroy(s->frame.level);
    block_free(s, sizeof *s);
  }
  pool_release(&self->scratch);
  pool_release(&self->filter_pool);
  path_buffer_free(&self->path);
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
    drop_jobs(self, self->current.jobs);
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
  const Error e = self->current.level->ops->next(self->current.level, &self->current.name,
                                                 &self->current.name_offset, &self->current.info);
  if (e == err::no_more_files) return leave_folder(self) ? Pass::again : Pass::stop;
  if (e != err::ok) {
    set_pending(self, e, nullptr, 0);
    return Pass::stop;
  }
  if (is_excluded(self, self->current.info)) return Pass::again;
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

namespace {

// Reads the open folder of `reader` into a new level, which takes over the
// folder's handle; the reader is destroyed. The level is the entry `entry`
// of `parent`, or the root when `parent` is null.
Error level_read(DirLevel** out, CancelContext* cancel, DirReader* reader, const DirLevel* parent,
                 const Frame* entry);

}  // namespace

Error dir_level_open(DirLevel** out, CancelContext* cancel, const char* folder_path, uint32_t flags) {
  *out = nullptr;
  DirReader* reader;
  const Error e = dir_reader_open(&reader, folder_path, flags);
  return e != err::ok ? e : level_read(out, cancel, reader, nullptr, nullptr);
}

namespace {

Error level_open_at(DirLevel** out, CancelContext* cancel, const DirLevel* parent, const Frame& entry,
                    uint32_t flags, PathBuffer* buffer) {
  *out = nullptr;
  DirReader* reader;
  Error e;
  if (flags & LIST_NO_FOLLOW_LINKS) {
    // The level keeps only the names the reader hands out, and a reader that
    // follows no link needs no path of its own: the name alone serves.
    e = dir_reader_open_at(&reader, parent->handle, entry.name, 0, entry.info, flags);
  } else {
    const char* path = path_compose(buffer, parent, entry.name);
    if (!path) return err::out_of_memory;
    // A folder reached through a link is opened through it, as asked.
    e = entry.info && entry.info->via_link
            ? dir_reader_open(&reader, path, flags)
            : dir_reader_open_at(&reader, parent->handle, path, entry.name_offset, entry.info, flags);
  }
  if (e == err::ok) e = level_read(out, cancel, reader, parent, &entry);
  return e;
}

Error level_read(DirLevel** out, CancelContext* cancel, DirReader* reader, const DirLevel* parent,
                 const Frame* entry) {
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
    const size_t name_length = str_len(path + name_offset);
    auto* item = static_cast<LevelEntry*>(pool_allocate(&level->pool, offsetof(LevelEntry, name) + name_length + 1));
    if (!item) {
      e = err::out_of_memory;
      break;
    }
    if (info) {
      item->info = *info;
      item->info_ref = &item->info;
    }
    std::memcpy(item->name, path + name_offset, name_length + 1);
    if (ji_insert(&level->root, level_entry_compare, item, item) == 0) {
      e = err::stack_overflow;  // the index cannot hold a path that long
      break;
    }
  }
  level->refused = reader->refused;
  if (reader->refused) level->refused_name = pool_strdup(&level->pool.allocator, reader->refused_name);
  level->folder_info = reader->folder_info;
  if (parent) {
    level->parent = parent;
    level->name = entry->name;
    level->name_length = str_len(entry->name);
    level->folder_length = parent->folder_length + level->name_length + 1;
  } else {
    level->folder = pool_strndup(&level->pool.allocator, reader->path, reader->folder_length);
    level->folder_length = reader->folder_length;
  }
  level->handle = reader->handle;
  reader->handle = INVALID_HANDLE_VALUE;
  dir_reader_destroy(reader);
  if (e == err::no_more_files && !parent && !level->folder) e = err::out_of_memory;
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
  if (flags & LIST_READ_AHEAD) {
    void* memory = block_alloc(sizeof(ReadAhead));
    if (!memory) {
      lister_destroy(&self->base);
      return err::out_of_memory;
    }
    self->ahead = new (memory) ReadAhead{};
    self->ahead->cancel = cancel;
    self->ahead->flags = flags;
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

  const Error e = dir_level_open(&self->current.level, cancel, str_is_empty(root) ? "." : root, flags);
  if (e != err::ok) {
    lister_destroy(&self->base);
    return e;
  }
  self->root_info = self->current.level->folder_info;
  self->root_prefix = self->current.level->folder_length;
  if (self->current.level->refused)
    set_pending_at(self, err::invalid_name, self->current.level, self->current.level->refused_name);
  *out = &self->base;
  return err::ok;
}
