// Error values: 0 for success, otherwise a Windows error number. Every
// number the program, its POSIX layer or its tables use has a name here.
#pragma once

#include <cstdint>

using Error = uint32_t;

namespace err {
constexpr Error ok = 0;
constexpr Error invalid_function = 1;
constexpr Error file_not_found = 2;
constexpr Error path_not_found = 3;
constexpr Error too_many_open_files = 4;
constexpr Error access_denied = 5;
constexpr Error invalid_handle = 6;       // handle 0 or -1
constexpr Error not_enough_memory = 8;
constexpr Error bad_format = 11;
constexpr Error out_of_memory = 14;
constexpr Error not_same_device = 17;
constexpr Error no_more_files = 18;       // normal end of every enumeration
constexpr Error write_protect = 19;
constexpr Error crc = 23;
constexpr Error bad_length = 24;
constexpr Error gen_failure = 31;
constexpr Error sharing_violation = 32;
constexpr Error handle_eof = 38;
constexpr Error handle_disk_full = 39;
constexpr Error not_supported = 50;
constexpr Error unexp_net_err = 59;
constexpr Error netname_deleted = 64;
constexpr Error file_exists = 80;
constexpr Error invalid_parameter = 87;
constexpr Error sem_is_set = 102;
constexpr Error broken_pipe = 109;
constexpr Error buffer_overflow = 111;
constexpr Error disk_full = 112;
constexpr Error call_not_implemented = 120;
constexpr Error sem_timeout = 121;
constexpr Error insufficient_buffer = 122;
constexpr Error invalid_name = 123;       // invalid name or path
constexpr Error mod_not_found = 126;
constexpr Error proc_not_found = 127;
constexpr Error child_not_complete = 129;
constexpr Error direct_access_handle = 130;
constexpr Error is_substed = 135;
constexpr Error dir_not_empty = 145;
constexpr Error already_exists = 183;
constexpr Error bad_exe_format = 193;
constexpr Error filename_too_long = 206;
constexpr Error file_too_large = 223;
constexpr Error no_data = 232;
constexpr Error pipe_not_connected = 233;
constexpr Error more_data = 234;
constexpr Error directory = 267;          // the name is not a folder
constexpr Error delete_pending = 303;
constexpr Error mr_mid_not_found = 317;   // no text for this status
constexpr Error assertion_failure = 668;
constexpr Error user_apc = 737;          // STATUS_USER_APC as an error
constexpr Error operation_aborted = 995;
constexpr Error io_pending = 997;
constexpr Error stack_overflow = 1001;    // ordered index deeper than its cursor holds
constexpr Error no_token = 1008;
constexpr Error io_device = 1117;
constexpr Error not_found = 1168;
constexpr Error cancelled = 1223;
constexpr Error connection_aborted = 1236;
constexpr Error retry = 1237;
constexpr Error revision_mismatch = 1305;
constexpr Error no_such_privilege = 1313;
constexpr Error privilege_not_held = 1314;
constexpr Error invalid_window_handle = 1400;
constexpr Error stopped_on_symlink = 1463;
constexpr Error folder_cycle = 1921;      // cannot be followed: cycle of links or folders
constexpr Error not_a_reparse_point = 4390;
constexpr Error invalid_reparse_data = 4392;
constexpr Error would_block = 10035;      // WSAEWOULDBLOCK
constexpr Error status_file_is_a_directory = 0xC00000BA;  // the NTSTATUS itself, met as an error
}  // namespace err
