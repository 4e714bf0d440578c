// The synchronization engine: the merge, one pass over two ordered entry
// streams that decides what becomes of each entry.
#include "sync/engine.h"

#include <cstring>

#include "base/text_format.h"
#include "fs/file_ops.h"
#include "fs/link.h"
#include "fs/path.h"
#include "listing/collation.h"
#include "listing/tree_lister.h"
#include "sync/engine_state.h"

namespace {

using namespace sync_engine;

constexpr uint32_t kListFlags = LIST_NO_FOLLOW_LINKS | LIST_DIRS_AFTER_CONTENTS | LIST_READ_AHEAD;

bool starts_with(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix)
    if (*text != *prefix) return false;
  return true;
}

bool same_text(const char* a, const char* b) { return starts_with(a, b) && str_len(a) == str_len(b); }

// The relative path of an entry a lister names in an error.
const char* error_relative(const Side& side, const char* path) {
  if (side.offset_known && str_len(path) >= side.offset) return path + side.offset;
  if (side.base && starts_with(path, side.base)) return path + str_len(side.base);
  return path;
}

// Whether a path a lister names in an error is the side's root.
bool names_root(const Side& side, const char* path) {
  if (side.base == nullptr) return false;
  const size_t n = str_len(path), b = str_len(side.base);
  return (n == b || n + 1 == b) && std::memcmp(path, side.base, n) == 0;
}

// Reads the side's next entry. A listing error is reported as OpenFailed with
// the folder it names, remembered, and the listing goes on.
void advance(Engine* g, Side* side) {
  for (;;) {
    const char* path = nullptr;
    uint64_t offset = 0;
    const FileInfo* info = nullptr;
    const Error e = tree_lister_next(side->lister, &path, &offset, &info);
    if (e == err::ok && path != nullptr) {
      if (!side->offset_known) {
        side->offset = offset;
        side->offset_known = true;
      }
      side->path = path;
      side->info = info;
      side->folder = tree_lister_folder(side->lister);
      side->name_offset = offset;
      return;
    }
    if (e == err::ok || e == err::no_more_files) break;
    // The root's own entries could not be read: the side cannot be used, as
    // when its root cannot be opened.
    if (!side->offset_known && path != nullptr && e != err::invalid_name && e != err::cancelled &&
        names_root(*side, path)) {
      side->root_unreadable = e;
      break;
    }
    // From here on this side is incomplete: the other side's extras are kept.
    side->listing_failed = true;
    if (e == err::invalid_name) side->name_unusable = true;
    // A cancelled listing ends the run as aborted at the next check; it is
    // not a warning.
    if (e == err::cancelled) break;
    if (path != nullptr) g->report(SyncEvent::OpenFailed, error_relative(*side, path));
  }
  side->path = nullptr;
  side->info = nullptr;
}

// Removes a target entry (or reports that it would). A folder waits for its
// second delivery, after its contents; a link is removed as itself at once.
void remove_target(Engine* g) {
  Side& t = g->target;
  const char* rel = t.relative();
  // A mount point goes as itself at once, like a link; what it leads to is
  // never emptied.
  const bool mount_point = t.info != nullptr && t.info->is_junction && !t.info->is_link;
  if (mount_point) g->beyond = pool_strdup(&g->long_pool.allocator, rel);
  if (is_folder(t.info) && !target_is_link(t.info) && !mount_point && !is_after_contents(t.info)) return;
  if (g->no_modify) {
    // A folder that keeps entries the filters leave out cannot go: a test
    // run tells what the real run would.
    const bool stays = is_folder(t.info) && t.info->holds_left_out;
    g->report(stays ? SyncEvent::DeleteFailed : SyncEvent::Removed, rel);
    return;
  }
  // What is removed cannot be undone: the copies before it are told first.
  if (!settle(g)) return;
  // A folder about to go is no place for new entries (held open, it could
  // not go on Windows).
  if (is_folder(t.info)) place_trim(&g->place, g->place.depth > 0 ? 1 : 0);
  // Removed by name within the folder the target lister holds open, so a
  // folder swapped for a link meanwhile leads nowhere else.
  const Error e = entry_remove_at(t.folder, t.path + t.name_offset, t.info);
  g->report(e == 0 ? SyncEvent::Removed : SyncEvent::DeleteFailed, rel);
}

