// Test scaffolding that needs the operating system directly: temporary
// folders, whole-file reads and writes, pipes. Not part of the program.
#pragma once

#include <string>

#include "platform/platform.h"

namespace testos {

// A fresh empty folder, removed with its contents on destruction. path() is
// the native form (Linux path, or Windows path under Wine).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string join(const std::string& rel) const;

 private:
  std::string path_;
};

bool write_file(const std::string& path, const std::string& bytes);
bool read_file(const std::string& path, std::string* bytes);
bool make_dir(const std::string& path);
bool exists(const std::string& path);

// Opens a file for reading or writing as a synchronous handle.
HANDLE open_read(const std::string& path);
HANDLE open_write(const std::string& path);  // creates or truncates

// A pipe: read end and write end.
bool make_pipe(HANDLE* read_end, HANDLE* write_end);
void close(HANDLE h);

bool running_under_wine();

// Runs the calling test again, alone, in a new process of the test program
// and expects it to pass there: true in this process, which then returns;
// false in that child, which runs the test's body. For once-only set-up and
// races whose counts must come out exact whatever ran before.
bool rerun_in_child();
#define TARN_TEST_IN_CHILD_PROCESS() \
  do {                               \
    if (testos::rerun_in_child()) return; \
  } while (0)

}  // namespace testos

namespace testos {

// Points standard output (what GetStdHandle(STD_OUTPUT_HANDLE) returns) at a
// new file until destroyed.
class StdoutToFile {
 public:
  explicit StdoutToFile(const std::string& path);
  ~StdoutToFile();
  StdoutToFile(const StdoutToFile&) = delete;
  StdoutToFile& operator=(const StdoutToFile&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  intptr_t saved_ = -1;
  intptr_t file_ = -1;
};

}  // namespace testos
