// The thin layer over the system's native file interface: one open that
// takes a program path, query, set and control wrappers that take a handle,
// and handle closing. Every wrapper turns the system's status into a Win32
// error code: 0 for success, otherwise the error.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "fs/file_info.h"
#include "fs/path.h"
#include "platform/platform.h"

// The parameters of one open.
struct OpenProfile {
  uint32_t access;
  uint32_t share;
  uint32_t attributes;
  uint32_t disposition;
  uint32_t options;
};

// Access bits.
constexpr uint32_t ACCESS_READ_DATA = 0x1;
constexpr uint32_t ACCESS_WRITE_DATA = 0x2;
constexpr uint32_t ACCESS_APPEND_DATA = 0x4;
constexpr uint32_t ACCESS_READ_EA = 0x8;
constexpr uint32_t ACCESS_WRITE_EA = 0x10;
constexpr uint32_t ACCESS_EXECUTE = 0x20;
constexpr uint32_t ACCESS_READ_ATTRIBUTES = 0x80;
constexpr uint32_t ACCESS_WRITE_ATTRIBUTES = 0x100;
constexpr uint32_t ACCESS_DELETE = 0x10000;
constexpr uint32_t ACCESS_READ_CONTROL = 0x20000;
constexpr uint32_t ACCESS_SYNCHRONIZE = 0x100000;

// Share bits.
constexpr uint32_t SHARE_READ = 1;
constexpr uint32_t SHARE_WRITE = 2;
constexpr uint32_t SHARE_DELETE = 4;
constexpr uint32_t SHARE_ALL = 7;

// Create dispositions.
constexpr uint32_t DISP_SUPERSEDE = 0;
constexpr uint32_t DISP_OPEN = 1;
constexpr uint32_t DISP_CREATE = 2;
constexpr uint32_t DISP_OPEN_IF = 3;
constexpr uint32_t DISP_OVERWRITE = 4;
constexpr uint32_t DISP_OVERWRITE_IF = 5;

// Create options.
constexpr uint32_t OPT_DIRECTORY = 0x1;
constexpr uint32_t OPT_NO_BUFFERING = 0x8;
constexpr uint32_t OPT_SYNCHRONOUS = 0x20;
constexpr uint32_t OPT_NON_DIRECTORY = 0x40;
constexpr uint32_t OPT_DELETE_ON_CLOSE = 0x1000;
constexpr uint32_t OPT_OPEN_REPARSE_POINT = 0x200000;

// Open results (information value of a successful open).
constexpr uint32_t OPEN_RESULT_SUPERSEDED = 0;
constexpr uint32_t OPEN_RESULT_OPENED = 1;
constexpr uint32_t OPEN_RESULT_CREATED = 2;
constexpr uint32_t OPEN_RESULT_OVERWRITTEN = 3;

// System file attribute bits.
constexpr uint32_t FA_READONLY = 0x01;
constexpr uint32_t FA_HIDDEN = 0x02;
constexpr uint32_t FA_SYSTEM = 0x04;
constexpr uint32_t FA_DIRECTORY = 0x10;
constexpr uint32_t FA_ARCHIVE = 0x20;
constexpr uint32_t FA_NORMAL = 0x80;
constexpr uint32_t FA_SPARSE_FILE = 0x200;
constexpr uint32_t FA_REPARSE_POINT = 0x400;
constexpr uint32_t FA_NOT_CONTENT_INDEXED = 0x2000;
constexpr uint32_t FA_ENCRYPTED = 0x4000;

// Flags of the extended disposition.
constexpr uint32_t DISPOSITION_DELETE = 0x1;
constexpr uint32_t DISPOSITION_POSIX_SEMANTICS = 0x2;  // the name goes at once, even while others hold the file
constexpr uint32_t DISPOSITION_IGNORE_READONLY = 0x10;

// Reparse tags.
constexpr uint32_t REPARSE_TAG_MOUNT_POINT = 0xA0000003u;
constexpr uint32_t REPARSE_TAG_SYMLINK = 0xA000000Cu;
constexpr uint32_t REPARSE_TAG_NAME_SURROGATE = 0x20000000u;  // the tag's entry stands for another name

