// The synchronization engine: one merged pass over two ordered entry streams.
#include "sync/engine.h"

#include "base/memory.h"
#include "base/text_format.h"
#include "base/threads.h"
#include "fs/file_info.h"
#include "fs/file_ops.h"
#include "fs/link.h"
#include "fs/native.h"
#include "fs/path.h"
#include "fs/stream.h"
#include "listing/collation.h"
#include "listing/tree_lister.h"

namespace {

constexpr uint32_t kListFlags = LIST_NO_FOLLOW_LINKS | LIST_DIRS_AFTER_CONTENTS | LIST_READ_AHEAD;
constexpr uint32_t kFinishKeepMask = 0xFFFFFFF6;  // all but read-only and content-indexed
constexpr uint8_t kFinishSetMask = ATTR_READONLY | ATTR_CONTENT_INDEXED;

HANDLE const kNoHandle = INVALID_HANDLE_VALUE;

// One side of the merge: its lister and its pending entry.
struct Side {
  TreeLister* lister = nullptr;
  const char* base = nullptr;   // root with a trailing separator (for errors before the first entry)
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
  // A mount point removed as itself: what the target lister still hands out
  // beneath it lies outside the target and is passed over.
  const char* beyond = nullptr;
  StringPool long_pool;
  StringPool step_pool;
  void* buffer = nullptr;
  HANDLE source_handle = kNoHandle;
  HANDLE target_handle = kNoHandle;
  bool source_preopened = false;  // source_handle already belongs to the pending source file

  bool aborted() const { return abort != nullptr && signal_is_raised(abort); }
  void report(SyncEvent event, const char* relative) {
    if (callback) callback(user, event, relative);
  }
  bool flag(uint32_t bit) const { return (flags & bit) != 0; }
};

bool source_is_link(const FileInfo* i) { return i && i->is_link && !i->via_link; }
bool target_is_link(const FileInfo* i) { return i && i->is_link; }
bool is_folder(const FileInfo* i) { return i && i->is_dir; }
bool is_after_contents(const FileInfo* i) { return i && i->after_contents; }

void close_handle(HANDLE* h) {
  native_close(*h);
  *h = kNoHandle;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Closes the place's folders from `depth` on.
void place_trim(Place* p, uint32_t depth) {
  while (p->depth > depth) native_close(p->handles[--p->depth]);
}

void place_release(Place* p) {
  place_trim(p, 0);
  if (p->handles) block_free(p->handles, p->capacity * sizeof(HANDLE));
  if (p->ends) block_free(p->ends, p->capacity * sizeof(uint64_t));
  if (p->path) block_free(p->path, p->path_capacity);
  *p = Place{};
}

// Room for `depth` folders and a relative path of `length` bytes.
bool place_reserve(Place* p, uint32_t depth, uint64_t length) {
  if (depth > p->capacity) {
    const uint32_t capacity = depth < 64 ? 64 : depth * 2;
    auto* handles = static_cast<HANDLE*>(block_alloc(capacity * sizeof(HANDLE)));
    auto* ends = static_cast<uint64_t*>(block_alloc(capacity * sizeof(uint64_t)));
    if (!handles || !ends) {
      if (handles) block_free(handles, capacity * sizeof(HANDLE));
      if (ends) block_free(ends, capacity * sizeof(uint64_t));
      return false;
    }
    for (uint32_t i = 0; i < p->depth; ++i) {
      handles[i] = p->handles[i];
      ends[i] = p->ends[i];
    }
    if (p->handles) block_free(p->handles, p->capacity * sizeof(HANDLE));
    if (p->ends) block_free(p->ends, p->capacity * sizeof(uint64_t));
    p->handles = handles;
    p->ends = ends;
    p->capacity = capacity;
  }
  if (length + 1 > p->path_capacity) {
    const uint64_t capacity = length < 4096 ? 4096 : (length + 1) * 2;
    auto* path = static_cast<char*>(block_alloc(capacity));
    if (!path) return false;
    if (p->path) {
      for (uint64_t i = 0; i < p->path_capacity; ++i) path[i] = p->path[i];
      block_free(p->path, p->path_capacity);
    }
    p->path = path;
    p->path_capacity = capacity;
  }
  return true;
}

// The open target folder whose relative path is the first `length` bytes of
// `relative` (0: the root), opened as needed; -1 when it cannot be.
HANDLE place_folder(Engine* g, const char* relative, uint64_t length) {
  Place* p = &g->place;
  // Keep the open folders that lead to this one.
  uint32_t keep = p->depth;
  while (keep > 1) {
    const uint64_t end = p->ends[keep - 1];
    bool leads = end <= length && (end == length || is_separator(relative[end]));
    for (uint64_t i = 0; leads && i < end; ++i) leads = p->path[i] == relative[i];
    if (leads) break;
    --keep;
  }
  place_trim(p, keep);
  uint32_t levels = 1;
  for (uint64_t i = 0; i < length; ++i) levels += is_separator(relative[i]) ? 1 : 0;
  if (!place_reserve(p, levels + 1, length)) return kNoHandle;
  if (p->depth == 0) {
    HANDLE root = kNoHandle;
    if (native_open(g->target.base, kOpenListFolder, &root) != 0) return kNoHandle;
    p->handles[0] = root;
    p->ends[0] = 0;
    p->depth = 1;
  }
  uint64_t at = p->ends[p->depth - 1];
  while (at < length) {
    if (at > 0) ++at;  // the separator before the next name
    uint64_t end = at;
    while (end < length && !is_separator(relative[end])) ++end;
    const char* name = pool_strndup(&g->step_pool.allocator, relative + at, end - at);
    HANDLE h = kNoHandle;
    if (name == nullptr || folder_open_at(&h, p->handles[p->depth - 1], name) != 0) return kNoHandle;
    for (uint64_t i = p->ends[p->depth - 1]; i < end; ++i) p->path[i] = relative[i];
    p->handles[p->depth] = h;
    p->ends[p->depth] = end;
    ++p->depth;
    at = end;
  }
  return p->handles[p->depth - 1];
}

// The target folder that holds the entry of relative path `relative`, and
// where its name starts.
HANDLE place_parent(Engine* g, const char* relative, const char** name) {
  uint64_t length = str_len(relative);
  while (length > 0 && !is_separator(relative[length - 1])) --length;
  *name = relative + length;
  return place_folder(g, relative, length > 0 ? length - 1 : 0);
}

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
    g->report(SyncEvent::Removed, rel);
    return;
  }
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
    if (is_separator(next) || (next == 0 && is_after_contents(g->target.info))) return true;
  }
  g->beyond = nullptr;
  return false;
}

