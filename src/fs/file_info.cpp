// The file information record: fills from a handle and from a directory
// entry, the finishing step, and the volume identity.
#include "fs/file_info.h"

#include <cstring>

#include "base/casefold.h"
#include "base/memory.h"
#include "base/unicode.h"
#include "fs/native.h"

static_assert(sizeof(FILE_ALL_INFORMATION) == 104, "all-information record with two name units");
static_assert(offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName) == 88, "entry format 60");
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName) == 80, "entry format 38");
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64, "entry format 1");
static_assert(sizeof(FILE_ID_INFORMATION) == 24, "volume serial and 128-bit id");
static_assert(sizeof(FILE_FS_VOLUME_INFORMATION) == 24, "volume information");

namespace {

constexpr Error kMoreData = 234;
constexpr uint32_t kObjectNameSmall = 304;
constexpr uint32_t kObjectNameLarge = 16384;
constexpr uint32_t kRemoteDevice = 0x10;

inline uint32_t rot(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

void lookup3_mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= c; a ^= rot(c, 4);  c += b;
  b -= a; b ^= rot(a, 6);  a += c;
  c -= b; c ^= rot(b, 8);  b += a;
  a -= c; a ^= rot(c, 16); c += b;
  b -= a; b ^= rot(a, 19); a += c;
  c -= b; c ^= rot(b, 4);  b += a;
}

void lookup3_final(uint32_t& a, uint32_t& b, uint32_t& c) {
  c ^= b; c -= rot(b, 14);
  a ^= c; a -= rot(c, 11);
  b ^= a; b -= rot(a, 25);
  c ^= b; c -= rot(b, 16);
  a ^= c; a -= rot(c, 4);
  b ^= a; b -= rot(a, 14);
  c ^= b; c -= rot(b, 24);
}

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t quad(const LARGE_INTEGER& v) { return static_cast<uint64_t>(v.QuadPart); }

void set_tag(FileInfo* info, uint32_t tag) {
  if (tag == REPARSE_TAG_MOUNT_POINT) info->is_junction = 1;
  if (tag == REPARSE_TAG_SYMLINK) info->is_link = 1;
}

struct VolumePrefix {
  const wchar16* text;
  size_t units;
  uint32_t levels;
};

template <size_t N>
constexpr VolumePrefix prefix(const wchar16 (&s)[N], uint32_t levels) {
  return {s, N - 1, levels};
}

constexpr VolumePrefix kVolumePrefixes[] = {
    prefix(WSTR("\\Device\\Harddisk"), 2), prefix(WSTR("\\Device\\CdRom"), 2), prefix(WSTR("\\Device\\Mup"), 4),
    prefix(WSTR("\\Device\\Lanman"), 4),   prefix(WSTR("\\Device\\Webdav"), 4),
};

// Whether the open entry lies on a remote device (a network file system).
bool handle_is_remote(HANDLE h) {
  FILE_FS_DEVICE_INFORMATION device{};
  return native_query_volume(h, kVolumeInfoDevice, &device, sizeof device) == err::ok &&
         (device.Characteristics & kRemoteDevice) != 0;
}

// Levels of the object name that name the volume: by the table of known
// device prefixes, else 4 for a remote device and 2 for any other.
uint32_t volume_levels(HANDLE h, const wchar16* name, size_t units) {
  for (const VolumePrefix& p : kVolumePrefixes)
    if (units >= p.units && std::memcmp(name, p.text, p.units * sizeof(wchar16)) == 0) return p.levels;
  return handle_is_remote(h) ? 4 : 2;
}

}  // namespace

void Lookup3::add(const void* bytes, size_t n) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < n; ++i) {
    if (pending) {
      a += le32(block);
      b += le32(block + 4);
      c += le32(block + 8);
      lookup3_mix(a, b, c);
      pending = false;
      fill = 0;
    }
    block[fill++] = p[i];
    if (fill == 12) pending = true;
  }
}

void Lookup3::finish(uint32_t out[3]) {
  if (fill != 0) {
    std::memset(block + fill, 0, 12 - fill);
    a += le32(block);
    b += le32(block + 4);
    c += le32(block + 8);
    lookup3_final(a, b, c);
  }
  out[0] = a;
  out[1] = b;
  out[2] = c;
}