// Whether the pending target entry lies beneath a mount point removed as
// itself (or is that mount point's second delivery).
bool passed_over(Engine* g) {
  if (g->beyond == nullptr || g->target.path == nullptr) return false;
  const char* rel = g->target.relative();
  if (starts_with(rel, g->beyond)) {
    const char next = rel[str_len(g->beyond)];
    if (is_path_separator(next) || (next == 0 && is_after_contents(g->target.info))) return true;
  }
  g->beyond = nullptr;
  return false;
}

// Tells, once per target folder, that an extra of it is kept because the
// run knows less than it should.
void report_held_back(Engine* g, const char* rel) {
  const size_t n = folder_part_length(rel);
  HeldBack& h = g->held;
  while (h.depth > 0) {
    const size_t l = h.lengths[h.depth - 1];
    if (l == 0 || (l <= n && std::memcmp(h.path, rel, l) == 0 && (l == n || is_path_separator(rel[l])))) break;
    --h.depth;
  }
  if (h.depth > 0 && h.lengths[h.depth - 1] == n) return;
  if (h.depth == h.capacity) {
    const uint32_t capacity = h.capacity ? 2 * h.capacity : 16;
    auto* lengths = static_cast<size_t*>(pool_allocate(&g->long_pool, capacity * sizeof(size_t)));
    if (lengths == nullptr) return;
    if (h.depth) std::memcpy(lengths, h.lengths, h.depth * sizeof(size_t));
    h.lengths = lengths;
    h.capacity = capacity;
  }
  const char* path = pool_strndup(&g->long_pool.allocator, rel, n);
  if (path == nullptr) return;
  h.path = path;
  h.lengths[h.depth++] = n;
  g->report(SyncEvent::DeletionsHeldBack, n ? path : ".");
}

// Extra target entry: left and reported, or removed. After a source folder
// could not be listed, or a target name could not be used, the run knows
// less than it should and nothing more is removed.
void only_in_target(Engine* g) {
  if (g->flag(SYNC_KEEP_EXTRAS)) {
    g->report(SyncEvent::Differs, g->target.relative());
  } else if (g->source.listing_failed || g->target.name_unusable) {
    report_held_back(g, g->target.relative());
    g->report(SyncEvent::Differs, g->target.relative());
  } else {
    remove_target(g);
  }
}

}  // namespace

// Write times that differ by a whole number of hours up to a day, give or
// take two seconds, count as equal; a time the system cannot keep counts as
// the one it keeps instead.
bool sync_engine::write_times_match(uint64_t a, uint64_t b) {
  const int64_t s = filetime_to_unix(write_time_kept(a));
  const int64_t t = filetime_to_unix(write_time_kept(b));
  const uint64_t d = s > t ? static_cast<uint64_t>(s) - static_cast<uint64_t>(t)
                           : static_cast<uint64_t>(t) - static_cast<uint64_t>(s);
  if (d > 86400) return false;
  const int64_t off_hour = static_cast<int64_t>((d + 1800) % 3600) - 1800;
  return off_hour >= -2 && off_hour <= 2;
}