// Extra target entry: left and reported, or removed. After a source folder
// could not be listed, or a target name could not be used, the run knows
// less than it should and nothing more is removed.
void only_in_target(Engine* g) {
  if (g->flag(SYNC_KEEP_EXTRAS) || g->source.listing_failed || g->target.name_unusable)
    g->report(SyncEvent::Differs, g->target.relative());
  else
    remove_target(g);
}

// Write times that differ by a whole number of hours up to a day, give or
// take two seconds, count as equal; a time the system cannot keep counts as
// the one it keeps instead.
bool write_times_match(uint64_t a, uint64_t b) {
  const int64_t s = filetime_to_unix(write_time_kept(a));
  const int64_t t = filetime_to_unix(write_time_kept(b));
  const uint64_t d = s > t ? static_cast<uint64_t>(s) - static_cast<uint64_t>(t)
                           : static_cast<uint64_t>(t) - static_cast<uint64_t>(s);
  if (d > 86400) return false;
  const int64_t off_hour = static_cast<int64_t>((d + 1800) % 3600) - 1800;
  return off_hour >= -2 && off_hour <= 2;
}

bool entries_same(const Engine* g, const FileInfo* s, const FileInfo* t) {
  if (source_is_link(s)) return target_is_link(t);
  if (is_folder(s)) return is_folder(t) && !target_is_link(t);
  if (target_is_link(t) || is_folder(t) || !g->flag(SYNC_SKIP_IDENTICAL) || !s || !t) return false;
  return s->size == t->size && (g->flag(SYNC_IGNORE_TIMES) || write_times_match(s->write_time, t->write_time));
}

// Opens the pending source file by name within its open folder.
Error open_source(Engine* g) {
  close_handle(&g->source_handle);
  const Side& s = g->source;
  return file_open_at(&g->source_handle, s.folder, s.path + s.name_offset, s.info);
}