void volume_identity_hash(uint64_t serial, const wchar16* volume_part, size_t units, uint32_t out[3]) {
  Lookup3 h(0xDEADBEEFu);
  uint8_t serial_bytes[8];
  for (int i = 0; i < 8; ++i) serial_bytes[i] = static_cast<uint8_t>(serial >> (8 * i));
  h.add(serial_bytes, sizeof serial_bytes);
  uint64_t pos = 0;
  while (pos < units) {
    uint64_t next;
    const uint32_t cp = utf16_decode_next(volume_part, units, pos, &next);
    char utf8[8];
    uint64_t len = 0;
    utf8_encode_put(utf8, sizeof utf8, &len, case_fold(cp));
    h.add(utf8, static_cast<size_t>(len));
    pos = next;
  }
  h.finish(out);
}

size_t volume_part_length(const wchar16* name, size_t units, uint32_t levels) {
  uint32_t seen = 0;
  for (size_t i = 1; i < units; ++i) {
    if (name[i] == u'\\' && ++seen == levels) return i;
  }
  return units;
}

namespace {

// Attributes, kind, size, times and the short file id from one query.
Error fill_from_all(HANDLE h, FileInfo* info) {
  *info = FileInfo{};
  if (handle_is_none(h)) return err::invalid_handle;

  FILE_ALL_INFORMATION all{};
  Error e = native_query_info(h, kFileInfoAll, &all, sizeof all);
  if (e == kMoreData && all.NameInformation.FileNameLength != 0) e = err::ok;
  if (e != err::ok) return e;

  const FILE_BASIC_INFORMATION& basic = all.BasicInformation;
  info->sys_attr = basic.FileAttributes;
  info->is_dir = static_cast<uint8_t>(basic.FileAttributes & FA_DIRECTORY);
  info->file_id[0] = quad(all.InternalInformation.IndexNumber);
  info->size = quad(all.StandardInformation.EndOfFile);
  info->creation_time = quad(basic.CreationTime);
  info->access_time = quad(basic.LastAccessTime);
  info->write_time = quad(basic.LastWriteTime);
  info->change_time = quad(basic.ChangeTime);
  return err::ok;
}

}  // namespace

Error file_info_brief_from_handle(HANDLE h, FileInfo* info) {
  const Error e = fill_from_all(h, info);
  if (e == err::ok) file_info_finish(info);
  return e;
}

Error file_info_from_handle(HANDLE h, FileInfo* info) {
  const Error e = fill_from_all(h, info);
  if (e != err::ok) return e;

  if (info->sys_attr & FA_REPARSE_POINT) {
    alignas(8) uint8_t tag_buf[16] = {};
    FILE_ATTRIBUTE_TAG_INFORMATION tag;
    if (native_query_info(h, kFileInfoAttributeTag, tag_buf, sizeof tag_buf) == err::ok) {
      std::memcpy(&tag, tag_buf, sizeof tag);
      set_tag(info, tag.ReparseTag);
    }
  }

  FILE_ID_INFORMATION id{};
  if (native_query_info(h, kFileInfoId, &id, sizeof id) == err::ok) {
    info->volume_serial = id.VolumeSerialNumber;
    std::memcpy(info->file_id, id.FileId.Identifier, sizeof info->file_id);
  } else {
    FILE_FS_VOLUME_INFORMATION volume{};
    // A long label overflows the buffer; the serial before it is still there.
    const Error ve = native_query_volume(h, kVolumeInfoVolume, &volume, sizeof volume);
    if (ve == err::ok || ve == kMoreData) info->volume_serial = volume.VolumeSerialNumber;
  }

  alignas(8) uint8_t name_small[kObjectNameSmall];
  const OBJECT_NAME_INFORMATION* object = nullptr;
  ScopedPool scratch;
  if (native_query_object(h, kObjectInfoName, name_small, sizeof name_small) == err::ok) {
    object = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(name_small);
  } else if (void* large = pool_allocate(scratch.get(), kObjectNameLarge)) {
    if (native_query_object(h, kObjectInfoName, large, kObjectNameLarge) == err::ok)
      object = static_cast<const OBJECT_NAME_INFORMATION*>(large);
  }
  if (object && object->Name.Buffer) {
    const wchar16* name = object->Name.Buffer;
    const size_t units = object->Name.Length / sizeof(wchar16);
    const size_t part = volume_part_length(name, units, volume_levels(h, name, units));
    volume_identity_hash(info->volume_serial, name, part, info->volume_id);
  }

  file_info_finish(info);
  return err::ok;
}

