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
  uint8_t holds_left_out;  // set with it: entries of the folder the walk left out (filters) stay in it
  uint32_t sys_attr;       // the system's attribute word as read
  uint32_t volume_id[3];   // 96-bit hash naming the volume; 0 when unknown
  uint64_t volume_serial;
  uint64_t file_id[2];     // low half, high half
  uint64_t size;           // 0 for folders and links
  uint64_t creation_time;  // 100 ns units since 1601-01-01 UTC
  uint64_t access_time;
  uint64_t write_time;
  uint64_t change_time;
  // Where the system keeps them (Linux): permission and kind bits, and owner
  // and group where the process may give them (else 0), as the listing read
  // them; a mode of 0 means not known.
  uint32_t posix_mode;
  uint32_t owner;
  uint32_t group;
  // Where the listing tells them (Linux): the number of names of the entry
  // (hard links), 0 when not known; whether a file or folder has extended
  // attributes (non-zero: some, or not known).
  uint32_t links;
  uint32_t xattrs;
};

constexpr uint8_t ATTR_READONLY = 0x01;
constexpr uint8_t ATTR_HIDDEN = 0x02;
constexpr uint8_t ATTR_SYSTEM = 0x04;
constexpr uint8_t ATTR_CONTENT_INDEXED = 0x08;
constexpr uint8_t ATTR_ARCHIVE = 0x20;

// Fills the record from an open handle: attributes, kind, size, times, file
// id, volume serial and volume identity. 6 for handle 0 or -1; only the
// first query can fail the fill, and the record is then all zero.
Error file_info_from_handle(HANDLE h, FileInfo* info);

// Only what one query gives: attributes, folder flag, size, the four times
// and the low file id (no link kind, no volume). For a regular file open for
// reading, the record of a copy's start and end.
Error file_info_brief_from_handle(HANDLE h, FileInfo* info);

// Opens the path (links followed), fills the record from the handle and
// closes it. With no record, only tells whether the entry can be read.
Error file_info_from_path(const char* path, FileInfo* info);

// Whether a folder opened as itself (`opened`, read from `h`) only holds the
// place of what it leads to, and so is entered by opening it through itself:
// a mount point, or a reparse point whose tag is no name surrogate (cloud
// files, projections). Name surrogates (links) stay as they are.
bool file_info_enters_through(HANDLE h, const FileInfo* opened);

// Fills the record from one directory entry of information class 60, 38 or
// 1 (the directory reader finishes it after copying the volume fields).
void file_info_from_dir_entry(const void* entry, uint32_t info_class, FileInfo* info);

// The closing step of every fill: the program's attribute bits, the folder
// flag and the size rule.
void file_info_finish(FileInfo* info);

// The 96-bit volume identity: lookup3's block mixing over the volume serial
// (8 bytes, least significant first) and the case-folded UTF-8 of the volume
// part of the object name, all three state words starting at 0xDEADBEEF.
void volume_identity_hash(uint64_t serial, const wchar16* volume_part, size_t units, uint32_t out[3]);

// lookup3's mixing over a byte stream in 12-byte blocks, every block but the
// last followed by the mix step, the last (zero-padded) by the final step.
struct Lookup3 {
  uint32_t a, b, c;
  uint8_t block[12];
  uint32_t fill;   // bytes in block
  bool pending;    // a full block waits to learn whether it is the last
  explicit Lookup3(uint32_t start) : a(start), b(start), c(start), block{}, fill(0), pending(false) {}
  void add(const void* bytes, size_t n);
  void finish(uint32_t out[3]);
};

// How many leading UTF-16 units of an object name name its volume, for the
// given number of levels (the whole name when it has fewer separators).
size_t volume_part_length(const wchar16* name, size_t units, uint32_t levels);

// Whether the folder lies on a network file system (a share; on Linux also
// FUSE), where every call is a round trip; false when it cannot be told.
bool folder_is_remote(const char* path);