void replace_file(Engine* g, const char* rel);

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
  if (entries_same(g, s, g->target.info)) {
    // Identical data: the target still takes the source's mode (and owner),
    // a folder once its contents are done.
    const bool mode_due = !g->no_modify && (!is_folder(s) || is_after_contents(s));
    const Side& t = g->target;
    const bool mode_kept = !mode_due || mode_copy_at(g->source.folder, g->source.path + g->source.name_offset,
                                                     t.folder, t.path + t.name_offset, s, t.info) == 0;
    g->report(mode_kept ? SyncEvent::Identical : SyncEvent::WriteFailed, rel);
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
      g->report(SyncEvent::OpenFailed, rel);
      return true;
    }
    // A file over a file of the same name is replaced in one step.
    const FileInfo* t = g->target.info;
    if (!g->no_modify && t != nullptr && !is_folder(t) && !target_is_link(t) &&
        same_text(rel, g->target.relative())) {
      replace_file(g, rel);
      return true;
    }
    g->source_preopened = true;
  }
  remove_target(g);
  return false;
}

// Reads the next piece of the open source file into the copy buffer, at
// most `limit` bytes; a count of 0 is the end of the data. A read failure is
// reported.
bool read_piece(Engine* g, const char* rel, uint64_t* count, uint64_t limit = kSyncCopyBufferSize) {
  const Error e = stream_read(g->source_handle, g->buffer, limit < kSyncCopyBufferSize ? limit : kSyncCopyBufferSize,
                              count);
  if (e == 0 || e == err::handle_eof) return true;
  g->report(SyncEvent::ReadFailed, rel);
  return false;
}

// Reads the open source file to its end (read-through of a virtual target),
// never past the size it has when the reading starts.
void read_through(Engine* g, const char* rel) {
  FileInfo info{};
  if (g->buffer == nullptr || file_info_brief_from_handle(g->source_handle, &info) != 0) {
    g->report(SyncEvent::ReadFailed, rel);
    return;
  }
  for (uint64_t left = info.size; left != 0;) {
    if (g->aborted()) return;
    uint64_t count = 0;
    if (!read_piece(g, rel, &count, left)) return;
    if (count == 0) break;
    left -= count;
  }
  g->report(SyncEvent::Added, rel);
}

// Writes the rest of the open source file to the open target file, no more
// than `size` bytes; *beyond tells whether data went on past them. False,
// with the failure reported, on a failure or an abort.
bool copy_all(Engine* g, const char* rel, uint64_t size, uint64_t* copied, bool* beyond) {
  // A file of a piece or more is first copied by the system itself where it
  // can, 16 pieces per call (a call has a fixed cost of about a tenth of a
  // piece's copy), with the abort checked between calls. Whatever it leaves (the
  // end of the data, or all of it after a refusal or failure) goes through
  // the buffer below, which also meets and reports any real failure.
  constexpr uint64_t kInSystemPiece = 16 * kSyncCopyBufferSize;
  bool in_system = size >= kSyncCopyBufferSize;
  while (in_system && *copied < size && !g->aborted()) {
    uint64_t moved = 0;
    const uint64_t left = size - *copied;
    in_system = stream_copy(g->source_handle, g->target_handle, left < kInSystemPiece ? left : kInSystemPiece,
                            &moved) == 0 && moved != 0;
    *copied += moved;
  }
  for (;;) {
    if (g->aborted()) return false;
    uint64_t count = 0;
    const bool whole = *copied >= size;
    if (!read_piece(g, rel, &count, whole ? 1 : size - *copied)) return false;
    *beyond = whole && count != 0;
    if (count == 0 || *beyond) break;
    if (stream_write(g->target_handle, g->buffer, count) != 0) {
      g->report(SyncEvent::WriteFailed, rel);
      return false;
    }
    *copied += count;
  }
  return true;
}

enum class SparseCopy { fallback, done, failed };

