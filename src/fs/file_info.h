// The one description of a file system entry that crosses the program.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "platform/platform.h"

// Zeroed before every fill, so a field that a source does not provide reads 0.
struct FileInfo {
  uint8_t attr;            // 0x01 read-only, 0x02 hidden, 0x04 system, 0x08 content-indexed, 0x20 archive
  uint8_t is_link;         // symbolic link (reparse tag 0xA000000C)
  uint8_t is_dir;          // 0x10 when a folder (test for non-zero)
  uint8_t link_missing;    // set by the lister: reading a link's target failed
  uint8_t via_link;        // set by the lister: read through a symbolic link
  uint8_t is_junction;     // mount point (reparse tag 0xA0000003)
  uint8_t after_contents;  // set by the lister on a folder's second delivery
  uint32_t sys_attr;       // the system's attribute word as read
  uint32_t volume_id[3];   // 96-bit hash naming the volume; 0 when unknown
  uint64_t volume_serial;
  uint64_t file_id[2];     // low half, high half
  uint64_t size;           // 0 for folders and links
  uint64_t creation_time;  // 100 ns units since 1601-01-01 UTC
  uint64_t access_time;
  uint64_t write_time;
  uint64_t change_time;
};

constexpr uint8_t ATTR_READONLY = 0x01;
constexpr uint8_t ATTR_HIDDEN = 0x02;
constexpr uint8_t ATTR_SYSTEM = 0x04;
constexpr uint8_t ATTR_CONTENT_INDEXED = 0x08;
constexpr uint8_t ATTR_ARCHIVE = 0x20;
