// Start-up: the wide argument vector becomes one UTF-8 block that lives for
// the whole process, and the run's result becomes the exit code.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The body of the program's wide entry: converts the vector and runs the
// command. -1 when the conversion could not be allocated.
int32_t startup_entry(int32_t argc, wchar16** argv);

// The process's UTF-8 argument vector (null before start-up or when the
// conversion failed); the count goes to `count` when given.
char** process_arguments(int32_t* count);
