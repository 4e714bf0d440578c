// Formatted text written to a handle or to standard output: as UTF-8 bytes
// to a pipe or file, as UTF-16 to a console.
#pragma once

#include "base/text_format.h"
#include "platform/platform.h"

// Render and write to a handle. A failed write is not retried; it is
// counted for print_failures.
void print_vto(HANDLE h, const char* format, FormatArgs args);
template <typename... A>
void print_to(HANDLE h, const char* format, A... args) {
  const uint64_t slots[sizeof...(A) + 1] = {format_slot(args)...};
  print_vto(h, format, FormatArgs{slots, sizeof...(A)});
}

// Render and write to standard output.
void print_v(const char* format, FormatArgs args);
template <typename... A>
void print(const char* format, A... args) {
  const uint64_t slots[sizeof...(A) + 1] = {format_slot(args)...};
  print_v(format, FormatArgs{slots, sizeof...(A)});
}

// How many texts could not be written (in full) since the process started.
uint64_t print_failures();

// Whether the handle is a console. A handle's console state does not change
// during a run, so each handle is asked once and the answer kept (a few
// handles; asked anew once the console-mode call is replaced).
bool console_is(HANDLE h);

// Forgets the kept answers: for a caller that makes a handle another thing
// (a test that turns standard output into a console and back).
void console_forget();
