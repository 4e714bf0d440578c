// Test program: the fault sweep. Mirrors a mixed tree with "tarn -d" once per
// (system call, ordinal, status): the nth call of that name fails with the
// status, for every n up to the calls a fault-free run makes. After each run:
// no crash, hang or sanitizer report, no handle left open, the source as it
// was, every target entry in its old state or a complete copy of its source
// (never partial, never gone), no silent success and a documented status;
// then a fault-free run must converge to an exact mirror.
//   fault_sweep <scratch folder> [--stride N] [--full]
// --stride N tries every Nth ordinal (default 1 with --full, else 3).
// Linux only: each run is a child process; elsewhere it does nothing.
#ifdef _WIN32
#include "platform/platform.h"
extern "C" int wmain(int, wchar16**) { return 0; }
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/platform.h"

namespace {

// One entry as the checks compare it.
struct Entry {
  char kind;          // 'f' file, 'd' folder, 'l' link
  std::string data;   // file content or link text
  long mtime;         // files: seconds
  bool operator==(const Entry& o) const { return kind == o.kind && data == o.data; }
};
using Tree = std::map<std::string, Entry>;

void put_file(const std::string& path, const std::string& data, long mtime, bool read_only = false) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) std::abort();
  close(fd);
  timeval times[2] = {{mtime, 0}, {mtime, 0}};
  utimes(path.c_str(), times);
  if (read_only) chmod(path.c_str(), 0444);
}

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0755);
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) remove_tree(path + "/" + e->d_name);
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void read_tree(const std::string& root, const std::string& rel, Tree* out) {
  DIR* d = opendir((root + rel).c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    const std::string name = rel + "/" + e->d_name;
    const std::string path = root + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    Entry entry{'f', "", 0};
    if (S_ISLNK(st.st_mode)) {
      char text[4096];
      const ssize_t n = readlink(path.c_str(), text, sizeof text);
      entry = Entry{'l', std::string(text, n > 0 ? n : 0), 0};
    } else if (S_ISDIR(st.st_mode)) {
      entry.kind = 'd';
      read_tree(root, name, out);
    } else {
      const int fd = open(path.c_str(), O_RDONLY);
      char buffer[65536];
      ssize_t n;
      while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) entry.data.append(buffer, n);
      if (fd >= 0) close(fd);
      entry.mtime = st.st_mtime;
      // The read-only state is part of a file's data here.
      if (!(st.st_mode & S_IWUSR)) entry.data += "<read-only>";
    }
    (*out)[name] = entry;
  }
  closedir(d);
}

Tree snapshot(const std::string& root) {
  Tree t;
  read_tree(root, "", &t);
  return t;
}

constexpr long kOld = 1500000000, kNew = 1600000000;

// The mixed tree: identical, new, changed and read-only files, new and extra
// folders with contents, a new link, extra files and an extra link. A big
// file takes several pieces to copy.
void make_trees(const std::string& src, const std::string& dst) {
  remove_tree(src);
  remove_tree(dst);
  mkdir(src.c_str(), 0755);
  mkdir(dst.c_str(), 0755);
  put_file(src + "/same.txt", "same", kOld);
  put_file(dst + "/same.txt", "same", kOld);
  put_file(src + "/new.txt", "new file", kNew);
  put_file(src + "/changed.txt", "changed, longer content", kNew);
  put_file(dst + "/changed.txt", "old", kOld);
  put_file(src + "/ro.txt", "new read-only", kNew, true);
  put_file(dst + "/ro.txt", "old read-only", kOld, true);
  std::string big(1100 * 1024, 'b');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + i / 4096 % 26);
  put_file(src + "/big.bin", big, kNew);
  put_file(dst + "/big.bin", "small old", kOld);
  mkdir((src + "/dir").c_str(), 0755);
  mkdir((src + "/dir/sub").c_str(), 0755);
  put_file(src + "/dir/inner.txt", "inner", kNew);
  put_file(src + "/dir/sub/deep.txt", "deep", kNew);
  if (symlink("same.txt", (src + "/link").c_str()) != 0) std::abort();
  put_file(dst + "/extra.txt", "extra", kOld);
  mkdir((dst + "/extradir").c_str(), 0755);
  put_file(dst + "/extradir/e.txt", "e", kOld);
  if (symlink("nowhere", (dst + "/oldlink").c_str()) != 0) std::abort();
}

// Descriptors open on entries of the scratch folder (the process's own
// events, pipes and console are not counted).
int count_fds(const std::string& scratch) {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      char target[4096];
      const ssize_t k = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target - 1);
      if (k > 0 && std::string(target, k).rfind(scratch + "/", 0) == 0 && std::string(target, k) != scratch + "/output")
        ++n;
    }
    closedir(d);
  }
  return n;
}

