// Redirection of standard output for tests of console printing.
#include <cstdio>
#include <filesystem>

#include "test_os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace testos {

#ifdef _WIN32
StdoutToFile::StdoutToFile(const std::string& path) {
  std::fflush(stdout);
  std::wstring w = std::filesystem::path(path).wstring();
  HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  saved_ = reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
  file_ = reinterpret_cast<intptr_t>(h);
  ok_ = SetStdHandle(STD_OUTPUT_HANDLE, h) != 0;
}

StdoutToFile::~StdoutToFile() {
  if (file_ == -1) return;
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(saved_));
  CloseHandle(reinterpret_cast<HANDLE>(file_));
}
#else
StdoutToFile::StdoutToFile(const std::string& path) {
  std::fflush(stdout);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  file_ = fd;
  saved_ = ::dup(1);
  ok_ = saved_ >= 0 && ::dup2(fd, 1) == 1;
}

StdoutToFile::~StdoutToFile() {
  if (file_ < 0) return;
  if (saved_ >= 0) {
    ::dup2(static_cast<int>(saved_), 1);
    ::close(static_cast<int>(saved_));
  }
  ::close(static_cast<int>(file_));
}
#endif

}  // namespace testos