namespace {

bool entries_same(const Engine* g, const FileInfo* s, const FileInfo* t) {
  if (source_is_link(s)) return target_is_link(t);
  if (is_folder(s)) return is_folder(t) && !target_is_link(t);
  if (target_is_link(t) || is_folder(t) || !g->flag(SYNC_SKIP_IDENTICAL) || !s || !t) return false;
  // A file and a FIFO, socket or device are never the same, whatever their
  // sizes and times.
  if (special_kind(s) != special_kind(t)) return false;
  return s->size == t->size && (g->flag(SYNC_IGNORE_TIMES) || write_times_match(s->write_time, t->write_time));
}

// Both sides hold the entry. Returns whether the source entry was consumed
// (the target entry always is).
bool both(Engine* g) {
  const FileInfo* s = g->source.info;
  const char* rel = g->source.relative();
  // Two names of one file (the same folder given twice, a link, a hard
  // link): replacing would delete the only copy.
  if (file_info_same_file(s, g->target.info)) {
    g->report(SyncEvent::Identical, rel);
    return true;
  }
  if (links_pair(g, rel)) return true;
  // Under -c a file pair that looks identical is so only when its data is.
  bool same = entries_same(g, s, g->target.info);
  // Where link texts are bytes (Linux), a link pair is the same only when its texts are.
  if (same && kSystemNamesAreBytes && source_is_link(s))
    same = link_texts_same_at(&g->step_pool, g->source.folder, g->source.path + g->source.name_offset,
                              g->target.folder, g->target.path + g->target.name_offset);
  if (same && g->flag(SYNC_COMPARE) && !source_is_link(s) && !is_folder(s)) {
    const Compared data = compare_contents(g, rel);
    if (data == Compared::Failed) return true;
    same = data == Compared::Same;
  }
  if (same) {
    // Identical data: the target still takes the source's mode (and owner),
    // a folder once its contents are done; a folder and a link also its
    // write time.
    const bool mode_due = !g->no_modify && (!is_folder(s) || is_after_contents(s));
    const WithTime time = is_folder(s) || source_is_link(s) ? WithTime::yes : WithTime::no;
    const Side& t = g->target;
    // A folder's time is set once the copies into it are done.
    if (mode_due && is_folder(s) && !settle(g)) return true;
    links_remember(g, s, rel, t.info ? t.info->file_id[0] : 0);
    const bool mode_kept = !mode_due || mode_copy_at(g->source.folder, g->source.path + g->source.name_offset,
                                                     t.folder, t.path + t.name_offset, s, t.info, time) == 0;
    // Extended attributes after the owner, whose change takes away capabilities.
    const bool xattrs_done = !mode_due || xattrs_in_place(g, t.folder, t.path + t.name_offset, rel, t.info);
    g->report(mode_kept && xattrs_done ? SyncEvent::Identical : SyncEvent::WriteFailed, rel);
    return true;
  }
  if (g->flag(SYNC_KEEP_EXISTING)) {
    g->report(SyncEvent::Differs, rel);
    return true;
  }
  // A file replaces the target entry only once it can be read: a source that
  // cannot be opened leaves the target entry as it is.
  if (!source_is_link(s) && !is_folder(s)) {
    if (open_source(g) != 0) {
      g->report(open_failure(s), rel);
      return true;
    }
    // A file over a file of the same name is replaced in one step: written
    // aside in the folder and renamed over it, so a failure at any step
    // leaves the old file as it was (a name left by a killed run is an
    // ordinary extra entry of the next one).
    const FileInfo* t = g->target.info;
    if (!g->no_modify && t != nullptr && !is_folder(t) && !target_is_link(t) &&
        same_text(rel, g->target.relative())) {
      const char* name = nullptr;
      const HANDLE folder = place_parent(g, rel, &name);
      copy_hand_out(g, folder, name, rel, t);
      return true;
    }
    g->source_preopened = true;
  }
  remove_target(g);
  return false;
}

void only_in_source(Engine* g) {
  const Side& s = g->source;
  const FileInfo* info = s.info;
  const char* rel = s.relative();
  const char* source_name = s.path + s.name_offset;
  // The folder the new entry goes in, opened only when something is made.
  const char* name = nullptr;
  auto folder = [&] { return g->no_modify ? kNoHandle : place_parent(g, rel, &name); };
  // A folder this run created (owner-only until now) has taken its mode
  // and time already (made_leave); whatever else has the name is left.
  if (is_after_contents(info)) return;

  if (source_is_link(info)) {
    char* text = nullptr;
    if (link_read_at(&g->step_pool, s.folder, source_name, &text) != 0) {
      g->report(SyncEvent::LinkReadFailed, rel);
    } else if (g->no_modify) {
      g->report(SyncEvent::Added, rel);
    } else {
      if (!settle(g)) return;
      const HANDLE in = folder();
      const char* dest = path_join(&g->step_pool, g->target.base, rel);
      const bool made = !handle_is_none(in) && link_create_at(in, name, text, is_folder(info), dest) == 0;
      if (made) mode_copy_at(s.folder, source_name, in, name, info, nullptr, WithTime::yes);
      g->report(made ? SyncEvent::Added : SyncEvent::LinkCreateFailed, rel);
    }
    return;
  }
  if (is_folder(info)) {
    if (g->no_modify) {
      g->report(SyncEvent::Added, rel);
    } else {
      if (!settle(g)) return;
      const HANDLE in = folder();
      const bool made = !handle_is_none(in) && folder_create_at(in, name) == 0;
      // Its final mode and time come after its contents.
      if (made && info != nullptr) made_push(g, rel, info);
      g->report(made ? SyncEvent::Added : SyncEvent::CreateFailed, rel);
    }
    return;
  }

  if (links_add_name(g, rel)) {
    g->source_preopened = false;
    return;
  }
  if (g->source_preopened) {
    g->source_preopened = false;
  } else if (open_source(g) != 0) {
    g->report(open_failure(g->source.info), rel);
    return;
  }
  if (g->flag(SYNC_TEST_RUN)) {
    g->bytes += info ? info->size : 0;
    g->report(SyncEvent::Added, rel);
  } else if (g->virtual_target)
    read_through(g, rel);
  else {
    const HANDLE in = folder();
    copy_hand_out(g, in, name, rel, nullptr);
  }
}

// The root with a separator at its end: the start of every path its lister
// hands out, and the base of new target paths.
const char* root_base(StringPool* pool, const char* root) {
  if (str_is_empty(root)) return nullptr;
  const uint64_t length = str_len(root);
  return length != 0 && is_path_separator(root[length - 1]) ? root : path_join(pool, root, "");
}

// Whether the folder that would hold the root folder `base` (which ends in
// a separator) exists as a folder.
bool parent_is_folder(StringPool* pool, const char* base) {
  size_t n = str_len(base);
  while (n > 0 && is_path_separator(base[n - 1])) --n;
  while (n > 0 && !is_path_separator(base[n - 1])) --n;
  if (n == 0) return false;
  const char* parent = pool_strndup(&pool->allocator, base, n);
  uint8_t is_folder = 0;
  return parent != nullptr && file_probe(parent, &is_folder) == 0 && is_folder;
}

SyncResult open_target(Engine* g, const char* target, const char* const* filters) {
  if (g->virtual_target) return empty_lister_open(&g->target.lister) == 0 ? SyncResult::Finished
                                                                           : SyncResult::TargetUnusable;
  const char* base = root_base(&g->long_pool, target);
  if (base == nullptr) return SyncResult::TargetUnusable;
  g->target.base = base;
  if (tree_lister_open(&g->target.lister, g->abort, base, kListFlags, filters) == 0) return SyncResult::Finished;
  if (file_probe(base, nullptr) == 0) return SyncResult::TargetUnusable;
  // A missing target is created (one level); with no modification allowed
  // it is taken as empty where the real run could create it: in a folder
  // that exists.
  if (g->no_modify) {
    if (!parent_is_folder(&g->long_pool, base)) return SyncResult::TargetUnusable;
    return empty_lister_open(&g->target.lister) == 0 ? SyncResult::Finished : SyncResult::TargetUnusable;
  }
  folder_create(base);
  return tree_lister_open(&g->target.lister, g->abort, base, kListFlags, filters) == 0
             ? SyncResult::Finished
             : SyncResult::TargetUnusable;
}

SyncResult run_engine(Engine* g, const char* source, const char* target, const char* const* filters) {
  const bool virtual_source = source != nullptr && source[0] == 0;
  if (virtual_source) {
    if (empty_lister_open(&g->source.lister) != 0) return SyncResult::SourceUnusable;
  } else {
    g->source.base = root_base(&g->long_pool, source);
    if (g->source.base == nullptr ||
        tree_lister_open(&g->source.lister, g->abort, g->source.base, kListFlags, filters) != 0)
      return SyncResult::SourceUnusable;
  }
  const SyncResult opened = open_target(g, target, filters);
  if (opened != SyncResult::Finished) return opened;
  // Without memory for the copies' ring every copy fails as it would
  // without a buffer. The count by default follows where the target lies.
  if (!g->no_modify) {
    const uint32_t copies = g->copies != 0 ? g->copies : sync_copies_default(folder_is_remote(g->target.base));
    if (!overlap_start(g, copies)) overlap_end(g);
  }
  // Overlapping trees: the target's root is never copied into itself, and
  // the source's root is never removed from a target that holds it.
  tree_lister_exclude(g->source.lister, tree_lister_root(g->target.lister));
  tree_lister_exclude(g->target.lister, tree_lister_root(g->source.lister));

  advance(g, &g->source);
  advance(g, &g->target);
  if (g->source.root_unreadable != 0) return SyncResult::SourceUnusable;
  if (g->target.root_unreadable != 0) return SyncResult::TargetUnusable;

  for (;;) {
    pool_release(&g->step_pool);
    if (g->aborted()) return SyncResult::Aborted;
    if (passed_over(g)) {
      advance(g, &g->target);
      continue;
    }
    bool take_source = false;
    bool take_target = false;
    made_leave(g, g->source.path ? g->source.relative() : nullptr, is_after_contents(g->source.info));
    if (g->source.path == nullptr && g->target.path == nullptr) {
      if (!settle(g) || g->aborted()) return SyncResult::Aborted;
      // The target root, like every folder, takes the source's extended
      // attributes, mode and time last.
      if (!g->no_modify && !virtual_source) {
        xattrs_kept(g, xattr_copy_path(g->source.base, g->target.base), ".");
        mode_copy_path(g->source.base, g->target.base, WithTime::yes);
      }
      return SyncResult::Finished;
    }
    int order = 0;
    if (g->source.path == nullptr)
      order = 1;
    else if (g->target.path == nullptr)
      order = -1;
    else
      order = entry_compare(g->source.relative(), g->source.info, g->target.relative(), g->target.info);

    if (order < 0) {
      only_in_source(g);
      take_source = true;
    } else if (order > 0) {
      only_in_target(g);
      take_target = true;
    } else {
      take_source = both(g);
      take_target = true;
    }
    if (take_source) advance(g, &g->source);
    if (take_target) advance(g, &g->target);
  }
}

}  // namespace