// What one child run reports back.
struct Outcome {
  int32_t status = -1;  // run status
  int32_t leaked = 0;   // descriptors left open by the run
  uint32_t seen[8] = {};
};

struct Result {
  bool ok = false;      // exited normally with code 0 (no crash, hang or sanitizer report)
  std::string why;
  Outcome out;
  std::string output;
};

// Runs "tarn -d src dst" in a child with the plan armed: fault (nth of call
// with status), or just counting the calls named in `count`.
Result run_child(const std::string& scratch, const std::string& src, const std::string& dst, const char* call,
                 uint32_t nth, uint32_t status, const std::vector<const char*>& count) {
  const std::string log = scratch + "/output";
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) std::abort();
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    close(out);
    alarm(120);
    sys::SysCall ids[8] = {};
    uint32_t start[8] = {};
    for (size_t i = 0; i < count.size() && i < 8; ++i) {
      if (!sys::call_by_name(count[i], &ids[i])) _exit(98);
      start[i] = sys::calls_made(ids[i]);
    }
    // Without a failure to plan, a plan that never fires: every run takes
    // the paths a planned failure meets (no kept memory blocks, no in-kernel
    // copy), so the counts are the faulted runs' own, whichever thread makes
    // the calls.
    if (!sys::fault_arm(call ? call : "NtCreateFile", call ? nth : UINT32_MAX, status)) _exit(98);
    Outcome o;
    const int before = count_fds(scratch);
    char* argv[] = {const_cast<char*>("tarn"), const_cast<char*>("-d"), const_cast<char*>(src.c_str()),
                    const_cast<char*>(dst.c_str()), nullptr};
    o.status = run_command(4, argv);
    for (size_t i = 0; i < count.size() && i < 8; ++i) o.seen[i] = sys::calls_made(ids[i]) - start[i];
    sys::fault_clear();
    o.leaked = count_fds(scratch) - before;
    if (write(pipe_fds[1], &o, sizeof o) != static_cast<ssize_t>(sizeof o)) _exit(99);
    close(pipe_fds[1]);
    std::exit(0);
  }
  close(pipe_fds[1]);
  Result r;
  Outcome o;
  const bool got = read(pipe_fds[0], reinterpret_cast<char*>(&o), sizeof o) == static_cast<ssize_t>(sizeof o);
  r.out = o;
  close(pipe_fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFSIGNALED(wstatus))
    r.why = "killed by signal " + std::to_string(WTERMSIG(wstatus)) + (WTERMSIG(wstatus) == SIGALRM ? " (hang)" : "");
  else if (WEXITSTATUS(wstatus) != 0)
    r.why = "exit code " + std::to_string(WEXITSTATUS(wstatus)) + " (sanitizer report?)";
  else if (!got)
    r.why = "no outcome";
  r.ok = r.why.empty();
  if (FILE* f = std::fopen(log.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) r.output.append(buffer, n);
    std::fclose(f);
  }
  return r;
}

// The statuses a file call can really fail with: access denied, sharing
// violation, disk full, not found, out of memory, I/O error.
constexpr uint32_t kNtStatuses[] = {0xC0000022, 0xC0000043, 0xC000007F, 0xC0000034, 0xC0000017, 0xC0000185};
constexpr uint32_t kWin32Statuses[] = {5, 32, 112, 2, 8, 1117};
constexpr uint32_t kMemoryStatuses[] = {0xC0000017};

struct Call {
  const char* name;
  const uint32_t* statuses;
  size_t status_count;
};
#define CALL(name, list) Call{name, list, sizeof list / sizeof list[0]}
const Call kCalls[] = {
    CALL("NtCreateFile", kNtStatuses),           CALL("NtQueryInformationFile", kNtStatuses),
    CALL("NtSetInformationFile", kNtStatuses),   CALL("NtQueryDirectoryFile", kNtStatuses),
    CALL("NtFsControlFile", kNtStatuses),        CALL("NtQueryVolumeInformationFile", kNtStatuses),
    CALL("NtQueryObject", kNtStatuses),          CALL("ReadFile", kWin32Statuses),
    CALL("WriteFile", kWin32Statuses),           CALL("GetFullPathNameW", kWin32Statuses),
    CALL("GetCurrentDirectoryW", kWin32Statuses), CALL("NtAllocateVirtualMemory", kMemoryStatuses),
};

// 4: the source or target path cannot be resolved (the current folder is
// not available); kStatusOutputFailed: the report could not be written;
// kStatusEntriesFailed: the run finished with failed entries.
bool documented_status(int32_t s) {
  return s == 0 || s == 4 || s == 5 || s == 6 || s == 8 || s == kStatusOutputFailed || s == kStatusEntriesFailed;
}