// Information classes (file, volume, object) and control codes in use.
constexpr uint32_t kFileInfoBasic = 4;
constexpr uint32_t kFileInfoStandard = 5;
constexpr uint32_t kFileInfoInternal = 6;
constexpr uint32_t kFileInfoRename = 10;
constexpr uint32_t kFileInfoDisposition = 13;
constexpr uint32_t kFileInfoPosition = 14;
constexpr uint32_t kFileInfoAll = 18;
constexpr uint32_t kFileInfoStream = 22;
constexpr uint32_t kFileInfoEndOfFile = 20;
constexpr uint32_t kFileInfoAttributeTag = 35;
constexpr uint32_t kFileInfoValidDataLength = 39;
constexpr uint32_t kFileInfoId = 59;
constexpr uint32_t kFileInfoDispositionEx = 64;
constexpr uint32_t kFileInfoRenameEx = 65;
constexpr uint32_t kFileInfoLink = 11;
constexpr uint32_t kVolumeInfoVolume = 1;
constexpr uint32_t kVolumeInfoDevice = 4;
constexpr uint32_t kObjectInfoName = 1;
constexpr uint32_t kFsctlSetReparsePoint = 0x900A4;
constexpr uint32_t kFsctlGetReparsePoint = 0x900A8;
constexpr uint32_t kFsctlSetSparse = 0x900C4;
constexpr uint32_t kFsctlQueryAllocatedRanges = 0x940CF;

// The fixed open profiles of the program. Opens that only list or query ask
// for no more than that needs (reading attributes also covers the reparse
// data, the file id and the volume), so an entry whose access list refuses
// its security descriptor or extended attributes can still be listed.
constexpr uint32_t kAccessQuery = ACCESS_READ_ATTRIBUTES | ACCESS_SYNCHRONIZE;
constexpr uint32_t kAccessList = kAccessQuery | ACCESS_READ_DATA;  // reading data of a folder lists it
constexpr OpenProfile kOpenListFolder{kAccessList, SHARE_ALL, 0, DISP_OPEN, 0x21};
// A listed subfolder, opened by name in its parent: a link is opened as itself.
constexpr OpenProfile kOpenListSubfolder{kAccessList, SHARE_ALL, 0, DISP_OPEN, 0x200021};
constexpr OpenProfile kOpenReadInfo{kAccessQuery, SHARE_ALL, 6, DISP_OPEN, 0x20};
constexpr OpenProfile kOpenProbe{kAccessQuery, SHARE_ALL, 6, DISP_OPEN, 0x20};
constexpr OpenProfile kOpenReadLink{kAccessQuery, SHARE_ALL, 6, DISP_OPEN, 0x200020};
// Attributes are changed on the entry itself, never through a link. The
// opens that change an entry ask for no read-control or extended-attribute
// rights either: they use neither, and an access list may refuse them.
constexpr OpenProfile kOpenSetAttributes{0x100180, SHARE_ALL, 6, DISP_OPEN, 0x200020};
constexpr OpenProfile kOpenDeleteEntry{0x110180, SHARE_ALL, 6, DISP_OPEN, 0x200020};
constexpr OpenProfile kOpenRenameEntry{0x110080, SHARE_ALL, 6, DISP_OPEN, 0x200060};
constexpr OpenProfile kOpenCreateFolder{0x100182, SHARE_ALL, 0x80, DISP_CREATE, 0x21};
constexpr OpenProfile kOpenCreateLinkFolder{0x100183, SHARE_ALL, 0x80, DISP_CREATE, 0x200021};
constexpr OpenProfile kOpenCreateLinkFile{0x100183, SHARE_ALL, 0x80, DISP_CREATE, 0x200060};
constexpr OpenProfile kOpenRemoveLink{0x110183, SHARE_ALL, 0x80, DISP_OPEN, 0x201020};
constexpr OpenProfile kOpenProbeTargetFolder{kAccessQuery, SHARE_ALL, 0, DISP_OPEN, 0x21};
constexpr OpenProfile kOpenProbeTargetFile{kAccessQuery, SHARE_ALL, 0, DISP_OPEN, 0x20};