uint32_t sync_copies_default(bool remote) {
  const uint32_t processors = sys::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  const uint32_t copies = remote ? 4 * processors : processors;
  const uint32_t least = remote ? 4 : 2;
  return copies < least ? least : copies > 16 ? 16 : copies;
}

SyncResult synchronize(Signal* abort, const char* source, const char* target, uint32_t flags,
                       const char* const* filters, SyncCallback callback, void* user, SyncMeter* meter,
                       uint32_t copies) {
  Engine g;
  g.abort = abort;
  g.callback = callback;
  g.user = user;
  g.progress = meter ? meter->progress : nullptr;
  g.flags = flags;
  g.virtual_target = (flags & SYNC_VIRTUAL_TARGET) != 0 || (target != nullptr && target[0] == 0);
  g.no_modify = g.virtual_target || (flags & SYNC_TEST_RUN) != 0;
  pool_init(&g.long_pool);
  pool_init(&g.step_pool);
  g.buffer = block_alloc(kSyncCopyBufferSize);

  g.copies = copies;
  const SyncResult result = run_engine(&g, source, target, filters);
  // Copies still under way are finished (undone after an abort) before
  // anything they use goes.
  overlap_end(&g);
  if (meter) meter->bytes = g.bytes;

  tree_lister_destroy(g.target.lister);
  tree_lister_destroy(g.source.lister);
  if (g.buffer != nullptr) block_free(g.buffer, kSyncCopyBufferSize);
  close_handle(&g.source_handle);
  place_release(&g.place);
  made_release(&g.made);
  pool_release(&g.step_pool);
  pool_release(&g.long_pool);
  return result;
}

