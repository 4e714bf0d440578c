// The engine on real temporary trees: each case builds a source and a target,
// runs one synchronization (optionally with a planned system call failure),
// and checks the events in order, the result and the whole target tree after.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/memory.h"
#include "fs/file_ops.h"
#include "fs/native.h"
#include "fs/path.h"
#include "platform/platform.h"
#include "ntfs_model.h"
#include "sync/engine.h"
#include "fixtures.h"
#include "test_os.h"

#ifndef _WIN32
#include "platform/posix/libc_door.h"
#endif

namespace {

const char* event_name(SyncEvent e) {
  static const char* const kNames[] = {"?",           "Identical",    "Removed",    "Added",
                                       "Differs",     "DeleteFailed", "CreateFailed", "OpenFailed",
                                       "ReadFailed",  "WriteFailed",  "LinkReadFailed", "LinkCreateFailed",
                                       "NotEncrypted", "StreamsLeft", "HeldBack",   "Special",    "TimesNotKept", "XattrsNotKept"};
  const auto i = static_cast<size_t>(e);
  return i < std::size(kNames) ? kNames[i] : "?";
}

void record(void* user, SyncEvent event, const char* relative_path) {
  std::string path = relative_path;
  std::replace(path.begin(), path.end(), '\\', '/');
  static_cast<std::vector<std::string>*>(user)->push_back(std::string(event_name(event)) + " " + path);
}

struct Outcome {
  SyncResult result;
  std::vector<std::string> events;
};

std::string resolved(const std::string& path) {
  ScopedPool pool;
  const char* r = path_resolve(pool.get(), nullptr, path.c_str());
  return r ? r : "";
}

// One run over the roots as given.
Outcome sync_roots(const std::string& source, const std::string& target, uint32_t flags, uint32_t copies = 0) {
  Outcome run{};
  run.result = synchronize(nullptr, source.c_str(), target.c_str(), flags, nullptr, record, &run.events, nullptr,
                           copies);
  return run;
}

Outcome run_sync(const testos::TempDir& source, const testos::TempDir& target, uint32_t flags,
                 uint32_t copies = 0) {
  return sync_roots(resolved(source.path()), resolved(target.path()), flags, copies);
}

const Tree kSource = {
    {"a.txt", "A"}, {"sub", kFolder}, {"sub/b.txt", "BB"}, {"sub/deep", kFolder}, {"sub/deep/c.txt", "C"},
};

Tree with(Tree tree, const Tree& more) {
  for (const auto& [path, content] : more) tree[path] = content;
  return tree;
}

Tree prefixed(const std::string& prefix, const Tree& tree) {
  Tree out;
  for (const auto& [path, content] : tree) out[prefix + path] = content;
  return out;
}

Tree without(Tree tree, std::initializer_list<const char*> paths) {
  for (const char* p : paths) tree.erase(p);
  return tree;
}

struct Fault {
  sys::SysCall call;
  uint32_t nth;
  uint32_t status;
};

struct Case {
  const char* what;
  Tree target;                     // before the run
  uint32_t flags;
  std::vector<Fault> faults;
  std::vector<std::string> events;
  Tree after;                      // the whole target tree after the run
};

TEST(Engine, TreesAndEvents) {
  SKIP_UNLESS_LISTING();
  const Tree extras = {{"old", kFolder}, {"old/y.txt", "Y"}, {"x.txt", "X"}};
  const std::vector<std::string> copy_all = {"Added a.txt", "Added sub", "Added sub/b.txt",
                                             "Added sub/deep", "Added sub/deep/c.txt"};
  const Case cases[] = {
      {"empty target: everything copied", {}, kSyncDefaultFlags, {}, copy_all, kSource},
      {"extras kept and reported",
       extras,
       kSyncDefaultFlags,
       {},
       {"Added a.txt", "Differs old", "Differs old/y.txt", "Differs old", "Added sub", "Added sub/b.txt", "Added sub/deep",
        "Added sub/deep/c.txt", "Differs x.txt"},
       with(kSource, extras)},
      {"extras removed, differing file replaced",
       with(extras, {{"a.txt", "other"}}),
       0,
       {},
       {"Removed a.txt", "Added a.txt", "Removed old/y.txt", "Removed old", "Added sub", "Added sub/b.txt",
        "Added sub/deep", "Added sub/deep/c.txt", "Removed x.txt"},
       kSource},
      {"test run changes nothing",
       with(extras, {{"a.txt", "other"}}),
       SYNC_TEST_RUN,
       {},
       {"Removed a.txt", "Added a.txt", "Removed old/y.txt", "Removed old", "Added sub", "Added sub/b.txt",
        "Added sub/deep", "Added sub/deep/c.txt", "Removed x.txt"},
       with(extras, {{"a.txt", "other"}})},
      {"differing file kept",
       {{"a.txt", "other"}},
       SYNC_KEEP_EXISTING | kSyncDefaultFlags,
       {},
       {"Differs a.txt", "Added sub", "Added sub/b.txt", "Added sub/deep", "Added sub/deep/c.txt"},
       with(kSource, {{"a.txt", "other"}})},
      {"write fails: the partial file goes, the rest is copied",
       {},
       kSyncDefaultFlags,
       {{sys::SysCall::WriteFile, 1, err::disk_full}},
       {"WriteFailed a.txt", "Added sub", "Added sub/b.txt", "Added sub/deep", "Added sub/deep/c.txt"},
       without(kSource, {"a.txt"})},
      {"read fails: the old file is kept, the rest is copied",
       {{"a.txt", "other"}, {"sub", kFolder}},
       0,
       {{sys::SysCall::ReadFile, 1, err::access_denied}},
       {"ReadFailed a.txt", "Identical sub", "Added sub/b.txt", "Added sub/deep", "Added sub/deep/c.txt",
        "Identical sub"},
       with(kSource, {{"a.txt", "other"}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testos::TempDir source, target;
    make_tree(source, kSource);
    make_tree(target, c.target);
    sys::FaultScope plan;
    for (const Fault& f : c.faults) ASSERT_TRUE(sys::fault_arm(f.call, f.nth, f.status));
    // A planned nth call meets the same file only one copy at a time.
    const Outcome run = run_sync(source, target, c.flags, c.faults.empty() ? 0 : 1);
    EXPECT_EQ(run.result, SyncResult::Finished);
    EXPECT_EQ(run.events, c.events);
    EXPECT_EQ(read_tree(target), c.after);
    EXPECT_EQ(read_tree(source), kSource);
  }
}

// A finished copy is identical on a second run, which changes nothing and
// makes no write.
TEST(Engine, SecondRunFindsEverythingIdentical) {
  SKIP_UNLESS_LISTING();
  testos::TempDir source, target;
  make_tree(source, kSource);
  ASSERT_EQ(run_sync(source, target, kSyncDefaultFlags).result, SyncResult::Finished);
  sys::CallCounter writes(sys::SysCall::WriteFile);
  const Outcome again = run_sync(source, target, kSyncDefaultFlags);
  EXPECT_EQ(again.result, SyncResult::Finished);
  // A folder on both sides is met twice: before and after its contents.
  EXPECT_EQ(again.events,
            (std::vector<std::string>{"Identical a.txt", "Identical sub", "Identical sub/b.txt", "Identical sub/deep",
                                      "Identical sub/deep/c.txt", "Identical sub/deep", "Identical sub"}));
  EXPECT_EQ(writes.count(), 0u);
  EXPECT_EQ(read_tree(target), kSource);
}

#ifndef _WIN32
using sys::SysCall;

// The Linux layer's calls in a no-change re-run, per folder holding one file
// (both trees together): the runs over trees of 2 and of 6 such folders
// differ by 4 folders' worth. Listing a folder is one open, one status of
// the folder, two reads of its names and a close; each entry costs one status
// and one attribute list; the target folder's time is checked through one
// more open.
TEST(Engine, ReRunCallsPerFolder) {
  SKIP_UNLESS_LISTING();
  const struct {
    SysCall call;
    uint32_t most;
  } budget[] = {
      {SysCall::openat, 3},     {SysCall::fstat, 3},  {SysCall::fstatat, 1},
      {SysCall::statx, 4},      {SysCall::getdents64, 4}, {SysCall::fcntl, 1},
      {SysCall::close, 4},      {SysCall::listxattr_at, 4},
  };
  uint32_t made[2][std::size(budget)] = {};
  for (int size = 0; size < 2; ++size) {
    testos::TempDir source, target;
    Tree tree;
    for (int i = 0; i < (size ? 6 : 2); ++i) {
      const std::string folder = "d" + std::to_string(i);
      tree[folder] = kFolder;
      tree[folder + "/f"] = "x";
    }
    make_tree(source, tree);
    ASSERT_EQ(run_sync(source, target, kSyncDefaultFlags).result, SyncResult::Finished);
    std::vector<sys::CallCounter> counters;
    for (const auto& b : budget) counters.emplace_back(b.call);
    ASSERT_EQ(run_sync(source, target, kSyncDefaultFlags).result, SyncResult::Finished);
    for (size_t i = 0; i < std::size(budget); ++i) made[size][i] = counters[i].count();
  }
  for (size_t i = 0; i < std::size(budget); ++i) {
    const uint32_t per_folder = (made[1][i] - made[0][i]) / 4;
    EXPECT_LE(per_folder, budget[i].most) << sys::call_name(budget[i].call) << ": " << made[0][i] << " then " << made[1][i];
  }
}

// Every folder shown as lying on a FUSE file system: the Linux layer asks its
// entries' statuses on several threads.
int fuse_everywhere(int fd, struct statfs* st) {
  const int r = ::fstatfs(fd, st);
  st->f_type = 0x65735546;
  return r;
}

// Folders on a network file system are listed with their entries' statuses
// asked in parallel: a first copy of folders larger than one batch of
// statuses and a second run that finds every entry identical.
TEST(Engine, NetworkFoldersListedInParallel) {
  SKIP_UNLESS_LISTING();
  TARN_TEST_IN_CHILD_PROCESS();  // each device is asked once per process
  const sys::CallReplacement<SysCall::fstatfs> remote(fuse_everywhere);
  testos::TempDir source, target;
  Tree tree;
  for (int i = 0; i < 300; ++i) tree["d" + std::to_string(i % 3) + "/f" + std::to_string(i)] = std::string(i % 7, 'x');
  for (int i = 0; i < 3; ++i) tree["d" + std::to_string(i)] = kFolder;
  make_tree(source, tree);
  ASSERT_EQ(run_sync(source, target, kSyncDefaultFlags).result, SyncResult::Finished);
  EXPECT_EQ(read_tree(target), tree);
  const Outcome again = run_sync(source, target, kSyncDefaultFlags);
  EXPECT_EQ(again.result, SyncResult::Finished);
  // A folder is met twice: before and after its contents.
  EXPECT_EQ(std::count_if(again.events.begin(), again.events.end(),
                          [](const std::string& e) { return e.rfind("Identical ", 0) == 0; }),
            static_cast<long>(tree.size() + 3));
  EXPECT_EQ(again.events.size(), tree.size() + 3);
}
#endif

// Refuses every open of an entry whose name starts with "locked", on either
// side, whichever thread asks: such a folder cannot be listed.
NTSTATUS refuse_locked(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                       PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition, ULONG options,
                       PVOID ea, ULONG ea_length) {
  if (attributes && attributes->ObjectName && attributes->ObjectName->Buffer) {
    const std::u16string name(reinterpret_cast<const char16_t*>(attributes->ObjectName->Buffer),
                              attributes->ObjectName->Length / 2);
    const size_t separator = name.find_last_of(u"\\/");
    const size_t start = separator == std::u16string::npos ? 0 : separator + 1;
    if (name.compare(start, 6, u"locked") == 0) {
      if (handle) *handle = INVALID_HANDLE_VALUE;
      return static_cast<NTSTATUS>(0xC0000022u);  // access denied
    }
  }
  return sys::g_calls.NtCreateFile.fallback(handle, access, attributes, io, size, file_attributes, share,
                                           disposition, options, ea, ea_length);
}

// Refuses every open that asks for read-control or extended-attribute
// rights, as an access list that denies them would.
NTSTATUS refuse_unused_rights(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                              PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition,
                              ULONG options, PVOID ea, ULONG ea_length) {
  if (access & (0x20000 | 0x8 | 0x10)) {
    if (handle) *handle = INVALID_HANDLE_VALUE;
    return static_cast<NTSTATUS>(0xC0000022u);
  }
  return sys::g_calls.NtCreateFile.fallback(handle, access, attributes, io, size, file_attributes, share,
                                           disposition, options, ea, ea_length);
}

// Copying, replacing and removing need none of those rights.
TEST(Engine, OpensAskOnlyForWhatTheyUse) {
  SKIP_UNLESS_LISTING();
  testos::TempDir source, target;
  make_tree(source, kSource);
  make_tree(target, {{"a.txt", "other"}, {"old", kFolder}, {"old/y.txt", "Y"}});
  const sys::CallReplacement<sys::SysCall::NtCreateFile> refuse(refuse_unused_rights);
  const Outcome run = run_sync(source, target, 0);
  EXPECT_EQ(run.events, (std::vector<std::string>{"Removed a.txt", "Added a.txt", "Removed old/y.txt", "Removed old",
                                                  "Added sub", "Added sub/b.txt", "Added sub/deep",
                                                  "Added sub/deep/c.txt"}));
  EXPECT_EQ(read_tree(target), kSource);
}

// The listers read folders ahead on threads of their own; the events and the
// resulting tree are those of a run that reads each folder when it gets there
// (a fault plan that never fires keeps a run to one thread). Folders that
// cannot be listed, on either side, sit among folders read ahead; after a
// source folder fails, no extra target entry may go.
TEST(Engine, ReadAheadChangesNothing) {
  SKIP_UNLESS_LISTING();
  Tree source, target;
  for (int i = 0; i < 12; ++i) {
    const std::string d = "d" + std::to_string(i);
    source[d] = kFolder;
    source[d + "/f.txt"] = d;
    source[d + "/sub"] = kFolder;
    source[d + "/sub/g.txt"] = "g";
    if (i % 3 == 0) target[d] = kFolder;
    if (i % 3 == 0) target[d + "/extra.txt"] = "x";
    if (i % 4 == 1) target[d + ".txt"] = "extra file";
  }
  source["d4/locked"] = kFolder;
  source["d4/locked/h.txt"] = "h";
  target["d4"] = kFolder;
  target["d4/locked"] = kFolder;
  target["d4/zz.txt"] = "extra after a failed source folder";
  target["d9"] = kFolder;
  target["d9/locked"] = kFolder;  // an extra folder that cannot be listed
  target["d9/locked/i.txt"] = "i";
  source["locked2"] = kFolder;
  source["locked2/j.txt"] = "j";
  target["zz"] = kFolder;
  target["zz/k.txt"] = "k";
  const sys::CallReplacement<sys::SysCall::NtCreateFile> refuse(refuse_locked);
  for (uint32_t flags : {0u, kSyncDefaultFlags}) {
    SCOPED_TRACE(flags);
    Outcome runs[2];
    Tree trees[2];
    for (int one_thread = 0; one_thread < 2; ++one_thread) {
      testos::TempDir s, t;
      make_tree(s, source);
      make_tree(t, target);
      sys::FaultScope plan;
      // The one-thread run is refused every thread, so each walk reads
      // every folder itself and the engine makes every copy.
      if (one_thread) {
        ASSERT_TRUE(sys::fault_arm(sys::SysCall::CreateThread, 1, err::not_enough_memory, 1000));
      }
      sys::CallCounter threads(sys::SysCall::CreateThread);
      runs[one_thread] = run_sync(s, t, flags);
      // A folder reader per side, then the copy workers (the first refused
      // ends their start).
      EXPECT_EQ(threads.count(), one_thread ? 3u : 2u + sync_copies_default(false));
      trees[one_thread] = read_tree(t);
    }
    EXPECT_EQ(runs[0].result, runs[1].result);
    EXPECT_EQ(runs[0].events, runs[1].events);
    EXPECT_EQ(trees[0], trees[1]);
    EXPECT_NE(std::find(runs[0].events.begin(), runs[0].events.end(), "OpenFailed d4/locked"), runs[0].events.end());
    EXPECT_EQ(trees[0].count("zz/k.txt"), 1u);  // kept: a source folder before it failed
  }
}

// Lists every name "bad_name" as "bad\name", as a name made by another system
// would come: not a plain name, so it cannot be used.
NTSTATUS list_bad_names(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context, PIO_STATUS_BLOCK io,
                        PVOID buffer, ULONG length, FILE_INFORMATION_CLASS info_class, BOOLEAN single_entry,
                        PUNICODE_STRING file_name, BOOLEAN restart_scan) {
  const NTSTATUS st = sys::g_calls.NtQueryDirectoryFile.fallback(handle, event, apc, apc_context, io, buffer, length,
                                                                 info_class, single_entry, file_name, restart_scan);
  auto* units = static_cast<char16_t*>(buffer);
  const std::u16string_view all(units, st == 0 ? io->Information / 2 : 0);
  for (size_t at = all.find(u"bad_name"); at != all.npos; at = all.find(u"bad_name", at + 1)) units[at + 3] = u'\\';
  return st;
}

// A target name that cannot be used is named in its warning, and from then
// on no extra target entry is removed; extras met before it still go.
TEST(Engine, UnusableTargetNameStopsRemovals) {
  SKIP_UNLESS_LISTING();
  const sys::CallReplacement<sys::SysCall::NtQueryDirectoryFile> names(list_bad_names);
  const Tree in_root = {{"bad_name", "b"}, {"keep.txt", "k"}, {"sub", kFolder}, {"zz.txt", "z"}};
  const Tree in_sub = {{"a.txt", "a"}, {"keep.txt", "k"}, {"sub", kFolder}, {"sub/bad_name", "b"}, {"zz.txt", "z"}};
  const std::pair<Tree, std::vector<std::string>> cases[] = {
      {in_root,
       {"OpenFailed bad/name", "Identical keep.txt", "Identical sub", "Identical sub", "HeldBack .",
        "Differs zz.txt"}},
      {in_sub,
       {"Removed a.txt", "Identical keep.txt", "OpenFailed sub/bad/name", "Identical sub", "Identical sub",
        "HeldBack .", "Differs zz.txt"}},
  };
  for (const auto& [target, events] : cases) {
    testos::TempDir s, t;
    make_tree(s, {{"keep.txt", "k"}, {"sub", kFolder}});
    make_tree(t, target);
    const Outcome run = run_sync(s, t, SYNC_SKIP_IDENTICAL);
    EXPECT_EQ(run.events, events);
    EXPECT_EQ(read_tree(t), without(target, {"a.txt"}));
  }
}

// A source file that yields data without end (a device in its place, a file
// that keeps growing): a copy, a replacement and a read-through never read
// past the size it had when opened, but for one byte.
uint64_t g_handed_out = 0;
BOOL endless_read(HANDLE, void* buffer, DWORD length, DWORD* done, OVERLAPPED*) {
  *done = g_handed_out < (8u << 20) ? length : 0;  // bounded, should the bound fail
  std::memset(buffer, 'x', *done);
  g_handed_out += *done;
  return TRUE;
}

TEST(Engine, NeverReadsPastTheSourceSize) {
  SKIP_UNLESS_LISTING();
  const sys::CallReplacement<sys::SysCall::ReadFile> endless(endless_read);
  for (const auto& [target, flags, event] : {std::tuple{Tree{}, 0u, "ReadFailed f"}, {{{"f", "old"}}, 0u, "ReadFailed f"},
                                             {{}, uint32_t{SYNC_VIRTUAL_TARGET}, "Added f"}}) {
    testos::TempDir s, t;
    make_tree(s, {{"f", "0123456789"}});
    make_tree(t, target);
    g_handed_out = 0;
    const Outcome run = run_sync(s, t, kSyncDefaultFlags | flags);
    EXPECT_LE(g_handed_out, 11u) << event;
    EXPECT_EQ(run.events, std::vector<std::string>{event});
    EXPECT_EQ(read_tree(t), target);
  }
}

// A file system that takes a change of times and keeps none of it.
NTSTATUS times_dropped(HANDLE h, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS c) {
  if (c == FileBasicInformation) return 0;
  return sys::g_calls.NtSetInformationFile.fallback(h, io, buffer, length, c);
}

// Write times that do not stick are told once per target folder: the files
// there will be copied again by every run.
TEST(Engine, WriteTimesNotKeptAreToldOncePerFolder) {
  SKIP_UNLESS_LISTING();
  testos::TempDir s, t;
  make_tree(s, {{"a", "1"}, {"b", "2"}, {"sub", kFolder}, {"sub/c", "3"}});
  for (const char* name : {"a", "b", "sub/c"}) {  // old files, so a new time shows
    HANDLE h;
    ASSERT_EQ(file_open(&h, s.join(name).c_str(), 0x4), err::ok);
    EXPECT_EQ(write_time_set(h, 130000000000000000ull), err::ok);
    native_close(h);
  }
  const sys::CallReplacement<sys::SysCall::NtSetInformationFile> dropped(times_dropped);
  EXPECT_EQ(run_sync(s, t, kSyncDefaultFlags).events,
            (std::vector<std::string>{"TimesNotKept .", "Added a", "Added b", "Added sub", "TimesNotKept sub",
                                      "Added sub/c"}));
}

// Roots are taken as given, with or without a separator at the end: a
// missing target is made, and every new entry lands beneath it.
TEST(Engine, RootsTakenAsGiven) {
  SKIP_UNLESS_LISTING();
  testos::TempDir source, parent;
  make_tree(source, kSource);
  const std::string s = resolved(source.path()) + "\\", t = resolved(parent.join("made"));
  const Outcome copied = sync_roots(s, t, kSyncDefaultFlags);
  const Outcome again = sync_roots(s, t + "\\", kSyncDefaultFlags);
  EXPECT_EQ(copied.result, SyncResult::Finished);
  EXPECT_EQ(again.result, SyncResult::Finished);
  // Every entry added, then every entry found identical (folders twice).
  EXPECT_EQ(copied.events.size(), kSource.size());
  EXPECT_EQ(again.events.size(), kSource.size() + 2);
  EXPECT_EQ(read_tree(parent), with({{"made", kFolder}}, prefixed("made/", kSource)));
}

// A source or target that cannot be listed ends the run before any event.
NTSTATUS refuse_listing(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS,
                        BOOLEAN, PUNICODE_STRING, BOOLEAN) {
  return static_cast<NTSTATUS>(0xC0000185L);  // an I/O error
}

TEST(Engine, UnusableRoots) {
  SKIP_UNLESS_LISTING();
  testos::TempDir source, target;
  make_tree(source, kSource);
  ScopedPool pool;
  const char* s = path_resolve(pool.get(), nullptr, source.path().c_str());
  const char* t = path_resolve(pool.get(), nullptr, target.path().c_str());
  const std::string missing = std::string(t) + "\\missing\\below";
  std::vector<std::string> events;
  EXPECT_EQ(synchronize(nullptr, missing.c_str(), t, kSyncDefaultFlags, nullptr, record, &events),
            SyncResult::SourceUnusable);
  EXPECT_EQ(synchronize(nullptr, s, missing.c_str(), kSyncDefaultFlags, nullptr, record, &events),
            SyncResult::TargetUnusable);
  // A root that opens but whose entries cannot be read (they are read on
  // the lister's worker) is as unusable.
  {
    const sys::CallReplacement<sys::SysCall::NtQueryDirectoryFile> refuse(refuse_listing);
    EXPECT_EQ(synchronize(nullptr, s, t, kSyncDefaultFlags, nullptr, record, &events), SyncResult::SourceUnusable);
  }
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(read_tree(target).empty());
}

// The engine on the NTFS model of reparse points: a junction or a cloud
// folder opened as itself lists empty, so each must be listed through itself.
struct ModelRun {
  testos::TempDir source, target, elsewhere;
  ntfs_model::Model model;
  bool usable() const { return listing_unavailable().empty() && !testos::running_under_wine(); }
};

std::vector<std::string> only(const std::vector<std::string>& events, const char* kind) {
  std::vector<std::string> out;
  for (const std::string& e : events)
    if (e.rfind(kind, 0) == 0) out.push_back(e);
  return out;
}

const Tree kAway = {{"d", kFolder}, {"d/g.txt", "G"}, {"f.txt", "F"}};
const Tree kAwayUnderJ = {{"J", kFolder}, {"J/d", kFolder}, {"J/d/g.txt", "G"}, {"J/f.txt", "F"}};

TEST(EngineOnNtfs, SourceJunctionIsCopiedAndKept) {
  ModelRun m;
  if (!m.usable()) GTEST_SKIP() << "no listing, or Wine";
  make_tree(m.elsewhere, kAway);
  make_tree(m.source, {{"J", kFolder}});
  ASSERT_TRUE(m.model.junction(m.source.join("J"), m.elsewhere.path()));
  Outcome run = run_sync(m.source, m.target, kSyncDefaultFlags);
  EXPECT_EQ(run.result, SyncResult::Finished);
  EXPECT_EQ(run.events, (std::vector<std::string>{"Added J", "Added J/d", "Added J/d/g.txt", "Added J/f.txt"}));
  EXPECT_EQ(read_tree(m.target), kAwayUnderJ);
  // With removal on, a target copy that differs is kept, never emptied.
  testos::TempDir copy;
  make_tree(copy, with(kAwayUnderJ, {{"J/f.txt", "older"}}));
  run = run_sync(m.source, copy, SYNC_KEEP_EXISTING | SYNC_SKIP_IDENTICAL);
  EXPECT_EQ(only(run.events, "Removed"), std::vector<std::string>{});
  EXPECT_EQ(read_tree(copy), with(kAwayUnderJ, {{"J/f.txt", "older"}}));
  EXPECT_EQ(read_tree(m.elsewhere), kAway);
}

TEST(EngineOnNtfs, JunctionToAnAncestorEndsWithOneCycle) {
  ModelRun m;
  if (!m.usable()) GTEST_SKIP() << "no listing, or Wine";
  make_tree(m.source, {{"J", kFolder}, {"a.txt", "A"}});
  ASSERT_TRUE(m.model.junction(m.source.join("J"), m.source.path()));
  const Outcome run = run_sync(m.source, m.target, kSyncDefaultFlags);
  EXPECT_EQ(run.result, SyncResult::Finished);
  EXPECT_EQ(run.events, (std::vector<std::string>{"Added a.txt", "Added J", "Added J/a.txt", "OpenFailed J/J",
                                                  "Added J/J"}));
  EXPECT_EQ(read_tree(m.target), (Tree{{"J", kFolder}, {"J/J", kFolder}, {"J/a.txt", "A"}, {"a.txt", "A"}}));
}

// A target junction facing a source folder is listed through itself: a
// second run finds everything identical. An extra one goes as itself.
TEST(EngineOnNtfs, TargetJunctions) {
  ModelRun m;
  if (!m.usable()) GTEST_SKIP() << "no listing, or Wine";
  make_tree(m.source, kAwayUnderJ);
  make_tree(m.target, {{"J", kFolder}});
  ASSERT_TRUE(m.model.junction(m.target.join("J"), m.elsewhere.path()));
  EXPECT_EQ(run_sync(m.source, m.target, kSyncDefaultFlags).result, SyncResult::Finished);
  const Outcome again = run_sync(m.source, m.target, kSyncDefaultFlags);
  EXPECT_EQ(only(again.events, "Identical").size(), again.events.size()) << again.events.size();
  EXPECT_EQ(read_tree(m.elsewhere), kAway);

  testos::TempDir empty;
  const Outcome removal = run_sync(empty, m.target, 0);
  EXPECT_EQ(removal.events, std::vector<std::string>{"Removed J"});
  EXPECT_EQ(read_tree(m.target), Tree{});
  EXPECT_EQ(read_tree(m.elsewhere), kAway);
}

// A cloud folder (a tag that is no name surrogate) lists in full through its
// filter; a modelled folder symbolic link stays a link and is not entered.
TEST(EngineOnNtfs, CloudFolderAndFolderLink) {
  ModelRun m;
  if (!m.usable()) GTEST_SKIP() << "no listing, or Wine";
  make_tree(m.source, {{"C", kFolder}, {"C/new.txt", "N"}, {"C/f.txt", "F"}, {"L", kFolder}});
  ASSERT_TRUE(m.model.cloud(m.source.join("C")));
  ASSERT_TRUE(m.model.symlink(m.source.join("L"), "..\\away", m.elsewhere.path()));
  make_tree(m.target, {{"C", kFolder}, {"C/f.txt", "older"}});
  ASSERT_TRUE(m.model.cloud(m.target.join("C")));
  const Outcome run = run_sync(m.source, m.target, SYNC_KEEP_EXISTING | SYNC_SKIP_IDENTICAL);
  EXPECT_EQ(run.events, (std::vector<std::string>{"Identical C", "Differs C/f.txt", "Added C/new.txt",
                                                  "Identical C", "Added L"}));
  EXPECT_EQ(read_tree(m.target),
            (Tree{{"C", kFolder}, {"C/f.txt", "older"}, {"C/new.txt", "N"}, {"L", "-> ../away"}}));
}

// Where setting the reparse data is refused (no link privilege, or access
// denied), the create-symbolic-link call for standard users makes the link.
// A text rooted without a drive stays as it is, relative-flagged.
TEST(EngineOnNtfs, RefusedLinkDataFallsBack) {
  for (const uint32_t status : {0u, 0xC0000061u, 0xC0000022u}) {
    SCOPED_TRACE(status);
    ModelRun m;
    if (!m.usable()) GTEST_SKIP() << "no listing, or Wine";
    make_tree(m.source, {{"L", kFolder}});
    ASSERT_TRUE(m.model.symlink(m.source.join("L"), "\\top\\x", m.elsewhere.path()));
    m.model.refuse_link_data(status);
    EXPECT_EQ(run_sync(m.source, m.target, kSyncDefaultFlags).events, std::vector<std::string>{"Added L"});
    EXPECT_EQ(m.model.unprivileged_links(), status ? 1u : 0u);
    EXPECT_EQ(m.model.link_text(), u"\\top\\x");
    EXPECT_EQ(m.model.link_flags(), 1u);
    EXPECT_EQ(read_tree(m.target), (Tree{{"L", "-> /top/x"}}));
  }
}

// What NTFS files hold beyond their data: an encrypted file and one with
// named streams are copied with a warning each; a sparse file arrives sparse,
// only its stored ranges written (more ranges than one query gives, the last
// one said to reach past the end).
TEST(EngineOnNtfs, EncryptedStreamsAndSparseFiles) {
  ModelRun m;
  if (!m.usable()) GTEST_SKIP() << "no listing, or Wine";
  constexpr uint64_t kSize = 8 << 20, kStep = 64 << 10;
  std::string image(kSize, '\0');
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (uint64_t at = 0; at < kSize; at += kStep) {
    ranges.push_back({at, at + kStep < kSize ? 4096 : kSize});
    image.replace(at, 8, std::to_string(10000000 + at / kStep));
  }
  make_tree(m.source, {{"a.txt", "A"}, {"secret.txt", "S"}, {"streams.txt", "T"}, {"image.bin", image}});
  ASSERT_TRUE(m.model.file(m.source.join("secret.txt"), 0x4000, 0));
  ASSERT_TRUE(m.model.file(m.source.join("streams.txt"), 0, 2));
  ASSERT_TRUE(m.model.file(m.source.join("image.bin"), 0x200, 0, ranges));
  const Outcome run = run_sync(m.source, m.target, kSyncDefaultFlags);
  EXPECT_EQ(run.events, (std::vector<std::string>{"Added a.txt", "Added image.bin", "NotEncrypted secret.txt",
                                                  "Added secret.txt", "StreamsLeft streams.txt",
                                                  "Added streams.txt"}));
  EXPECT_EQ(read_tree(m.target), read_tree(m.source));
  EXPECT_EQ(m.model.sparse_set(), 1u);
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(::stat(m.target.join("image.bin").c_str(), &st), 0);
  EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, kSize / 4);
#endif
}

}  // namespace
