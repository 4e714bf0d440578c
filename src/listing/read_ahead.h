// The tree lister's read-ahead: a worker thread that reads the folders the
// walk is going to enter, in the order it will enter them, while the walk
// hands out entries. Private to the listing layer.
#pragma once

#include <cstdint>

#include "listing/dir_level.h"

namespace tree_walk {

struct ReadAhead;

// A read-ahead with no worker yet (started with the first jobs); null
// without memory.
ReadAhead* read_ahead_create(CancelContext* cancel, uint32_t flags);

// Stops the worker, frees every job left (with the folders read for them)
// and the read-ahead itself. Null: nothing.
void read_ahead_destroy(ReadAhead* a);

// Hands the reading of the root folder open in `reader` to the worker
// (started for it), so that it goes on while the caller does other work.
// False when there is no worker: the caller still owns the reader.
bool read_ahead_root(ReadAhead* a, DirReader* reader);

// The root folder handed over by read_ahead_root, once read: the walk waits
// for it. The level is the caller's.
Error read_ahead_take_root(ReadAhead* a, DirLevel** out);

// Whether the walk enters the folder entry `name` (described by `info`) of
// `level`.
using WalkEnters = bool (*)(void* walk, const DirLevel* level, const char* name, const FileInfo* info);

// Hands the subfolders of `level` (which just became current) that the
// walk would enter to the worker, which is started with the first of them.
// The jobs, to be taken in the walk's order and dropped before the level is
// destroyed; null when none were made.
LevelJobs* read_ahead_schedule(ReadAhead* a, DirLevel* level, WalkEnters enters, void* walk);

// The level of the folder entry `entry` when its job was read ahead: the
// jobs before it are passed, the walk waits for it while it is being read.
// False when it was not read ahead: the walk reads it itself.
bool read_ahead_take(ReadAhead* a, LevelJobs* jobs, const Frame& entry, DirLevel** out, Error* result);

// Before the level of `jobs` is destroyed: its remaining jobs are passed,
// the walk waits for any still being read, and the jobs are freed.
void read_ahead_drop(ReadAhead* a, LevelJobs* jobs);

}  // namespace tree_walk