// The checks after a faulted run; empty when all hold.
std::string check_faulted(const Result& r, const Tree& source_before, const Tree& target_before,
                          const Tree& source_after, const Tree& target_after) {
  if (!r.ok) return r.why;
  if (r.out.leaked != 0) return std::to_string(r.out.leaked) + " handles left open";
  if (!documented_status(r.out.status)) return "undocumented status " + std::to_string(r.out.status);
  if (!(source_after == source_before)) return "the source changed";
  for (const auto& [name, now] : target_after) {
    const auto old = target_before.find(name);
    const auto want = source_before.find(name);
    if (!(old != target_before.end() && old->second == now) && !(want != source_before.end() && want->second == now))
      return "target entry " + name + " is neither old nor a complete copy";
  }
  for (const auto& [name, old] : target_before)
    if (source_before.count(name) && !target_after.count(name)) return "target entry " + name + " is gone";
  const bool mirror = target_after == source_before;
  const bool printed = r.output.find("WARNING") != std::string::npos || r.output.find("ERROR") != std::string::npos;
  if (!mirror && r.out.status == 0 && !printed) return "silent success without a mirror";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fault_sweep <scratch folder> [--stride N] [--full]\n");
    return 2;
  }
  const std::string scratch = argv[1];
  uint32_t stride = 3;
  bool full = false;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--full")) full = true;
    if (!std::strcmp(argv[i], "--stride") && i + 1 < argc) stride = static_cast<uint32_t>(std::atoi(argv[++i]));
  }
  if (full) stride = 1;
  if (stride == 0) stride = 1;
  mkdir(scratch.c_str(), 0755);
  const std::string src = scratch + "/src", dst = scratch + "/dst";

  // A fault-free run: its calls per name, and the exact mirror it leaves.
  make_trees(src, dst);
  const Tree source_before = snapshot(src), target_before = snapshot(dst);
  std::vector<uint32_t> calls;
  const size_t call_count = sizeof kCalls / sizeof kCalls[0];
  for (size_t first = 0; first < call_count; first += 8) {
    make_trees(src, dst);
    std::vector<const char*> names;
    for (size_t i = first; i < call_count && i < first + 8; ++i) names.push_back(kCalls[i].name);
    const Result r = run_child(scratch, src, dst, nullptr, 0, 0, names);
    if (!r.ok || r.out.status != 0 || !(snapshot(dst) == source_before)) {
      std::printf("FAIL: the fault-free run does not mirror (%s, status %d)\n%s", r.why.c_str(), r.out.status,
                  r.output.c_str());
      return 1;
    }
    for (size_t i = 0; i < names.size(); ++i) calls.push_back(r.out.seen[i]);
  }

  uint64_t tried = 0, total_calls = 0, failures = 0;
  for (size_t c = 0; c < call_count; ++c) {
    const Call& call = kCalls[c];
    total_calls += calls[c];
    for (uint32_t nth = 1; nth <= calls[c]; nth += stride) {
      for (size_t s = 0; s < call.status_count; ++s) {
        ++tried;
        make_trees(src, dst);
        const Result r = run_child(scratch, src, dst, call.name, nth, call.statuses[s], {});
        std::string why = check_faulted(r, source_before, target_before, snapshot(src), snapshot(dst));
        if (why.empty()) {
          const Result again = run_child(scratch, src, dst, nullptr, 0, 0, {});
          if (!again.ok || again.out.status != 0 || again.out.leaked != 0)
            why = "the next run failed: " + again.why + " status " + std::to_string(again.out.status) + ", " +
                  std::to_string(again.out.leaked) + " handles left open\n" + again.output;
          else if (!(snapshot(dst) == source_before))
            why = "the next run does not converge";
          else
            for (const auto& [name, e] : snapshot(dst))
              if (e.kind == 'f' && e.mtime != source_before.at(name).mtime) why = "the next run leaves " + name + " with another time";
        }
        if (!why.empty()) {
          ++failures;
          std::printf("FAIL: %s call %u status 0x%X: %s\n%s", call.name, nth, call.statuses[s], why.c_str(),
                      r.output.c_str());
        }
      }
    }
  }
  std::printf("fault sweep: %llu calls in a fault-free run, %llu faulted runs (stride %u), %llu failed\n",
              static_cast<unsigned long long>(total_calls), static_cast<unsigned long long>(tried), stride,
              static_cast<unsigned long long>(failures));
  for (size_t c = 0; c < call_count; ++c) std::printf("  %s: %u calls\n", kCalls[c].name, calls[c]);
  remove_tree(src);
  remove_tree(dst);
  return failures == 0 ? 0 : 1;
}
#endif