// Flag words of the two flag-driven opens.
constexpr uint32_t FOPEN_READ = 0x2;
constexpr uint32_t FOPEN_WRITE_ATTRIBUTES = 0x4;
constexpr uint32_t FOPEN_WRITE = 0x8;
constexpr uint32_t FOPEN_DENY_WRITE = 0x20;
constexpr uint32_t FOPEN_SHARE_ALL = 0x40;
constexpr uint32_t FOPEN_CREATE = 0x80;
constexpr uint32_t FOPEN_TRUNCATE = 0x100;  // create: supersede
constexpr uint32_t FOPEN_NO_BUFFERING = 0x200;
constexpr uint32_t FOPEN_ASYNC = 0x400;
constexpr uint32_t FOPEN_EXECUTE = 0x800;
constexpr uint32_t FOPEN_REPARSE_POINT = 0x1000;
constexpr uint32_t FOPEN_APPEND = 0x2000;

// The parameters the flag-driven opens use for a flag word.
OpenProfile file_create_profile(uint32_t flags);
OpenProfile file_open_profile(uint32_t flags);

// True for the two values that mean "no handle": 0 and all ones.
inline bool handle_is_none(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

// Adds to the process error mode, so that the system never shows a dialog
// for a missing medium or an unreadable drive; the modes the process
// inherited stay. Only the first call does anything.
void disable_error_popups();

// Opens a program path. On failure *handle is -1 and *info 0.
Error native_open(const char* path, uint32_t access, uint32_t share, uint32_t attributes, uint32_t disposition,
                  uint32_t options, HANDLE* handle, uint32_t* info = nullptr);
inline Error native_open(const char* path, const OpenProfile& p, HANDLE* handle, uint32_t* info = nullptr) {
  return native_open(path, p.access, p.share, p.attributes, p.disposition, p.options, handle, info);
}

// Opens a converted native name.
Error native_open_name(const NtName* name, uint32_t access, uint32_t share, uint32_t attributes,
                       uint32_t disposition, uint32_t options, HANDLE* handle, uint32_t* info = nullptr);
inline Error native_open_name(const NtName* name, const OpenProfile& p, HANDLE* handle, uint32_t* info = nullptr) {
  return native_open_name(name, p.access, p.share, p.attributes, p.disposition, p.options, handle, info);
}

// Opens one entry by its name within an open folder (never a path: the name
// holds no separator). On failure *handle is -1 and *info 0.
Error native_open_relative(HANDLE folder, const char* name, const OpenProfile& p, HANDLE* handle,
                           uint32_t* info = nullptr);

// The flag-driven opens: a new file (flag word 0: must not exist) and an
// existing file (flag word 3: read data). On failure *handle is -1.
Error native_file_create(const char* path, uint32_t flags, HANDLE* handle);
Error native_file_open(const char* path, uint32_t flags, HANDLE* handle);

// Closes a handle; 0 and -1 are ignored, and a standard handle that is not a
// real console is left open.
Error native_close(HANDLE h);

// RAII owner of a handle, closed with native_close on every way out.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  ~ScopedHandle() { native_close(h_); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE* out() { return &h_; }
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void close() { native_close(release()); }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Query, set and control wrappers. `returned` receives the I/O status
// record's information value, also after a failure.
Error native_query_info(HANDLE h, uint32_t info_class, void* buffer, uint32_t length, uint32_t* returned = nullptr);
Error native_query_volume(HANDLE h, uint32_t info_class, void* buffer, uint32_t length,
                          uint32_t* returned = nullptr);
Error native_set_info(HANDLE h, uint32_t info_class, const void* buffer, uint32_t length);
Error native_query_object(HANDLE h, uint32_t info_class, void* buffer, uint32_t length,
                          uint32_t* returned = nullptr);
Error native_fs_control(HANDLE h, uint32_t code, const void* in, uint32_t in_length, void* out,
                        uint32_t out_length, uint32_t* returned = nullptr);

// The permission bits and owner of an open entry, and their change (see
// NtSetPosixMode); error 50 (not supported) where the system keeps neither.
Error native_query_mode(HANDLE h, FILE_POSIX_MODE* mode);
Error native_set_mode(HANDLE h, const FILE_POSIX_MODE* mode);

// Gives `to` the extended attributes of `from` (see NtCopyXattrs); *changed
// (when asked) counts those written or removed. Error 50 where the target
// keeps none.
Error native_copy_xattrs(HANDLE from, HANDLE to, uint32_t* changed = nullptr);

// Sets the end-of-file position and, unless eof_only, the valid data length.
// The result is that of the first; a failure of the second is ignored.
Error native_set_size(HANDLE h, uint64_t size, bool eof_only);
