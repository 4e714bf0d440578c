// The command line and the run: arguments to a synchronization, its report
// and the process exit status.
#pragma once

#include <cstdint>

#include "base/error.h"

// Exit statuses the run itself produces.
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusOutputFailed = 1;    // the report could not be written (the table's broken pipe)
constexpr int32_t kStatusEntriesFailed = 25;  // finished, with failed entries: past every status of the table
constexpr int32_t kStatusAborted = 2;
constexpr int32_t kStatusBadArguments = 4;
constexpr int32_t kStatusTargetUnusable = 5;
constexpr int32_t kStatusUnlisted = 7;
constexpr int32_t kStatusSourceUnusable = 8;

// argv holds argc UTF-8 strings, element 0 the program name.
int32_t run_command(int32_t argc, char** argv);

void print_usage();

// The exit status of a run: that of its error; for a run that ended well,
// 1 when its output could not all be written, else 25 when any entry failed.
int32_t run_status(Error code, uint64_t failures, bool output_failed);

// The exit status for an error value: first match in a fixed table, 7 when
// the value is not listed.
int32_t error_to_status(Error code);
