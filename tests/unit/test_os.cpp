#include "test_os.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testos {

TempDir::TempDir() {
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path p = base / ("tarn-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything writable first so read-only entries go too.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string TempDir::join(const std::string& rel) const { return (fs::path(path_) / rel).string(); }

bool write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

bool read_file(const std::string& path, std::string* bytes) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *bytes = ss.str();
  return true;
}

bool make_dir(const std::string& path) {
  std::error_code ec;
  return fs::create_directory(path, ec);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

#ifdef _WIN32
static HANDLE open_with(const std::string& path, DWORD access, DWORD disposition) {
  std::wstring w = fs::path(path).wstring();
  return CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}
HANDLE open_read(const std::string& path) { return open_with(path, GENERIC_READ, OPEN_EXISTING); }
HANDLE open_write(const std::string& path) { return open_with(path, GENERIC_WRITE, CREATE_ALWAYS); }
bool make_pipe(HANDLE* r, HANDLE* w) { return CreatePipe(r, w, nullptr, 0) != 0; }
void close(HANDLE h) { CloseHandle(h); }
bool running_under_wine() {
  HMODULE nt = GetModuleHandleW(L"ntdll.dll");
  return nt && GetProcAddress(nt, "wine_get_version") != nullptr;
}
#else
static HANDLE wrap(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : posix_handle_from_fd(fd); }
HANDLE open_read(const std::string& path) { return wrap(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); }
HANDLE open_write(const std::string& path) {
  return wrap(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}
bool make_pipe(HANDLE* r, HANDLE* w) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  *r = posix_handle_from_fd(fds[0]);
  *w = posix_handle_from_fd(fds[1]);
  return true;
}
void close(HANDLE h) { ::close(posix_fd_from_handle(h)); }
bool running_under_wine() { return false; }
#endif

namespace {

constexpr char kChildVariable[] = "TARN_TEST_CHILD";

std::string current_test_filter() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
}

// Runs this program with the filter and the child mark; its exit code, or -1.
int run_self(const std::string& filter) {
#ifdef _WIN32
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return -1;
  std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_brief=1 " + fs::path(filter).wstring();
  SetEnvironmentVariableA(kChildVariable, "1");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const BOOL made = CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableA(kChildVariable, nullptr);
  if (!made) return -1;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
#else
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setenv(kChildVariable, "1", 1);
    const char* argv[] = {"tarn_unit", "--gtest_brief=1", filter.c_str(), nullptr};
    execv("/proc/self/exe", const_cast<char**>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

}  // namespace

bool rerun_in_child() {
  if (std::getenv(kChildVariable)) return false;
  const std::string filter = current_test_filter();
  EXPECT_EQ(run_self(filter), 0) << "the test failed in its own process (" << filter << ")";
  return true;
}

}  // namespace testos