// Copies one stored range of the source to the same place in the target.
// False, with the failure reported, on a failure or an abort; *whole is
// cleared when the source ends inside the range.
bool copy_range(Engine* g, const char* rel, uint64_t offset, uint64_t end, bool* whole) {
  if (stream_seek(g->source_handle, offset) != 0) return g->report(SyncEvent::ReadFailed, rel), false;
  if (stream_seek(g->target_handle, offset) != 0) return g->report(SyncEvent::WriteFailed, rel), false;
  while (offset < end) {
    if (g->aborted()) return false;
    const uint64_t want = end - offset < kSyncCopyBufferSize ? end - offset : kSyncCopyBufferSize;
    uint64_t count = 0;
    const Error e = stream_read(g->source_handle, g->buffer, want, &count);
    if (e != 0 && e != err::handle_eof) return g->report(SyncEvent::ReadFailed, rel), false;
    if (count == 0) {
      *whole = false;
      return true;
    }
    if (stream_write(g->target_handle, g->buffer, count) != 0) return g->report(SyncEvent::WriteFailed, rel), false;
    offset += count;
  }
  return true;
}

// A sparse source keeps its shape: the target is made sparse, only the
// ranges the source stores are copied, each to its place, and the size set
// last leaves the rest unstored, so an image of a terabyte that holds little
// takes little. Fallback, with nothing written, where the target cannot be
// made sparse or the source gives no list of its ranges: then all the data
// is copied. *copied becomes the size when every range was read whole.
SparseCopy copy_ranges(Engine* g, const char* rel, uint64_t size, uint64_t* copied) {
  if (stream_set_sparse(g->target_handle) != 0) return SparseCopy::fallback;
  constexpr uint32_t kRangeBatch = 64;
  StreamRange ranges[kRangeBatch];
  uint64_t at = 0;
  bool whole = true;
  for (bool first = true;; first = false) {
    uint32_t count = 0;
    bool more = false;
    if (stream_ranges(g->source_handle, at, size, ranges, kRangeBatch, &count, &more) != 0) {
      if (first) return SparseCopy::fallback;
      g->report(SyncEvent::ReadFailed, rel);
      return SparseCopy::failed;
    }
    // Ranges are taken in order, each within the size and never behind
    // the last one copied, whatever the list says.
    for (uint32_t i = 0; i < count && whole; ++i) {
      const uint64_t start = ranges[i].offset;
      const uint64_t end = start >= size || ranges[i].length >= size - start ? size : start + ranges[i].length;
      const uint64_t offset = start > at ? start : at;
      if (end <= offset) continue;
      if (!copy_range(g, rel, offset, end, &whole)) return SparseCopy::failed;
      at = end;
    }
    if (!more || !whole || at >= size) break;
  }
  if (native_set_size(g->target_handle, size, true) != 0) {
    g->report(SyncEvent::WriteFailed, rel);
    return SparseCopy::failed;
  }
  *copied = whole ? size : at;
  return SparseCopy::done;
}

// Tells what the finished copy does not hold: the encryption of an
// encrypted source (unless the new file is encrypted too, as in an encrypted
// folder) and the source's named data streams.
void report_left_out(Engine* g, const char* rel, uint32_t source_attributes) {
  if (source_attributes & FA_ENCRYPTED) {
    FileInfo copy{};
    if (file_info_brief_from_handle(g->target_handle, &copy) != 0 || !(copy.sys_attr & FA_ENCRYPTED))
      g->report(SyncEvent::CopyNotEncrypted, rel);
  }
  if (stream_has_named(g->source_handle)) g->report(SyncEvent::StreamsNotCopied, rel);
}

