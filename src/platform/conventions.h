// Conventions every layer shares: the path separators and the file-time
// scale (100 ns ticks since 1601-01-01 UTC) with its link to Unix time.
#pragma once

#include <cstdint>

// The program's separator is '\'; '/' is taken as one too.
constexpr bool is_path_separator(uint32_t c) { return c == '\\' || c == '/'; }

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01

// Unix seconds (and nanoseconds) as a file time; wraps as unsigned
// arithmetic does for times before 1601.
constexpr uint64_t file_time_from_unix(int64_t seconds, uint64_t nanoseconds = 0) {
  return (static_cast<uint64_t>(seconds) + static_cast<uint64_t>(kUnixEpochSeconds)) * kTicksPerSecond +
         nanoseconds / 100;
}

// A file time as Unix seconds rounded down, and the nanoseconds past them.
constexpr int64_t unix_from_file_time(int64_t ticks, int64_t* nanoseconds) {
  const int64_t since = static_cast<int64_t>(static_cast<uint64_t>(ticks) -
                                             static_cast<uint64_t>(kUnixEpochSeconds) * kTicksPerSecond);
  int64_t seconds = since / static_cast<int64_t>(kTicksPerSecond);
  int64_t rest = since % static_cast<int64_t>(kTicksPerSecond);
  if (rest < 0) rest += kTicksPerSecond, --seconds;
  *nanoseconds = rest * 100;
  return seconds;
}
