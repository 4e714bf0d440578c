// The file copy: a new target file written from the open source file, a
// replacement written aside and renamed over the old one, and the
// read-through of a virtual target.
#include <cstring>

#include "base/text_format.h"
#include "fs/file_info.h"
#include "fs/file_ops.h"
#include "fs/stream.h"
#include "sync/engine_state.h"

namespace sync_engine {

namespace {

constexpr uint32_t kFinishKeepMask = 0xFFFFFFF6;  // all but read-only and content-indexed
constexpr uint8_t kFinishSetMask = ATTR_READONLY | ATTR_CONTENT_INDEXED;

}  // namespace

bool xattrs_kept(Engine* g, Error e, const char* rel) {
  if (e != err::not_supported) return e == err::ok;
  // Told once per run: the first one in the engine's order goes out.
  g->report(SyncEvent::XattrsNotKept, rel);
  return true;
}

bool xattrs_in_place(Engine* g, HANDLE folder, const char* name, const char* rel, const FileInfo* target) {
  const Side& s = g->source;
  if (source_is_link(s.info) || handle_is_none(folder)) return true;
  // Neither side has any, as listed: nothing is opened.
  if (s.info && target && s.info->xattrs == 0 && target->xattrs == 0) return true;
  return xattrs_kept(g, xattr_copy_at(s.folder, s.path + s.name_offset, folder, name), rel);
}

// Opens the pending source file by name within its open folder.
Error open_source(Engine* g) {
  close_handle(&g->source_handle);
  const Side& s = g->source;
  return file_open_at(&g->source_handle, s.folder, s.path + s.name_offset, s.info);
}

namespace {

// Reads up to `want` bytes, fewer only at the end of the data.
Error read_full(HANDLE h, uint8_t* buffer, uint64_t want, uint64_t* got) {
  *got = 0;
  while (*got < want) {
    uint64_t n = 0;
    const Error e = stream_read(h, buffer + *got, want - *got, &n);
    if (e == err::handle_eof || (e == err::ok && n == 0)) return err::ok;
    if (e != err::ok) return e;
    *got += n;
  }
  return err::ok;
}

}  // namespace

Compared compare_contents(Engine* g, const char* rel) {
  const Side& s = g->source;
  const Side& t = g->target;
  ScopedHandle target;
  if (g->buffer == nullptr || open_source(g) != 0 ||
      file_open_at(target.out(), t.folder, t.path + t.name_offset, t.info) != 0) {
    g->report(SyncEvent::ReadFailed, rel);
    return Compared::Failed;
  }
  // Half the copy buffer for each side, read in large sequential pieces.
  constexpr uint64_t kHalf = kSyncCopyBufferSize / 2;
  auto* ours = static_cast<uint8_t*>(g->buffer);
  uint8_t* theirs = ours + kHalf;
  for (uint64_t left = s.info->size; left != 0;) {
    if (g->aborted()) return Compared::Failed;
    const uint64_t want = left < kHalf ? left : kHalf;
    uint64_t a = 0, b = 0;
    if (read_full(g->source_handle, ours, want, &a) != 0 || read_full(target.get(), theirs, want, &b) != 0) {
      g->report(SyncEvent::ReadFailed, rel);
      return Compared::Failed;
    }
    // A side that ends early has changed since it was listed: not the same.
    if (a != want || b != want || std::memcmp(ours, theirs, want) != 0) return Compared::Differ;
    left -= want;
  }
  return Compared::Same;
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
    if (g->progress && info.size >= kSyncProgressMinimum) g->progress(g->user, rel, info.size - left, info.size);
    if (g->aborted()) return;
    uint64_t count = 0;
    const Error e = stream_read(g->source_handle, g->buffer, left < kSyncCopyBufferSize ? left : kSyncCopyBufferSize,
                                &count);
    if (e != 0 && e != err::handle_eof) return g->report(SyncEvent::ReadFailed, rel);
    if (count == 0) break;
    left -= count;
    g->bytes += count;
  }
  if (g->progress && info.size >= kSyncProgressMinimum) g->progress(g->user, rel, info.size, info.size);
  g->report(SyncEvent::Added, rel);
}