// Writes the rest of the open source file to the open target file and
// stamps it. The write time, size and attributes stamped are those of the
// source when the copy began; a source whose size or write time has changed
// by the end may have been copied half old, half new: it gets the earlier
// write time, so that the next run copies it again, and the read warning.
// No more is read than the source held when the copy began (so a file that
// grows without end, or a device in its place, never fills the target);
// one byte more is only looked for. False, with the failure reported, when
// the copy is incomplete.
bool write_copy(Engine* g, const char* rel) {
  FileInfo before{};
  if (file_info_brief_from_handle(g->source_handle, &before) != 0) {
    if (g->source.info == nullptr) return g->report(SyncEvent::ReadFailed, rel), false;
    before = *g->source.info;
  }
  uint64_t copied = 0;
  bool beyond = false;  // data past the size the copy began with
  const SparseCopy sparse =
      before.sys_attr & FA_SPARSE_FILE ? copy_ranges(g, rel, before.size, &copied) : SparseCopy::fallback;
  if (sparse == SparseCopy::failed) return false;
  if (sparse == SparseCopy::fallback && !copy_all(g, rel, before.size, &copied, &beyond)) return false;
  FileInfo after{};
  if (file_info_brief_from_handle(g->source_handle, &after) != 0) after = before;
  const bool changed = after.size != before.size || after.write_time != before.write_time;
  // Data of an unchanged source that ended short of its size, or went on
  // past it, was not read whole.
  if (!changed && (copied != before.size || beyond)) {
    g->report(SyncEvent::ReadFailed, rel);
    return false;
  }
  const uint64_t stamp = changed && after.write_time < before.write_time ? after.write_time : before.write_time;
  write_time_set(g->target_handle, stamp);
  attr_update_handle(g->target_handle, kFinishKeepMask, before.attr & kFinishSetMask);
  // Last: the file was created owner-only and writing clears set-id bits.
  mode_copy(g->source_handle, g->target_handle);
  if (changed) g->report(SyncEvent::ReadFailed, rel);
  report_left_out(g, rel, before.sys_attr);
  return true;
}

// Copies the open source file to a new target file `name` of the open
// folder. Any failure or an abort deletes the partial file.
void copy_file(Engine* g, HANDLE folder, const char* name, const char* rel) {
  close_handle(&g->target_handle);
  if (g->buffer == nullptr || handle_is_none(folder) || file_create_at(&g->target_handle, folder, name) != 0) {
    g->report(SyncEvent::CreateFailed, rel);
    return;
  }
  const bool done = write_copy(g, rel);
  close_handle(&g->target_handle);
  if (done)
    g->report(SyncEvent::Added, rel);
  else
    entry_delete_at(folder, name);
}

// Names tried for the new content of a replaced file, in its folder.
constexpr int kReplaceNameTries = 16;

// Replaces the pending target file with the open source file: the copy is
// written under a new name in the same folder and only then renamed over the
// old file, so a failure at any step leaves the old file as it was (a name
// left by a killed run is an ordinary extra entry of the next one). All by
// name within the folder the target lister holds open.
void replace_file(Engine* g, const char* rel) {
  const Side& t = g->target;
  const HANDLE folder = t.folder;
  const char* old_name = t.path + t.name_offset;
  close_handle(&g->target_handle);
  Allocator* a = &g->step_pool.allocator;
  const char* temp = nullptr;
  Error e = g->buffer == nullptr || handle_is_none(folder) ? err::out_of_memory : err::already_exists;
  for (int i = 0; i < kReplaceNameTries && (e == err::already_exists || e == err::file_exists); ++i) {
    temp = pool_format(a, ".tarn~%d", i);
    e = temp == nullptr ? err::out_of_memory : file_create_at(&g->target_handle, folder, temp);
  }
  if (e != 0) {
    g->report(SyncEvent::CreateFailed, rel);
    return;
  }
  const bool done = write_copy(g, rel);
  close_handle(&g->target_handle);
  if (!done) {
    entry_delete_at(folder, temp);
    return;
  }
  // A protected old file refuses to be replaced: its attributes are cleared
  // first and put back when the rename fails.
  constexpr uint32_t kProtect = ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM;
  const uint32_t old_attr = t.info != nullptr ? t.info->sys_attr : 0;
  const bool cleared = (old_attr & kProtect) && attr_set_at(folder, old_name, old_attr & ~kProtect) == 0;
  if (file_rename_over_at(folder, temp, old_name) != 0) {
    if (cleared) attr_set_at(folder, old_name, old_attr);
    entry_delete_at(folder, temp);
    g->report(SyncEvent::DeleteFailed, rel);
    return;
  }
  g->report(SyncEvent::Removed, rel);
  g->report(SyncEvent::Added, rel);
}

