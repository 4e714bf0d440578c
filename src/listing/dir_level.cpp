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

size_t slots_size(uint64_t capacity) { return capacity * sizeof(LevelSlot); }

// Room for one more slot: the array doubles (first one page). False without
// memory.
bool slots_reserve(DirLevel* level) {
  if (level->count < level->capacity) return true;
  const uint64_t capacity = level->capacity ? level->capacity * 2 : kPageBlockMin / sizeof(LevelSlot);
  auto* slots = static_cast<LevelSlot*>(block_alloc(slots_size(capacity)));
  if (!slots) return false;
  if (level->slots) {
    std::memcpy(slots, level->slots, slots_size(level->count));
    block_free(level->slots, slots_size(level->capacity));
  }
  level->slots = slots;
  level->capacity = capacity;
  return true;
}

// The length of the start of ASCII bytes (no terminator) that `name` shares
// with the first `same` bytes of `first`.
uint64_t shared_ascii(const char* first, const char* name, uint64_t same) {
  uint64_t n = 0;
  while (n < same && name[n] == first[n] && static_cast<unsigned char>(name[n]) - 1u < 0x7Fu) ++n;
  return n;
}

// Puts the level's entries in name order: one key per entry past the start
// all names share, one sort; names whose keys tie are compared in full.
void level_sort(DirLevel* level) {
  if (level->count < 2) return;
  const char* first = level->slots[0].entry->name;
  uint64_t same = UINT64_MAX;
  for (uint64_t i = 0; i < level->count; ++i) same = shared_ascii(first, level->slots[i].entry->name, same);
  for (uint64_t i = 0; i < level->count; ++i) level->slots[i].key = name_order_key(level->slots[i].entry->name, same);
  std::sort(level->slots, level->slots + level->count, slot_before);
}

}  // namespace

void level_destroy(DirLevel* self) {
  if (!self) return;
  native_close(self->handle);
  if (self->slots) block_free(self->slots, slots_size(self->capacity));
  pool_release(&self->pool);
  block_free(self, sizeof(DirLevel));
}

namespace {

Error level_next(DirLevel* self, const char** name, uint64_t* name_offset, FileInfo** info) {
  if (self->cursor >= self->count) {
    *name = nullptr;
    *name_offset = 0;
    *info = nullptr;
    return err::no_more_files;
  }
  LevelEntry* e = self->slots[self->cursor++].entry;
  *name = e->name;
  *name_offset = self->folder_length;
  *info = e->info_ref;
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
    auto* item = static_cast<LevelEntry*>(pool_allocate(&level->pool, offsetof(LevelEntry, name) + name_length + 1));
    if (!item || !slots_reserve(level)) {
      e = err::out_of_memory;
      break;
    }
    if (info) {
      item->info = *info;
      item->info_ref = &item->info;
    }
    std::memcpy(item->name, path + name_offset, name_length + 1);
    level->slots[level->count++] = LevelSlot{0, item};
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
  if (e != err::no_more_files) {
    level_destroy(level);
    return e;
  }
  level_sort(level);
  *out = level;
  return err::ok;
}

}  // namespace

}  // namespace tree_walk

Error dir_level_open(DirLevel** out, CancelContext* cancel, const char* folder_path, uint32_t flags) {
  *out = nullptr;
  DirReader* reader;
  const Error e = dir_reader_open(&reader, folder_path, flags);
  return e != err::ok ? e : tree_walk::level_read(out, cancel, reader, nullptr, nullptr);
}

