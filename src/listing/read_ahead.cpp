// The tree lister's read-ahead worker and its jobs.
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

#include "listing/read_ahead.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "base/threads.h"

namespace tree_walk {

enum class JobState : uint8_t { waiting, reading, done, taken };

struct AheadJob {
  Frame entry;       // the folder's entry in its level (its information: `info`)
  FileInfo info;
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
  // The root folder, read on the worker first when it was handed over.
  DirReader* root_reader = nullptr;  // waiting to be read
  DirLevel* root_level = nullptr;    // read, not taken yet
  Error root_error = err::ok;
  bool root_read = false;
  PathBuffer path{};  // the worker's
};

namespace {

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
    if (DirReader* reader = a->root_reader) {
      a->root_reader = nullptr;
      lock_release(&a->lock);
      DirLevel* level = nullptr;
      const Error e = level_read_root(&level, a->cancel, reader);
      lock_acquire(&a->lock);
      a->root_level = level;
      a->root_error = e;
      a->root_read = true;
      wake_walk(a);
      continue;
    }
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

// Starts the worker unless it was tried before; whether there is one.
bool worker_started(ReadAhead* a) {
  if (!a->thread_tried) {
    a->thread_tried = true;
    a->thread = thread_start(ThreadKind::folder_reader, read_ahead_worker, a);
  }
  return a->thread != nullptr;
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

}  // namespace

ReadAhead* read_ahead_create(CancelContext* cancel, uint32_t flags) {
  void* memory = block_alloc(sizeof(ReadAhead));
  if (!memory) return nullptr;
  auto* a = new (memory) ReadAhead{};
  a->cancel = cancel;
  a->flags = flags;
  return a;
}

void read_ahead_drop(ReadAhead* a, LevelJobs* jobs) {
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

void read_ahead_destroy(ReadAhead* a) {
  if (!a) return;
  if (a->thread) {
    lock_acquire(&a->lock);
    a->stop = true;
    wake_worker(a);
    lock_release(&a->lock);
    thread_join(ThreadKind::folder_reader, a->thread);
    a->thread = nullptr;
  }
  // The worker is gone: what is left of the jobs (those of the levels still
  // open, deepest first) is only freed.
  while (a->top) read_ahead_drop(a, a->top);
  if (a->root_reader) dir_reader_destroy(a->root_reader);
  level_destroy(a->root_level);
  condition_done(&a->walk_wait);
  path_buffer_free(&a->path);
  a->~ReadAhead();
  block_free(a, sizeof *a);
}

LevelJobs* read_ahead_schedule(ReadAhead* a, DirLevel* level, WalkEnters enters, void* walk) {
  if (!a || !level) return nullptr;
  if (level->folders == 0 || level->folders > UINT32_MAX) return nullptr;
  const auto folders = static_cast<uint32_t>(level->folders);
  if (!worker_started(a)) return nullptr;
  auto* jobs = static_cast<LevelJobs*>(block_alloc(jobs_size(folders)));
  if (!jobs) return nullptr;
  std::memset(jobs, 0, jobs_size(folders));
  jobs->capacity = folders;
  for (uint64_t i = 0; i < level->count && jobs->count < folders; ++i) {
    const LevelEntry* e = level->slots[i].entry;
    AheadJob& job = jobs->jobs[jobs->count];
    const FileInfo* info = level_entry_info(level, e, &job.info);
    if (!info || !info->is_dir || !enters(walk, level, e->name, info)) continue;
    job.entry = Frame{level, e->name, level->folder_length, &job.info, 0, 0, 0, 0, nullptr};
    ++jobs->count;
  }
  if (jobs->count == 0) {
    block_free(jobs, jobs_size(folders));
    return nullptr;
  }
  LockGuard guard(&a->lock);
  jobs->older = a->top;
  a->top = jobs;
  wake_worker(a);
  return jobs;
}

bool read_ahead_root(ReadAhead* a, DirReader* reader) {
  if (!a || !worker_started(a)) return false;
  LockGuard guard(&a->lock);
  a->root_reader = reader;
  wake_worker(a);
  return true;
}

Error read_ahead_take_root(ReadAhead* a, DirLevel** out) {
  LockGuard guard(&a->lock);
  while (!a->root_read) walk_wait(a);
  *out = a->root_level;
  a->root_level = nullptr;
  return a->root_error;
}

bool read_ahead_take(ReadAhead* a, LevelJobs* jobs, const Frame& entry, DirLevel** out, Error* result) {
  *out = nullptr;
  *result = err::ok;
  if (!a || !jobs) return false;
  LockGuard guard(&a->lock);
  AheadJob* job = nullptr;
  while (!job && jobs->cursor < jobs->count) {
    AheadJob* j = &jobs->jobs[jobs->cursor++];
    if (j->entry.name == entry.name)
      job = j;
    else
      pass_job(a, j);
  }
  if (!job) return false;
  while (job->state == JobState::reading) walk_wait(a);
  const bool read = job->state == JobState::done;
  if (read) {
    *out = job->result;
    *result = job->error;
    --a->ready;
    wake_worker(a);
  }
  job->state = JobState::taken;
  return read;
}

}  // namespace tree_walk