void only_in_source(Engine* g) {
  const Side& s = g->source;
  const FileInfo* info = s.info;
  const char* rel = s.relative();
  const char* source_name = s.path + s.name_offset;
  // The folder the new entry goes in, opened only when something is made.
  const char* name = nullptr;
  auto folder = [&] { return g->no_modify ? kNoHandle : place_parent(g, rel, &name); };
  // A created folder (owner-only until now) takes its mode after its contents.
  if (is_after_contents(info)) {
    const HANDLE in = folder();
    if (!handle_is_none(in)) mode_copy_at(s.folder, source_name, in, name);
    return;
  }

  if (source_is_link(info)) {
    char* text = nullptr;
    if (link_read_at(&g->step_pool, s.folder, source_name, &text) != 0) {
      g->report(SyncEvent::LinkReadFailed, rel);
    } else if (g->no_modify) {
      g->report(SyncEvent::Added, rel);
    } else {
      const HANDLE in = folder();
      const char* dest = path_join(&g->step_pool, g->target.base, rel);
      const bool made = !handle_is_none(in) && link_create_at(in, name, text, is_folder(info), dest) == 0;
      if (made) mode_copy_at(s.folder, source_name, in, name);
      g->report(made ? SyncEvent::Added : SyncEvent::LinkCreateFailed, rel);
    }
    return;
  }
  if (is_folder(info)) {
    if (g->no_modify) {
      g->report(SyncEvent::Added, rel);
    } else {
      const HANDLE in = folder();
      const bool made = !handle_is_none(in) && folder_create_at(in, name) == 0;
      g->report(made ? SyncEvent::Added : SyncEvent::CreateFailed, rel);
    }
    return;
  }

  if (g->source_preopened) {
    g->source_preopened = false;
  } else if (open_source(g) != 0) {
    g->report(SyncEvent::OpenFailed, rel);
    return;
  }
  if (g->flag(SYNC_TEST_RUN))
    g->report(SyncEvent::Added, rel);
  else if (g->virtual_target)
    read_through(g, rel);
  else {
    const HANDLE in = folder();
    copy_file(g, in, name, rel);
  }
}

// The root with a separator at its end: the start of every path its lister
// hands out, and the base of new target paths.
const char* root_base(StringPool* pool, const char* root) {
  if (str_is_empty(root)) return nullptr;
  const uint64_t length = str_len(root);
  return length != 0 && is_separator(root[length - 1]) ? root : path_join(pool, root, "");
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
  // it is taken as empty.
  if (g->no_modify)
    return empty_lister_open(&g->target.lister) == 0 ? SyncResult::Finished : SyncResult::TargetUnusable;
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
  // Overlapping trees: the target's root is never copied into itself, and
  // the source's root is never removed from a target that holds it.
  tree_lister_exclude(g->source.lister, tree_lister_root(g->target.lister));
  tree_lister_exclude(g->target.lister, tree_lister_root(g->source.lister));

  advance(g, &g->source);
  advance(g, &g->target);

  for (;;) {
    pool_release(&g->step_pool);
    if (g->aborted()) return SyncResult::Aborted;
    if (passed_over(g)) {
      advance(g, &g->target);
      continue;
    }
    bool take_source = false;
    bool take_target = false;
    if (g->source.path == nullptr && g->target.path == nullptr) {
      // The target root, like every folder, takes the source's mode last.
      if (!g->no_modify && !virtual_source) mode_copy_path(g->source.base, g->target.base);
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

SyncResult synchronize(Signal* abort, const char* source, const char* target, uint32_t flags,
                       const char* const* filters, SyncCallback callback, void* user) {
  Engine g;
  g.abort = abort;
  g.callback = callback;
  g.user = user;
  g.flags = flags;
  g.virtual_target = (flags & SYNC_VIRTUAL_TARGET) != 0 || (target != nullptr && target[0] == 0);
  g.no_modify = g.virtual_target || (flags & SYNC_TEST_RUN) != 0;
  pool_init(&g.long_pool);
  pool_init(&g.step_pool);
  g.buffer = block_alloc(kSyncCopyBufferSize);

  const SyncResult result = run_engine(&g, source, target, filters);

  tree_lister_destroy(g.target.lister);
  tree_lister_destroy(g.source.lister);
  if (g.buffer != nullptr) block_free(g.buffer, kSyncCopyBufferSize);
  close_handle(&g.source_handle);
  close_handle(&g.target_handle);
  place_release(&g.place);
  pool_release(&g.step_pool);
  pool_release(&g.long_pool);
  return result;
}
