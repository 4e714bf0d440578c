// The command line and the run.
#include "app/run.h"

#include <cstring>

#include "app/cancel.h"
#include "app/report.h"
#include "app/signal_window.h"
#include "base/memory.h"
#include "base/text_format.h"
#include "base/unicode.h"
#include "base/threads.h"
#include "fs/console.h"
#include "fs/file_ops.h"
#include "fs/path.h"
#include "sync/engine.h"
#include "platform/conventions.h"

namespace {

constexpr const char kUsage[] =
    "Larchwood\n"
    "build 26AL\n"
    "syntax: tarn [<switch> ..] [-p | <source>] [ -r | <target>] [[+|-]<filter> ...]\n"
    "switches:\n"
    "  -a  Always replace target, even when appears identical to source files.\n"
    "  -d  Delete files in target that don't exist in source.\n"
    "  -e  Abort on error.\n"
    "  -i  Ignore times when determining if files are identical.\n"
    "  -k  Do not replace existing files.\n"
    "  -p  Source is a virtual empty folder, for use with -d to facilitate filtered deletions.\n"
    "  -q  Less verbose output.\n"
    "  -r  Target is a virtual empty folder, to facilitate verify/recall/caching of source files.\n"
    "  -t  Test run, make no modifications.\n"
    "  -v  More verbose output.\n"
    "  -  Remaining arguments are not switches.\n"
    "If <source> contains wildcards, the portion up to the first element containing wildcards "
    "will be used as the source folder and the remaining elements will be used as a + filter. "
    "Wilcards are not processed in the <target>.\n"
    "If no filters are specified then all files are processed.\n"
    "examples:\n"
    "   tarn source backup -**.obj -**.lib +tools/**\n"
    "   tarn source backup *.cpp\n"
    "   tarn source/*.cpp backup\n"
    "   tarn -d -p backup +**.obj\n"
    "   tarn source -r\n";

struct StatusPair {
  Error code;
  int32_t status;
};

// Searched from the top; the first match wins, so the later duplicates of 5
// and 123 are never reached.
constexpr StatusPair kStatusTable[] = {
    {err::ok, 0},
    {err::broken_pipe, 1},
    {err::cancelled, 2},          {err::operation_aborted, 2},
    {err::invalid_function, 3},   {err::revision_mismatch, 3},
    {err::invalid_parameter, 4},  {err::invalid_handle, 4},     {err::buffer_overflow, 4},
    {err::access_denied, 5},      {err::access_denied, 5},      {err::status_file_is_a_directory, 5},
    {err::out_of_memory, 6},
    {err::gen_failure, 7},        {err::assertion_failure, 7},
    {err::not_found, 8},          {err::mod_not_found, 8},      {err::file_not_found, 8},
    {err::path_not_found, 9},     {err::path_not_found, 9},
    {err::already_exists, 10},    {err::file_exists, 10},
    {err::handle_disk_full, 11},  {err::disk_full, 11},
    {err::invalid_name, 12},      {err::folder_cycle, 12},
    {err::dir_not_empty, 13},
    {err::handle_eof, 14},
    {err::access_denied, 15},
    {err::delete_pending, 16},
    {err::bad_format, 17},        {err::bad_exe_format, 17},
    {err::sem_timeout, 18},       {err::netname_deleted, 18},
    {err::directory, 19},         {err::directory, 19},
    {err::no_more_files, 20},
    {err::user_apc, 21},
    {err::retry, 22},             {err::would_block, 22},
    {err::crc, 23},
    {err::not_same_device, 24},
    {err::child_not_complete, 3}, {err::direct_access_handle, 3}, {err::invalid_name, 3},
    {err::is_substed, 3},         {err::sem_is_set, 3},
};
static_assert(sizeof(kStatusTable) / sizeof(kStatusTable[0]) == 47);


// Everything one run reads from its arguments.
struct RunState {
  StringPool* pool;
  const char* source = nullptr;   // resolved; "" for a virtual empty source
  const char* target = nullptr;   // resolved; "" for a virtual empty target
  const char** filters = nullptr; // room for every argument plus the terminator
  int32_t filter_count = 0;
  uint32_t flags = kSyncDefaultFlags;
  uint32_t copies = 0;            // file copies at once (-jN); 0: the default
  bool end_of_switches = false;
  ReportSettings report;  // the engine callback's user data
};

void add_filter(RunState* run, const char* filter) { run->filters[run->filter_count++] = filter; }

// Splits the source argument into a folder and an optional "+" filter:
// wildcards start the filter at the element that holds the first of them,
// and an existing file becomes a filter naming just that file.
Error take_source(RunState* run, const char* arg) {
  Allocator* a = &run->pool->allocator;
  const size_t length = str_len(arg);
  size_t wildcard = length;
  // The '?' or '.' of a device form (\\?\C:\..., \\.\...) is no wildcard.
  const bool device_form = kDevicePathForms && length >= 4 && is_path_separator(arg[0]) && is_path_separator(arg[1]) &&
                           (arg[2] == '?' || arg[2] == '.') && is_path_separator(arg[3]);
  for (size_t i = device_form ? 4 : 0; i < length; ++i) {
    if (arg[i] == '*' || arg[i] == '?') {
      wildcard = i;
      break;
    }
  }

  // Where '*' and '?' are name characters (Linux), an argument that names
  // an existing folder as a whole is that folder.
  uint8_t is_folder = 0;
  if (kSystemNamesAreBytes && wildcard < length && file_probe(arg, &is_folder) == 0 && is_folder) wildcard = length;

  size_t split_end = 0;  // split at the last separator before this position
  bool split = false;
  if (wildcard < length) {
    split = true;
    split_end = wildcard;
  } else if (length > 0 && !is_path_separator(arg[length - 1]) && !is_folder) {
    if (file_probe(arg, &is_folder) == 0 && !is_folder) {
      split = true;
      split_end = length;
    }
  }

  const char* folder = arg;
  if (split) {
    size_t sep = split_end;
    while (sep > 0 && !is_path_separator(arg[sep - 1])) --sep;
    if (sep > 0) {
      folder = pool_strndup(a, arg, sep - 1);
      add_filter(run, pool_format(a, "+%s", arg + sep));
    } else {
      folder = ".";
      add_filter(run, pool_format(a, "+%s", arg));
    }
  }

  if (run->pool->failures != 0) return err::out_of_memory;
  const char* resolved = str_is_empty(folder) ? nullptr : path_resolve(run->pool, nullptr, folder);
  if (resolved == nullptr) {
    print("ERROR: Invalid source \"%s\"\n", path_display(run->pool, folder));
    return err::invalid_parameter;
  }
  run->source = resolved;
  return 0;
}

Error take_target(RunState* run, const char* arg) {
  // An empty argument (an unset variable in a script) is refused rather than
  // taken as the current folder.
  const char* resolved = str_is_empty(arg) ? nullptr : path_resolve(run->pool, nullptr, arg);
  if (resolved == nullptr) {
    print("ERROR: Invalid target \"%s\"\n", path_display(run->pool, arg));
    return err::invalid_parameter;
  }
  run->target = resolved;
  return 0;
}

enum class ArgOutcome { Next, Usage, Version, Failed, OutOfMemory };

// A switch the program does not know stops the run before anything is
// touched: a typo must not turn a test run into a real one.
ArgOutcome refuse_switch(RunState* run, const char* arg) {
  print("ERROR: Unknown switch \"%s\" (tarn -h lists the switches)\n", path_display(run->pool, arg));
  return ArgOutcome::Failed;
}

// The long switches: --help, --version, and "--" ending the switches.
ArgOutcome take_long_switch(RunState* run, const char* arg) {
  if (arg[2] == 0) {
    run->end_of_switches = true;
    return ArgOutcome::Next;
  }
  if (std::strcmp(arg, "--help") == 0) return ArgOutcome::Usage;
  if (std::strcmp(arg, "--version") == 0) return ArgOutcome::Version;
  return refuse_switch(run, arg);
}

// -jN: N file copies made at once, 1 to 64 (-j1: one after another). The
// count is part of the switch; where names are bytes only the "-" form is
// one, so that a path such as /j2 stays a path.
bool copies_switch(const char* arg) {
  const bool lead = arg[0] == '-' || (arg[0] == '/' && !kSystemNamesAreBytes);
  if (!lead || ascii_lower(arg[1]) != 'j' || !is_digit(arg[2])) return false;
  for (const char* c = arg + 2; *c; ++c)
    if (!is_digit(*c)) return false;
  return true;
}

ArgOutcome take_copies(RunState* run, const char* arg) {
  // A bare -j has no count and is refused as one out of range.
  uint32_t count = 0;
  for (const char* c = arg + 2; *c && count <= kSyncCopiesMax; ++c) count = count * 10 + static_cast<uint32_t>(*c - '0');
  if (count < 1 || count > kSyncCopiesMax) {
    print("ERROR: Invalid switch \"%s\": -j takes a count of copies from 1 to %u, as in -j4\n",
          path_display(run->pool, arg), kSyncCopiesMax);
    return ArgOutcome::Failed;
  }
  run->copies = count;
  return ArgOutcome::Next;
}

ArgOutcome take_switch(RunState* run, const char* arg) {
  switch (ascii_lower(arg[1])) {
    case 'a': run->flags &= ~uint32_t{SYNC_SKIP_IDENTICAL}; break;
    case 'c': run->flags |= SYNC_COMPARE; break;
    case 's': run->report.summary = true; break;
    case 'd': run->flags &= ~uint32_t{SYNC_KEEP_EXTRAS}; break;
    case 'e': run->report.abort_on_error = true; break;
    case 'i': run->flags |= SYNC_IGNORE_TIMES; break;
    case 'k': run->flags |= SYNC_KEEP_EXISTING; break;
    case 't': run->flags |= SYNC_TEST_RUN; break;
    case 'q': --run->report.verbosity; break;
    case 'v': ++run->report.verbosity; break;
    case 'p':
      if (run->source != nullptr) {
        print("ERROR: -p implies an empty source folder, but source folder was already specified.\n");
        return ArgOutcome::Failed;
      }
      run->source = "";
      break;
    case 'r':
      if (run->target != nullptr) {
        print("ERROR: -r implies an empty target folder, but target folder was already specified.\n");
        return ArgOutcome::Failed;
      }
      run->target = "";
      break;
    case 'h':
    case '?':
      return ArgOutcome::Usage;
    case 'j':
      return take_copies(run, arg);
    default:
      return refuse_switch(run, arg);
  }
  return ArgOutcome::Next;
}

// Whether the text is one byte as typed: one byte, or where the system's
// names are bytes, one escape (a backslash, a byte that is not UTF-8).
bool one_byte(const char* text) {
  uint64_t next = 0;
  return text[0] != 0 && (text[1] == 0 || (kSystemNamesAreBytes &&
                                           is_name_escape(utf8_decode_next(text, kToTerminator, 0, &next)) &&
                                           text[next] == 0));
}

ArgOutcome take_argument(RunState* run, const char* arg) {
  if (arg[0] == '-' && arg[1] == 0) {
    run->end_of_switches = true;
    return ArgOutcome::Next;
  }
  if (!run->end_of_switches && arg[0] == '-' && arg[1] == '-') return take_long_switch(run, arg);
  if (!run->end_of_switches && (arg[0] == '-' || arg[0] == '/') && one_byte(arg + 1)) return take_switch(run, arg);
  if (!run->end_of_switches && copies_switch(arg)) return take_copies(run, arg);
  Error e = 0;
  if (run->source == nullptr)
    e = take_source(run, arg);
  else if (run->target == nullptr)
    e = take_target(run, arg);
  else
    add_filter(run, arg);
  return e == 0 ? ArgOutcome::Next : e == err::out_of_memory ? ArgOutcome::OutOfMemory : ArgOutcome::Failed;
}

Error run_sync(RunState* run, Signal* abort) {
  if (run->report.verbosity >= 2) {
    print("source: %s\n", path_display(run->pool, run->source));
    print("target: %s\n", path_display(run->pool, run->target));
    for (int32_t i = 0; i < run->filter_count; ++i) print("filter: %s\n", path_display(run->pool, run->filters[i]));
  }
  run->filters[run->filter_count] = nullptr;

  const uint64_t started = tick_ms();
  SyncMeter meter;
  meter.progress = report_progress;
  SyncResult result = synchronize(abort, run->source, run->target, run->flags, run->filters, report_event,
                                  &run->report, &meter, run->copies);
  report_end_marks(&run->report);
  const uint64_t elapsed = tick_ms() - started;
  // A root that could not be opened because the abort came first is the abort.
  if (result != SyncResult::Finished && signal_is_raised(abort)) result = SyncResult::Aborted;

  const bool stopped_on_warning = run->report.stop_warning != nullptr;
  if (result == SyncResult::Aborted && stopped_on_warning)
    print("ERROR: Aborted on error: %s\n", run->report.stop_warning);
  report_clear_stop(&run->report);
  Error code = 0;
  switch (result) {
    case SyncResult::Finished:
      break;
    case SyncResult::Aborted:
      // Under -e the closing line names the warning that stopped the run.
      if (!stopped_on_warning) print("ERROR: Aborted due to user request\n");
      code = err::cancelled;
      break;
    case SyncResult::SourceUnusable:
      print("ERROR: Unable to open source folder \"%s\"\n", path_display(run->pool, run->source));
      code = err::not_found;
      break;
    case SyncResult::TargetUnusable:
      print("ERROR: Unable to open or create target folder \"%s\"\n", path_display(run->pool, run->target));
      code = err::access_denied;
      break;
  }
  // The summary closes the output, whatever the outcome.
  if (run->report.summary) report_summary(&run->report, meter.bytes, elapsed, (run->flags & SYNC_TEST_RUN) != 0);
  return code;
}

Error run_arguments(RunState* run, Signal* abort, int32_t argc, char** argv, ArgOutcome* shown) {
  if (argc < 1) {
    print("ERROR: Must specify source and target\n");
    return err::invalid_parameter;
  }
  if (argc == 1) {
    *shown = ArgOutcome::Usage;
    return 0;
  }
  // Every argument can add at most one filter, the source at most two.
  run->filters = static_cast<const char**>(
      pool_allocate(run->pool, (static_cast<size_t>(argc) + 2) * sizeof(const char*)));
  if (run->filters == nullptr) return err::out_of_memory;

  for (int32_t i = 1; i < argc; ++i) {
    if (signal_is_raised(abort)) break;
    const ArgOutcome outcome = take_argument(run, argv[i] ? argv[i] : "");
    switch (outcome) {
      case ArgOutcome::Next: break;
      case ArgOutcome::Usage:
      case ArgOutcome::Version: *shown = outcome; return 0;
      case ArgOutcome::Failed: return err::invalid_parameter;
      case ArgOutcome::OutOfMemory: return err::out_of_memory;
    }
  }
  // Reading stopped at the abort: the arguments read so far are no verdict.
  if (signal_is_raised(abort)) {
    print("ERROR: Aborted due to user request\n");
    return err::cancelled;
  }
  if (run->source == nullptr || run->target == nullptr) {
    print("ERROR: Must specify source and target\n");
    return err::invalid_parameter;
  }
  if (run->pool->failures != 0) return err::out_of_memory;
  return run_sync(run, abort);
}

}  // namespace

void print_usage() { print("%s", kUsage); }

int32_t error_to_status(Error code) {
  for (const StatusPair& pair : kStatusTable)
    if (pair.code == code) return pair.status;
  return kStatusUnlisted;
}

int32_t run_command(int32_t argc, char** argv) {
  ScopedPool pool;
  Signal* abort = cancel_context(kAbortSignal);
  signals_start();

  RunState run;
  run.pool = pool.get();
  const uint64_t failed_before = print_failures();
  ArgOutcome shown = ArgOutcome::Next;
  const Error code = run_arguments(&run, abort, argc, argv, &shown);
  if (shown == ArgOutcome::Usage) print_usage();
  if (shown == ArgOutcome::Version) print("tarn %s\n", TARN_VERSION);
  return run_status(code, run.report.failures, print_failures() != failed_before);
}

int32_t run_status(Error code, uint64_t failures, bool output_failed) {
  const int32_t status = code == 0 ? kStatusSuccess : error_to_status(code);
  if (status != kStatusSuccess) return status;
  // A script reads the status, not the lines: a report it never got, or a
  // finished run with failed entries, is no success.
  if (output_failed) return kStatusOutputFailed;
  return failures != 0 ? kStatusEntriesFailed : kStatusSuccess;
}
