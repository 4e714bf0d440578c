// Test program: opens a file for reading without sharing it, prints "ready"
// and keeps it open until its standard input ends.
//   hold_open <path>
#include "base/memory.h"
#include "base/unicode.h"
#include "platform/platform.h"

extern "C" int wmain(int argc, wchar16** argv) {
  if (argc != 2) return 100;
  HANDLE file = sys::CreateFileW(argv[1], 0x80000000u /* generic read */, 0 /* no sharing */,
                                 3 /* open existing */, 0);
  if (file == INVALID_HANDLE_VALUE) return 101;
  DWORD done = 0;
  sys::WriteFile(sys::GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &done, nullptr);
  char byte;
  while (sys::ReadFile(sys::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &done, nullptr) && done != 0) {
  }
  sys::CloseHandle(file);
  return 0;
}
