// The folder level: one folder read in full into an ordered index whose
// entry records live in the level's own pool, and the full paths of its
// entries.
#include "listing/dir_level.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/unicode.h"
#include "fs/native.h"
#include "listing/collation.h"

namespace tree_walk {

namespace {

// The entries of one folder share the folder's path, which ends at a
// separator (never inside a character), so comparing the names alone orders
// them as the full paths would.
bool slot_before(const LevelSlot& a, const LevelSlot& b) {
  if (a.key != b.key) return a.key < b.key;
  return name_order(a.entry->name, kToTerminator, b.entry->name, kToTerminator) < 0;
}

static_assert(offsetof(FileInfo, sys_attr) == sizeof(LevelEntry::flags), "the flag bytes lead FileInfo");

// What an entry that differs from its folder keeps after its name.
struct EntryMore {
  uint64_t file_id_high;
  uint32_t owner;
  uint32_t group;
  uint32_t links;
  uint32_t xattrs;
};

EntryKept kept_form(const FileInfo* fi, const FileInfo& folder) {
  if (!fi) return EntryKept::no_info;
  if (fi->volume_serial != folder.volume_serial ||
      std::memcmp(fi->volume_id, folder.volume_id, sizeof fi->volume_id) != 0)
    return EntryKept::whole;
  if (fi->file_id[1] != 0 || fi->owner != folder.owner || fi->group != folder.group || fi->links != 1 ||
      fi->xattrs != 0)
    return EntryKept::more;
  return EntryKept::usual;
}

size_t tail_size(EntryKept kept) {
  switch (kept) {
    case EntryKept::more: return alignof(EntryMore) - 1 + sizeof(EntryMore);
    case EntryKept::whole: return alignof(FileInfo) - 1 + sizeof(FileInfo);
    default: return 0;
  }
}

size_t entry_size(uint64_t name_length, EntryKept kept) {
  return offsetof(LevelEntry, name) + name_length + 1 + tail_size(kept);
}

// The aligned place after the name.
template <typename T>
T* entry_tail(const LevelEntry* e) {
  auto at = reinterpret_cast<uintptr_t>(e->name + str_len(e->name) + 1);
  at = (at + alignof(T) - 1) & ~uintptr_t{alignof(T) - 1};
  return reinterpret_cast<T*>(at);
}

void entry_keep(LevelEntry* e, EntryKept kept, const FileInfo& fi) {
  e->kept = kept;
  if (kept == EntryKept::whole) *entry_tail<FileInfo>(e) = fi;
  e->file_id = fi.file_id[0];
  e->size = fi.size;
  e->write_time = fi.write_time;
  std::memcpy(e->flags, &fi, sizeof e->flags);
  e->sys_attr = fi.sys_attr;
  e->posix_mode = fi.posix_mode;
  if (kept == EntryKept::more) *entry_tail<EntryMore>(e) = EntryMore{fi.file_id[1], fi.owner, fi.group, fi.links, fi.xattrs};
}

size_t slots_size(uint64_t capacity) { return capacity * sizeof(LevelSlot); }

// The entries of a folder being read, with their sort keys.
struct Slots {
  LevelSlot* slots = nullptr;
  uint64_t count = 0;
  uint64_t capacity = 0;
  Slots() = default;
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  ~Slots() {
    if (slots) block_free(slots, slots_size(capacity));
  }
  // Room for one more: the array doubles (from a few slots: a deep walk
  // holds a level per folder on its path). False without memory.
  bool reserve() {
    if (count < capacity) return true;
    const uint64_t grown = capacity ? capacity * 2 : 4;
    auto* more = static_cast<LevelSlot*>(block_alloc(slots_size(grown)));
    if (!more) return false;
    if (slots) {
      std::memcpy(more, slots, slots_size(count));
      block_free(slots, slots_size(capacity));
    }
    slots = more;
    capacity = grown;
    return true;
  }
};

// The length of the start of ASCII bytes (no terminator) that `name` shares
// with the first `same` bytes of `first`.
uint64_t shared_ascii(const char* first, const char* name, uint64_t same) {
  uint64_t n = 0;
  while (n < same && name[n] == first[n] && static_cast<unsigned char>(name[n]) - 1u < 0x7Fu) ++n;
  return n;
}

// Puts the entries in name order: one key per entry past the start all names
// share, one sort; names whose keys tie are compared in full. The level
// takes the slots over.
void level_sort(DirLevel* level, Slots& s) {
  if (s.count != 0) {
    const char* first = s.slots[0].entry->name;
    uint64_t same = UINT64_MAX;
    for (uint64_t i = 0; i < s.count; ++i) same = shared_ascii(first, s.slots[i].entry->name, same);
    for (uint64_t i = 0; i < s.count; ++i) s.slots[i].key = name_order_key(s.slots[i].entry->name, same);
    std::sort(s.slots, s.slots + s.count, slot_before);
  }
  level->slots = s.slots;
  level->count = s.count;
  level->capacity = s.capacity;
  s.slots = nullptr;
}

}  // namespace

void level_destroy(DirLevel* self) {
  if (!self) return;
  native_close(self->handle);
  if (self->slots) block_free(self->slots, slots_size(self->capacity));
  pool_release(&self->pool);
  block_free(self, sizeof(DirLevel));
}

FileInfo* level_entry_info(const DirLevel* level, const LevelEntry* e, FileInfo* out) {
  if (e->kept == EntryKept::no_info) return nullptr;
  if (e->kept == EntryKept::whole) {
    *out = *entry_tail<FileInfo>(e);
    return out;
  }
  const FileInfo& folder = level->folder_info;
  *out = FileInfo{};
  std::memcpy(out, e->flags, sizeof e->flags);
  std::memcpy(out->volume_id, folder.volume_id, sizeof out->volume_id);
  out->volume_serial = folder.volume_serial;
  out->file_id[0] = e->file_id;
  out->size = e->size;
  out->write_time = e->write_time;
  out->sys_attr = e->sys_attr;
  out->posix_mode = e->posix_mode;
  const EntryMore more = e->kept == EntryKept::more ? *entry_tail<EntryMore>(e)
                                                    : EntryMore{0, folder.owner, folder.group, 1, 0};
  out->file_id[1] = more.file_id_high;
  out->owner = more.owner;
  out->group = more.group;
  out->links = more.links;
  out->xattrs = more.xattrs;
  return out;
}

namespace {

Error level_next(DirLevel* self, const char** name, uint64_t* name_offset, FileInfo** info) {
  if (self->cursor >= self->count) {
    *name = nullptr;
    *name_offset = 0;
    *info = nullptr;
    return err::no_more_files;
  }
  // The entries lie in the order they were read, not this one: the next
  // few are fetched ahead.
  if (self->cursor + 8 < self->count) __builtin_prefetch(self->slots[self->cursor + 8].entry);
  const LevelEntry* e = self->slots[self->cursor++].entry;
  *name = e->name;
  *name_offset = self->folder_length;
  *info = level_entry_info(self, e, &self->current);
  return err::ok;
}

// Writes the level's folder path (folder_length bytes, no terminator).
void level_folder_path(const DirLevel* level, char* out) {
  uint64_t end = level->folder_length;
  for (; level->parent; level = level->parent) {
    out[--end] = '\\';
    end -= level->name_length;
    std::memcpy(out + end, level->name, level->name_length);
  }
  std::memcpy(out, level->folder, end);
}

}  // namespace

void path_buffer_free(PathBuffer* b) {
  if (b->text) block_free(b->text, b->capacity);
  b->text = nullptr;
  b->capacity = 0;
  b->holds = nullptr;
}

const char* path_compose(PathBuffer* b, const DirLevel* level, const char* name) {
  const uint64_t folder = level ? level->folder_length : 0;
  const uint64_t length = folder + str_len(name);
  if (length + 1 > b->capacity) {
    const uint64_t capacity = length + 1 + length / 2 + 64;
    auto* text = static_cast<char*>(block_alloc(capacity));
    if (!text) return nullptr;
    const DirLevel* holds = b->holds;
    if (holds) std::memcpy(text, b->text, holds->folder_length);
    path_buffer_free(b);
    b->text = text;
    b->capacity = capacity;
    b->holds = holds;
  }
  if (level && level != b->holds) {
    if (b->holds && level->parent == b->holds) {
      char* at = b->text + b->holds->folder_length;
      std::memcpy(at, level->name, level->name_length);
      at[level->name_length] = '\\';
    } else {
      level_folder_path(level, b->text);
    }
  }
  b->holds = level;
  std::memcpy(b->text + folder, name, length - folder + 1);
  return b->text;
}

namespace {

constexpr DirLevelOps kLevelOps = {level_destroy, level_next};

bool cancel_requested(CancelContext* cancel) { return cancel != nullptr && signal_is_raised(cancel); }

// Reads the open folder of `reader` into a new level, which takes over the
// folder's handle; the reader is destroyed. The level is the entry `entry`
// of `parent`, or the root when `parent` is null.
Error level_read(DirLevel** out, CancelContext* cancel, DirReader* reader, const DirLevel* parent,
                 const Frame* entry);

}  // namespace

Error level_open_at(DirLevel** out, CancelContext* cancel, const DirLevel* parent, const Frame& entry,
                    uint32_t flags, PathBuffer* buffer) {
  *out = nullptr;
  DirReader* reader;
  Error e;
  if (flags & LIST_NO_FOLLOW_LINKS) {
    // The level keeps only the names the reader hands out, and a reader that
    // follows no link needs no path of its own: the name alone serves.
    e = dir_reader_open_at(&reader, parent->handle, entry.name, 0, entry.info, flags);
  } else {
    const char* path = path_compose(buffer, parent, entry.name);
    if (!path) return err::out_of_memory;
    // A folder reached through a link is opened through it, as asked.
    e = entry.info && entry.info->via_link
            ? dir_reader_open(&reader, path, flags)
            : dir_reader_open_at(&reader, parent->handle, path, entry.name_offset, entry.info, flags);
  }
  if (e == err::ok) e = level_read(out, cancel, reader, parent, &entry);
  return e;
}

namespace {

Error level_read(DirLevel** out, CancelContext* cancel, DirReader* reader, const DirLevel* parent,
                 const Frame* entry) {
  Error e = err::ok;

  auto* level = static_cast<DirLevel*>(block_alloc(sizeof(DirLevel)));
  if (!level) {
    dir_reader_destroy(reader);
    return err::out_of_memory;
  }
  std::memset(level, 0, sizeof *level);
  level->ops = &kLevelOps;
  pool_init(&level->pool);

  Slots slots;
  for (;;) {
    if (cancel_requested(cancel)) {
      e = err::cancelled;
      break;
    }
    const char* path;
    uint64_t name_offset;
    const FileInfo* info;
    e = dir_reader_next(reader, &path, &name_offset, &info);
    if (e != err::ok) break;
    const size_t name_length = str_len(path + name_offset);
    const EntryKept kept = kept_form(info, reader->folder_info);
    auto* item = static_cast<LevelEntry*>(pool_allocate(&level->pool, entry_size(name_length, kept)));
    if (!item || !slots.reserve()) {
      e = err::out_of_memory;
      break;
    }
    std::memcpy(item->name, path + name_offset, name_length + 1);
    if (info) entry_keep(item, kept, *info);
    if (info && info->is_dir) ++level->folders;
    slots.slots[slots.count++] = LevelSlot{0, item};
  }
  level->refused = reader->refused;
  if (reader->refused) level->refused_name = pool_strdup(&level->pool.allocator, reader->refused_name);
  level->folder_info = reader->folder_info;
  if (parent) {
    level->parent = parent;
    level->name = entry->name;
    level->name_length = str_len(entry->name);
    level->folder_length = parent->folder_length + level->name_length + 1;
  } else {
    level->folder = pool_strndup(&level->pool.allocator, reader->path, reader->folder_length);
    level->folder_length = reader->folder_length;
  }
  level->handle = reader->handle;
  reader->handle = INVALID_HANDLE_VALUE;
  dir_reader_destroy(reader);
  if (e == err::no_more_files && !parent && !level->folder) e = err::out_of_memory;
  if (e == err::no_more_files) level_sort(level, slots);
  if (e != err::no_more_files) {
    level_destroy(level);
    return e;
  }
  *out = level;
  return err::ok;
}

}  // namespace

Error level_read_root(DirLevel** out, CancelContext* cancel, DirReader* reader) {
  return level_read(out, cancel, reader, nullptr, nullptr);
}

}  // namespace tree_walk

Error dir_level_open(DirLevel** out, CancelContext* cancel, const char* folder_path, uint32_t flags) {
  *out = nullptr;
  DirReader* reader;
  const Error e = dir_reader_open(&reader, folder_path, flags);
  return e != err::ok ? e : tree_walk::level_read(out, cancel, reader, nullptr, nullptr);
}

