// Error values: 0 for success, otherwise a Windows error number. These are
// the values the program produces itself or tests for by name.
#pragma once

#include <cstdint>

using Error = uint32_t;

namespace err {
constexpr Error ok = 0;
constexpr Error file_not_found = 2;
constexpr Error path_not_found = 3;
constexpr Error access_denied = 5;
constexpr Error invalid_handle = 6;       // handle 0 or -1
constexpr Error out_of_memory = 14;
constexpr Error no_more_files = 18;       // normal end of every enumeration
constexpr Error handle_eof = 38;
constexpr Error handle_disk_full = 39;
constexpr Error unexp_net_err = 59;
constexpr Error netname_deleted = 64;
constexpr Error file_exists = 80;
constexpr Error invalid_parameter = 87;
constexpr Error broken_pipe = 109;
constexpr Error disk_full = 112;
constexpr Error invalid_name = 123;       // invalid name or path
constexpr Error dir_not_empty = 145;
constexpr Error already_exists = 183;
constexpr Error no_data = 232;
constexpr Error pipe_not_connected = 233;
constexpr Error operation_aborted = 995;
constexpr Error stack_overflow = 1001;    // ordered index deeper than its cursor holds
constexpr Error not_found = 1168;
constexpr Error cancelled = 1223;
constexpr Error connection_aborted = 1236;
constexpr Error folder_cycle = 1921;      // cannot be followed: cycle of links
}  // namespace err
