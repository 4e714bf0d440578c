// Copies made at once: the engine decides every entry on its own thread and
// hands the work of a file copy (create, data, times, mode, close) to a
// small pool of copy workers. Every event goes out in the engine's order:
// the copies handed out and the events told behind them wait in a ring of
// slots, and the engine tells the oldest once its copy is done (a copy not
// yet started is then done by the engine itself). A replacement is written
// aside by its worker and renamed over the old file only when told, in
// order. Once an abort is seen (Ctrl+C, or -e after the first failure told)
// nothing more is told, and the copies behind it are undone: a new file is
// deleted, a replacement's aside file removed with the old file untouched.
#include <cstring>
#include <new>

#include "base/threads.h"
#include "fs/file_ops.h"
#include "sync/engine_state.h"

namespace sync_engine {

namespace {

enum class SlotState : uint8_t { event, waiting, running, done };

struct Slot {
  SlotState state = SlotState::event;
  SyncEvent event = SyncEvent::Identical;  // an event slot's
  char* path = nullptr;                    // the relative path (kept for the next use)
  uint64_t path_capacity = 0;
  Copy copy;
};

struct Worker {
  Overlap* overlap = nullptr;
  HANDLE thread = nullptr;
  Condition wake;
  bool idle = false;  // parked for work (under the lock)
  void* buffer = nullptr;
};

}  // namespace

struct Overlap {
  Lock lock;
  Condition engine_wait;  // the engine waits for the oldest copy
  Slot* slots = nullptr;
  uint32_t capacity = 0;
  uint64_t head = 0;  // the oldest slot not told; written by the engine under the lock
  uint64_t tail = 0;  // the next slot to fill; the same
  uint64_t next = 0;  // the next slot a worker looks at (under the lock)
  Worker* workers = nullptr;
  uint32_t copies = 1;   // copies at once asked for
  uint32_t started = 0;  // workers running
  bool tried = false;
  bool stop = false;     // the workers end (under the lock)
  bool telling = false;  // the engine tells a slot: its events go out at once
  bool stopped = false;  // an abort was seen while telling: the rest is undone
};

namespace {

Slot& slot_at(Overlap* o, uint64_t index) { return o->slots[index % o->capacity]; }

// Makes the copy, or after an abort only lets its source go: it would be
// undone anyway.
void run_or_drop(Copy* c) {
  if (c->aborted())
    close_handle(&c->source);
  else
    copy_run(c);
}

DWORD WINAPI copy_worker(void* parameter) {
  auto* w = static_cast<Worker*>(parameter);
  Overlap* o = w->overlap;
  lock_acquire(&o->lock);
  while (!o->stop) {
    if (o->next < o->head) o->next = o->head;
    Slot* s = nullptr;
    while (s == nullptr && o->next < o->tail) {
      Slot& candidate = slot_at(o, o->next++);
      if (candidate.state == SlotState::waiting) s = &candidate;
    }
    if (s == nullptr) {
      w->idle = true;
      condition_wait(&w->wake, &o->lock);
      w->idle = false;
      continue;
    }
    s->state = SlotState::running;
    lock_release(&o->lock);
    s->copy.buffer = w->buffer;
    run_or_drop(&s->copy);
    lock_acquire(&o->lock);
    s->state = SlotState::done;
    condition_signal(&o->engine_wait);
  }
  lock_release(&o->lock);
  condition_done(&w->wake);
  return 0;
}

// Starts the workers at the first copy handed out; each has its own copy
// buffer. Fewer start where the thread table or the memory says no.
void start_workers(Overlap* o) {
  o->tried = true;
  for (uint32_t i = 0; i < o->copies; ++i) {
    Worker& w = o->workers[i];
    w.overlap = o;
    w.buffer = block_alloc(kSyncCopyBufferSize);
    if (w.buffer != nullptr) w.thread = thread_start(ThreadKind::copy_worker, copy_worker, &w);
    if (w.thread == nullptr) {
      if (w.buffer != nullptr) block_free(w.buffer, kSyncCopyBufferSize);
      w.buffer = nullptr;
      break;
    }
    ++o->started;
  }
}

// Tells the event to the run's callback. A target that keeps no extended
// attributes is told once per run: the first time in the engine's order.
void tell(Engine* g, SyncEvent event, const char* relative) {
  if (event == SyncEvent::XattrsNotKept) {
    if (g->xattrs_refused) return;
    g->xattrs_refused = true;
  }
  if (g->callback) g->callback(g->user, event, relative);
}

// The relative path a copy's event is about.
const char* event_path(Engine* g, const Copy& c, const Copy::Told& e) {
  if (!e.folder_part) return c.rel;
  const size_t n = folder_part_length(c.rel);
  const char* folder = n > 0 ? pool_strndup(&g->step_pool.allocator, c.rel, n) : ".";
  return folder ? folder : ".";
}

// Tells the slot's event, or what came of its copy and finishes it; after
// an abort, undoes it instead.
void tell_slot(Engine* g, Slot* s) {
  Overlap* o = g->overlap;
  if (!o->stopped && g->aborted()) o->stopped = true;
  if (s->state == SlotState::event) {
    if (!o->stopped) tell(g, s->event, s->path);
    return;
  }
  Copy& c = s->copy;
  if (o->stopped) {
    if (c.done) entry_delete_at(c.folder, c.replace ? c.aside : c.name);
    return;
  }
  o->telling = true;
  for (uint32_t i = 0; i < c.event_count; ++i) tell(g, c.events[i].event, event_path(g, c, c.events[i]));
  if (c.done) {
    g->bytes += c.bytes;
    if (c.wants_id) links_remember(g, &c.info, c.rel, c.copy_id);
    if (c.replace)
      put_in_place(g, c.folder, c.aside, c.name, c.old_attr, c.rel);
    else
      tell(g, SyncEvent::Added, c.rel);
  }
  o->telling = false;
  // An abort raised by what was just told ends the telling here.
  if (g->aborted()) o->stopped = true;
}

// Tells the oldest slot. With `wait`, first waits for its copy under way,
// or does its copy where no worker has started it; without, tells it only
// when it is ready. False when there was none to tell.
bool tell_oldest(Engine* g, bool wait) {
  Overlap* o = g->overlap;
  lock_acquire(&o->lock);
  Slot* s = o->head == o->tail ? nullptr : &slot_at(o, o->head);
  while (s != nullptr && wait && s->state == SlotState::running) condition_wait(&o->engine_wait, &o->lock);
  const bool take = s != nullptr && wait && s->state == SlotState::waiting;
  if (take) s->state = SlotState::running;
  const bool ready = s != nullptr && (take || s->state == SlotState::done || s->state == SlotState::event);
  lock_release(&o->lock);
  if (!ready) return false;
  if (take) {
    s->copy.buffer = g->buffer;
    run_or_drop(&s->copy);
  }
  tell_slot(g, s);
  LockGuard guard(&o->lock);
  s->state = SlotState::event;
  ++o->head;
  return true;
}

// Tells the oldest slots in order: those ready, or with `all` every one.
void tell_ready(Engine* g, bool all) {
  while (tell_oldest(g, all)) {
  }
}

// Room for a path of `length` bytes in the slot.
bool slot_path(Slot* s, const char* relative) {
  const uint64_t length = str_len(relative);
  if (length + 1 > s->path_capacity) {
    const uint64_t capacity = length < 256 ? 256 : (length + 1) * 2;
    auto* path = static_cast<char*>(block_alloc(capacity));
    if (path == nullptr) return false;
    if (s->path) block_free(s->path, s->path_capacity);
    s->path = path;
    s->path_capacity = capacity;
  }
  std::memcpy(s->path, relative, length + 1);
  return true;
}

// The next free slot, once the oldest has been told where all are in use.
Slot* slot_take(Engine* g, const char* relative) {
  Overlap* o = g->overlap;
  while (o->tail - o->head == o->capacity) tell_oldest(g, true);
  Slot* s = &slot_at(o, o->tail);
  return slot_path(s, relative) ? s : nullptr;
}

// Makes the filled slot one of the ring's, for the workers to see.
void slot_publish(Overlap* o, Slot* s, SlotState state) {
  LockGuard guard(&o->lock);
  s->state = state;
  ++o->tail;
  if (state != SlotState::waiting) return;
  for (uint32_t i = 0; i < o->started; ++i)
    if (o->workers[i].idle) {
      o->workers[i].idle = false;
      condition_signal(&o->workers[i].wake);
      return;
    }
}

}  // namespace

void Engine::report(SyncEvent event, const char* relative) {
  Overlap* o = overlap;
  if (o == nullptr || o->telling || o->head == o->tail) {
    if (o == nullptr || !o->stopped) tell(this, event, relative);
    return;
  }
  Slot* s = slot_take(this, relative);
  if (s == nullptr) {
    // No memory to keep it: everything before it is told first.
    settle(this);
    if (!o->stopped) tell(this, event, relative);
    return;
  }
  s->event = event;
  slot_publish(o, s, SlotState::event);
}

bool overlap_start(Engine* g, uint32_t copies) {
  constexpr uint32_t kSlotsPerCopy = 4;
  void* memory = block_alloc(sizeof(Overlap));
  if (memory == nullptr) return false;
  auto* o = new (memory) Overlap{};
  o->copies = copies < 1 ? 1 : copies > kSyncCopiesMax ? kSyncCopiesMax : copies;
  o->capacity = o->copies * kSlotsPerCopy;
  o->slots = static_cast<Slot*>(block_alloc(o->capacity * sizeof(Slot)));
  o->workers = static_cast<Worker*>(block_alloc(o->copies * sizeof(Worker)));
  g->overlap = o;
  if (o->slots == nullptr || o->workers == nullptr) return false;
  for (uint32_t i = 0; i < o->capacity; ++i) new (&o->slots[i]) Slot{};
  for (uint32_t i = 0; i < o->copies; ++i) new (&o->workers[i]) Worker{};
  return true;
}

void overlap_end(Engine* g) {
  Overlap* o = g->overlap;
  if (o == nullptr) return;
  if (o->slots != nullptr) settle(g);
  lock_acquire(&o->lock);
  o->stop = true;
  for (uint32_t i = 0; i < o->started; ++i) condition_signal(&o->workers[i].wake);
  lock_release(&o->lock);
  for (uint32_t i = 0; i < o->started; ++i) {
    thread_join(ThreadKind::copy_worker, o->workers[i].thread);
    block_free(o->workers[i].buffer, kSyncCopyBufferSize);
  }
  if (o->slots != nullptr) {
    for (uint32_t i = 0; i < o->capacity; ++i)
      if (o->slots[i].path) block_free(o->slots[i].path, o->slots[i].path_capacity);
    block_free(o->slots, o->capacity * sizeof(Slot));
  }
  if (o->workers != nullptr) block_free(o->workers, o->copies * sizeof(Worker));
  condition_done(&o->engine_wait);
  o->~Overlap();
  block_free(o, sizeof *o);
  g->overlap = nullptr;
}

bool settle(Engine* g) {
  Overlap* o = g->overlap;
  if (o == nullptr) return true;
  if (o->head != o->tail) tell_ready(g, true);
  return !o->stopped;
}

void copy_hand_out(Engine* g, HANDLE folder, const char* name, const char* rel, const FileInfo* old) {
  Overlap* o = g->overlap;
  if (o == nullptr) {
    close_handle(&g->source_handle);
    g->report(SyncEvent::CreateFailed, rel);
    return;
  }
  const FileInfo* info = g->source.info;
  // A large file is copied on the engine's thread, which measures it out;
  // so is every file when one copy at a time is asked for.
  const bool here = o->copies <= 1 || (info != nullptr && info->size >= kSyncProgressMinimum);
  if (here && !settle(g)) {
    close_handle(&g->source_handle);
    return;
  }
  if (!here && !o->tried) start_workers(o);
  Slot* s = slot_take(g, rel);
  if (s == nullptr) {
    close_handle(&g->source_handle);
    g->report(SyncEvent::CreateFailed, rel);
    return;
  }
  Copy& c = s->copy;
  c = Copy{};
  c.source = g->source_handle;
  g->source_handle = kNoHandle;
  c.folder = folder;
  c.rel = s->path;
  c.name = s->path + (name - rel);
  c.listed = info != nullptr;
  if (info) c.info = *info;
  c.replace = old != nullptr;
  c.old_attr = old ? old->sys_attr : 0;
  c.check_times = folder != g->times_checked;
  g->times_checked = folder;
  c.wants_id = links_has_names(g, info);
  c.abort = g->abort;
  if (here || o->started == 0) {
    c.buffer = g->buffer;
    if (here) {
      c.progress = g->progress;
      c.user = g->user;
    }
    copy_run(&c);
    slot_publish(o, s, SlotState::done);
  } else {
    slot_publish(o, s, SlotState::waiting);
  }
  tell_ready(g, false);
}

}  // namespace sync_engine