bool file_info_enters_through(HANDLE h, const FileInfo* opened) {
  if (!(opened->sys_attr & FA_REPARSE_POINT) || opened->is_link) return false;
  if (opened->is_junction) return true;
  alignas(8) uint8_t buffer[16] = {};
  if (native_query_info(h, kFileInfoAttributeTag, buffer, sizeof buffer) != err::ok) return false;
  FILE_ATTRIBUTE_TAG_INFORMATION tag;
  std::memcpy(&tag, buffer, sizeof tag);
  return tag.ReparseTag != 0 && !(tag.ReparseTag & REPARSE_TAG_NAME_SURROGATE);
}

Error file_info_from_path(const char* path, FileInfo* info) {
  FileInfo local;
  FileInfo* out = info ? info : &local;
  *out = FileInfo{};
  ScopedHandle h;
  Error e = native_open(path, kOpenReadInfo, h.out());
  if (e == err::ok) e = file_info_from_handle(h.get(), out);
  if (e != err::ok) *out = FileInfo{};
  return e;
}

void file_info_from_dir_entry(const void* entry, uint32_t info_class, FileInfo* info) {
  *info = FileInfo{};
  // Every format shares the layout of the plain one up to the name length.
  FILE_DIRECTORY_INFORMATION plain;
  std::memcpy(&plain, entry, offsetof(FILE_DIRECTORY_INFORMATION, FileName));
  info->sys_attr = plain.FileAttributes;
  info->size = quad(plain.EndOfFile);
  info->creation_time = quad(plain.CreationTime);
  info->access_time = quad(plain.LastAccessTime);
  info->write_time = quad(plain.LastWriteTime);
  info->change_time = quad(plain.ChangeTime);
  const bool reparse = (plain.FileAttributes & FA_REPARSE_POINT) != 0;

  if (info_class == 60 || info_class == kFileLinuxDirectoryInformation) {
    // The Linux class is the id-extended entry with the mode and owner after it.
    FILE_ID_EXTD_DIR_INFORMATION e;
    std::memcpy(&e, entry, offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName));
    std::memcpy(info->file_id, e.FileId.Identifier, sizeof info->file_id);
    if (reparse) set_tag(info, e.ReparsePointTag);
    if (info_class == kFileLinuxDirectoryInformation) {
      FILE_POSIX_MODE posix;
      std::memcpy(&posix, static_cast<const uint8_t*>(entry) + kLinuxDirModeAt, sizeof posix);
      info->posix_mode = posix.Mode;
      info->owner = posix.Owner;
      info->group = posix.Group;
      info->links = posix.Links;
      info->xattrs = posix.Xattrs;
    }
  } else if (info_class == 38) {
    FILE_ID_FULL_DIR_INFORMATION e;
    std::memcpy(&e, entry, offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName));
    info->file_id[0] = quad(e.FileId);
    // For a reparse point the system puts the tag in the EA size field.
    if (reparse) set_tag(info, e.EaSize);
  } else if (reparse) {
    // The plain format carries no tag: a reparse point may be either kind.
    info->is_junction = 1;
    info->is_link = 1;
  }
}

void file_info_finish(FileInfo* info) {
  info->attr = static_cast<uint8_t>(info->sys_attr & 0x27);
  info->is_dir = static_cast<uint8_t>(info->sys_attr & FA_DIRECTORY);
  if (info->is_link || info->is_dir)
    info->size = 0;
  else if (!(info->sys_attr & FA_NOT_CONTENT_INDEXED))
    info->attr |= ATTR_CONTENT_INDEXED;
}

bool folder_is_remote(const char* path) {
  ScopedHandle h;
  return native_open(path, kOpenListFolder, h.out()) == err::ok && handle_is_remote(h.get());
}
