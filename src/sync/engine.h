// The synchronization engine: makes a target folder tree match a source tree
// in one merged, ordered pass over both, reporting one event per decision.
#pragma once

#include <cstdint>

#include "base/error.h"

struct Signal;
struct TreeLister;

// Flag word of a run. Bits not named here are ignored.
enum SyncFlags : uint32_t {
  SYNC_KEEP_EXTRAS = 0x01,     // extra target entries stay (reported as Differs)
  SYNC_SKIP_IDENTICAL = 0x02,  // identical file pairs are left alone
  SYNC_IGNORE_TIMES = 0x04,    // the identical test compares sizes only
  SYNC_KEEP_EXISTING = 0x08,   // differing pairs are left alone (Differs)
  SYNC_TEST_RUN = 0x10,        // nothing is modified; events as if it were
  SYNC_VIRTUAL_TARGET = 0x40,  // the target is a virtual empty folder
  SYNC_COMPARE = 0x80,         // file pairs that look identical are read and compared byte for byte
};

constexpr uint32_t kSyncDefaultFlags = SYNC_KEEP_EXTRAS | SYNC_SKIP_IDENTICAL;

enum class SyncEvent : int32_t {
  Identical = 1,
  Removed = 2,
  Added = 3,
  Differs = 4,
  DeleteFailed = 5,
  CreateFailed = 6,
  OpenFailed = 7,
  ReadFailed = 8,
  WriteFailed = 9,
  LinkReadFailed = 10,
  LinkCreateFailed = 11,
  // Notices of a file copied whole in its data but not in all it holds
  // (not failures: the copy stands).
  CopyNotEncrypted = 12,   // the source is encrypted, its copy is not
  StreamsNotCopied = 13,   // the source's named data streams were left out
  // Once per target folder whose extras are kept, not removed, because a
  // source folder could not be listed or a target name used (the folder's
  // relative path, "." for the root).
  DeletionsHeldBack = 14,
  // A source FIFO, socket or device, never read: not a failure.
  SpecialNotRead = 15,
  // A target folder whose file system did not keep the write time set on a
  // copy (checked once per folder): its files will be copied again.
  TimesNotKept = 16,
  // The target refused the extended attributes of an entry (the first one
  // refused; told once per run): its copies go without them.
  XattrsNotKept = 17,
};

enum class SyncResult : int32_t {
  Finished = 0,
  Aborted = 1,
  SourceUnusable = 2,
  TargetUnusable = 3,
};

// Called once per decision with the entry's relative path (valid during the
// call only).
using SyncCallback = void (*)(void* user, SyncEvent event, const char* relative_path);

// Copy and read-through piece size.
constexpr uint64_t kSyncCopyBufferSize = 0x100000;

// `source` and `target` are resolved roots (path_resolve), taken as they are.
// An empty source string means a virtual empty source folder; an empty target
// string (or SYNC_VIRTUAL_TARGET) a virtual empty target folder. `filters` is
// a null-terminated array handed unchanged to both listers (may be null).
// Files of this size or more have their copy or read-through measured out.
constexpr uint64_t kSyncProgressMinimum = 64ull << 20;

// What a run tells besides its events, for a caller that asks.
struct SyncMeter {
  // File data copied (under SYNC_TEST_RUN: that would be copied; to a
  // virtual target: read), set when the run ends.
  uint64_t bytes = 0;
  // Called while a file of kSyncProgressMinimum bytes or more is copied or
  // read through: at its start, between pieces, and once at its end (done
  // equal to total, or not when it stops short), with the callback's user.
  void (*progress)(void* user, const char* relative_path, uint64_t done, uint64_t total) = nullptr;
};

// Copies made at once: at most this many. By default, into a network file
// system four per processor (4 to 16), where the copies wait for the
// server; elsewhere one per processor (2 to 16), where more only contend.
constexpr uint32_t kSyncCopiesMax = 64;
uint32_t sync_copies_default(bool remote);

// `user` is handed to every call of `callback` (and of the meter's
// progress). `meter` may be null. `copies`: file copies made at once (0: the
// default; 1: one after another on the calling thread).
SyncResult synchronize(Signal* abort, const char* source, const char* target, uint32_t flags,
                       const char* const* filters, SyncCallback callback, void* user, SyncMeter* meter = nullptr,
                       uint32_t copies = 0);

// A lister that yields nothing: its next answers err::no_more_files with empty outputs.
Error empty_lister_open(TreeLister** out);