namespace {

// Reads the next piece of the open source file into the copy buffer, at
// most `limit` bytes; a count of 0 is the end of the data. A read failure is
// reported.
bool read_piece(Copy* c, uint64_t* count, uint64_t limit = kSyncCopyBufferSize) {
  const Error e = stream_read(c->source, c->buffer, limit < kSyncCopyBufferSize ? limit : kSyncCopyBufferSize, count);
  if (e == 0 || e == err::handle_eof) return true;
  c->report(SyncEvent::ReadFailed);
  return false;
}

// Writes the rest of the open source file to the open target file, no more
// than `size` bytes; *beyond tells whether data went on past them. False,
// with the failure reported, on a failure or an abort.
bool copy_all(Copy* c, uint64_t size, uint64_t* copied, bool* beyond) {
  // A file of a piece or more is first copied by the system itself where it
  // can, 16 pieces per call (a call has a fixed cost of about a tenth of a
  // piece's copy), with the abort checked between calls. Whatever it leaves (the
  // end of the data, or all of it after a refusal or failure) goes through
  // the buffer below, which also meets and reports any real failure.
  constexpr uint64_t kInSystemPiece = 16 * kSyncCopyBufferSize;
  bool in_system = size >= kSyncCopyBufferSize;
  c->measure(0, size);
  while (in_system && *copied < size && !c->aborted()) {
    uint64_t moved = 0;
    const uint64_t left = size - *copied;
    in_system = stream_copy(c->source, c->target, left < kInSystemPiece ? left : kInSystemPiece, &moved) == 0 &&
                moved != 0;
    *copied += moved;
    c->measure(*copied, size);
  }
  for (;;) {
    if (c->aborted()) return false;
    c->measure(*copied, size);
    uint64_t count = 0;
    const bool whole = *copied >= size;
    if (!read_piece(c, &count, whole ? 1 : size - *copied)) return false;
    *beyond = whole && count != 0;
    if (count == 0 || *beyond) break;
    if (stream_write(c->target, c->buffer, count) != 0) {
      c->report(SyncEvent::WriteFailed);
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
bool copy_range(Copy* c, uint64_t offset, uint64_t end, bool* whole) {
  if (stream_seek(c->source, offset) != 0) return c->report(SyncEvent::ReadFailed), false;
  if (stream_seek(c->target, offset) != 0) return c->report(SyncEvent::WriteFailed), false;
  while (offset < end) {
    if (c->aborted()) return false;
    const uint64_t want = end - offset < kSyncCopyBufferSize ? end - offset : kSyncCopyBufferSize;
    uint64_t count = 0;
    const Error e = stream_read(c->source, c->buffer, want, &count);
    if (e != 0 && e != err::handle_eof) return c->report(SyncEvent::ReadFailed), false;
    if (count == 0) {
      *whole = false;
      return true;
    }
    if (stream_write(c->target, c->buffer, count) != 0) return c->report(SyncEvent::WriteFailed), false;
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
SparseCopy copy_ranges(Copy* c, uint64_t size, uint64_t* copied) {
  if (stream_set_sparse(c->target) != 0) return SparseCopy::fallback;
  constexpr uint32_t kRangeBatch = 64;
  StreamRange ranges[kRangeBatch];
  uint64_t at = 0;
  bool whole = true;
  for (bool first = true;; first = false) {
    uint32_t count = 0;
    bool more = false;
    if (stream_ranges(c->source, at, size, ranges, kRangeBatch, &count, &more) != 0) {
      if (first) return SparseCopy::fallback;
      c->report(SyncEvent::ReadFailed);
      return SparseCopy::failed;
    }
    // Ranges are taken in order, each within the size and never behind
    // the last one copied, whatever the list says.
    for (uint32_t i = 0; i < count && whole; ++i) {
      const uint64_t start = ranges[i].offset;
      const uint64_t end = start >= size || ranges[i].length >= size - start ? size : start + ranges[i].length;
      const uint64_t offset = start > at ? start : at;
      if (end <= offset) continue;
      if (!copy_range(c, offset, end, &whole)) return SparseCopy::failed;
      at = end;
    }
    if (!more || !whole || at >= size) break;
  }
  if (native_set_size(c->target, size, true) != 0) {
    c->report(SyncEvent::WriteFailed);
    return SparseCopy::failed;
  }
  *copied = whole ? size : at;
  return SparseCopy::done;
}

// Tells what the finished copy does not hold: the encryption of an
// encrypted source (unless the new file is encrypted too, as in an encrypted
// folder) and the source's named data streams.
void report_left_out(Copy* c, uint32_t source_attributes) {
  if (source_attributes & FA_ENCRYPTED) {
    FileInfo copy{};
    if (file_info_brief_from_handle(c->target, &copy) != 0 || !(copy.sys_attr & FA_ENCRYPTED))
      c->report(SyncEvent::CopyNotEncrypted);
  }
  if (stream_has_named(c->source)) c->report(SyncEvent::StreamsNotCopied);
}

// Reads back (once per target folder: the engine asks) the write time just
// set on a copy: a file system that does not keep it makes every run copy
// the file again.
void check_times_kept(Copy* c, uint64_t stamp) {
  if (!c->check_times) return;
  FileInfo copy{};
  if (file_info_brief_from_handle(c->target, &copy) != 0 || write_times_match(copy.write_time, stamp)) return;
  c->report(SyncEvent::TimesNotKept, true);
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
bool write_copy(Copy* c) {
  FileInfo before{};
  if (file_info_brief_from_handle(c->source, &before) != 0) {
    if (!c->listed) return c->report(SyncEvent::ReadFailed), false;
    before = c->info;
  }
  uint64_t copied = 0;
  bool beyond = false;  // data past the size the copy began with
  const SparseCopy sparse =
      before.sys_attr & FA_SPARSE_FILE ? copy_ranges(c, before.size, &copied) : SparseCopy::fallback;
  if (sparse == SparseCopy::failed) return false;
  if (sparse == SparseCopy::fallback && !copy_all(c, before.size, &copied, &beyond)) return false;
  FileInfo after{};
  if (file_info_brief_from_handle(c->source, &after) != 0) after = before;
  const bool changed = after.size != before.size || after.write_time != before.write_time;
  // Data of an unchanged source that ended short of its size, or went on
  // past it, was not read whole.
  if (!changed && (copied != before.size || beyond)) {
    c->report(SyncEvent::ReadFailed);
    return false;
  }
  const uint64_t stamp = changed && after.write_time < before.write_time ? after.write_time : before.write_time;
  write_time_set(c->target, stamp);
  check_times_kept(c, stamp);
  // Extended attributes after the owner (a change of owner takes away a
  // file's capabilities) and before the final bits. A target that keeps
  // none is told once per run, by the engine.
  const bool has_xattrs = !c->listed || c->info.xattrs != 0;
  if (has_xattrs) mode_copy(c->source, c->target);
  const Error xattrs = xattr_copy(c->source, c->target);
  if (xattrs == err::not_supported) c->report(SyncEvent::XattrsNotKept);
  // Last: the file was created owner-only and writing clears set-id bits.
  // Where the system keeps modes, the mode holds the read-only state; the
  // attributes are set where it keeps none, or the mode could not be set.
  if (!kSystemKeepsPosixModes || mode_copy(c->source, c->target) != err::ok)
    attr_update_handle(c->target, kFinishKeepMask, before.attr & kFinishSetMask);
  c->bytes += copied;
  if (changed) c->report(SyncEvent::ReadFailed);
  if (xattrs != err::ok && xattrs != err::not_supported) c->report(SyncEvent::WriteFailed);
  report_left_out(c, before.sys_attr);
  return true;
}

Error create_file_aside(HANDLE folder, const char* name, void* copy) {
  return file_create_at(&static_cast<Copy*>(copy)->target, folder, name);
}

}  // namespace

void copy_run(Copy* c) {
  const char* made = c->replace ? c->aside : c->name;
  Error e = c->buffer == nullptr || handle_is_none(c->folder) ? err::out_of_memory : err::ok;
  if (e == err::ok)
    e = c->replace ? make_aside(c->folder, c->aside, create_file_aside, c) : file_create_at(&c->target, c->folder, made);
  if (e != err::ok) {
    c->report(SyncEvent::CreateFailed);
  } else {
    c->done = write_copy(c);
    FileInfo copy{};
    if (c->done && c->wants_id && file_info_brief_from_handle(c->target, &copy) == 0) c->copy_id = copy.file_id[0];
    close_handle(&c->target);
    if (!c->done) entry_delete_at(c->folder, made);
  }
  close_handle(&c->target);
  close_handle(&c->source);
}

Error make_aside(HANDLE folder, AsideName& temp, AsideMaker make, void* context) {
  // Names tried for the new content of a replaced entry, in its folder.
  constexpr int kReplaceNameTries = 16;
  temp[0] = 0;
  Error e = handle_is_none(folder) ? err::invalid_handle : err::already_exists;
  for (int i = 0; i < kReplaceNameTries && (e == err::already_exists || e == err::file_exists); ++i) {
    text_format(temp, sizeof temp, ".tarn~%d", i);
    e = make(folder, temp, context);
  }
  return e;
}

bool put_in_place(Engine* g, HANDLE folder, const char* temp, const char* old_name, uint32_t old_attr,
                  const char* rel) {
  // A protected old file refuses to be replaced: its attributes are cleared
  // first and put back when the rename fails.
  constexpr uint32_t kProtect = ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM;
  const bool cleared = (old_attr & kProtect) && attr_set_at(folder, old_name, old_attr & ~kProtect) == 0;
  if (file_rename_over_at(folder, temp, old_name) != 0) {
    if (cleared) attr_set_at(folder, old_name, old_attr);
    entry_delete_at(folder, temp);
    g->report(SyncEvent::DeleteFailed, rel);
    return false;
  }
  g->report(SyncEvent::Removed, rel);
  g->report(SyncEvent::Added, rel);
  return true;
}

}  // namespace sync_engine
