// The target folders on the way to where new entries go, opened one by one
// by name, and the folders the run created, until they take their final
// mode and time.
#include "base/text_format.h"
#include "fs/file_ops.h"
#include "fs/path.h"
#include "sync/engine_state.h"

namespace sync_engine {

// Closes the place's folders from `depth` on.
void place_trim(Place* p, uint32_t depth) {
  while (p->depth > depth) native_close(p->handles[--p->depth]);
}

void place_release(Place* p) {
  place_trim(p, 0);
  if (p->handles) block_free(p->handles, p->capacity * sizeof(HANDLE));
  if (p->ends) block_free(p->ends, p->capacity * sizeof(uint64_t));
  if (p->path) block_free(p->path, p->path_capacity);
  *p = Place{};
}

// Room for a path of `length` bytes and its end in the block `*path` of
// `*capacity` bytes, what it holds kept.
bool path_reserve(char** path, uint64_t* capacity, uint64_t length) {
  if (length + 1 <= *capacity) return true;
  const uint64_t grown = length < 4096 ? 4096 : (length + 1) * 2;
  auto* block = static_cast<char*>(block_alloc(grown));
  if (!block) return false;
  if (*path) {
    for (uint64_t i = 0; i < *capacity; ++i) block[i] = (*path)[i];
    block_free(*path, *capacity);
  }
  *path = block;
  *capacity = grown;
  return true;
}

// Room for `depth` folders and a relative path of `length` bytes.
bool place_reserve(Place* p, uint32_t depth, uint64_t length) {
  if (depth > p->capacity) {
    const uint32_t capacity = depth < 64 ? 64 : depth * 2;
    auto* handles = static_cast<HANDLE*>(block_alloc(capacity * sizeof(HANDLE)));
    auto* ends = static_cast<uint64_t*>(block_alloc(capacity * sizeof(uint64_t)));
    if (!handles || !ends) {
      if (handles) block_free(handles, capacity * sizeof(HANDLE));
      if (ends) block_free(ends, capacity * sizeof(uint64_t));
      return false;
    }
    for (uint32_t i = 0; i < p->depth; ++i) {
      handles[i] = p->handles[i];
      ends[i] = p->ends[i];
    }
    if (p->handles) block_free(p->handles, p->capacity * sizeof(HANDLE));
    if (p->ends) block_free(p->ends, p->capacity * sizeof(uint64_t));
    p->handles = handles;
    p->ends = ends;
    p->capacity = capacity;
  }
  return path_reserve(&p->path, &p->path_capacity, length);
}

// The open target folder whose relative path is the first `length` bytes of
// `relative` (0: the root), opened as needed; -1 when it cannot be.
HANDLE place_folder(Engine* g, const char* relative, uint64_t length) {
  Place* p = &g->place;
  // Keep the open folders that lead to this one.
  uint32_t keep = p->depth;
  while (keep > 1) {
    const uint64_t end = p->ends[keep - 1];
    bool leads = end <= length && (end == length || is_path_separator(relative[end]));
    for (uint64_t i = 0; leads && i < end; ++i) leads = p->path[i] == relative[i];
    if (leads) break;
    --keep;
  }
  // Copies under way keep their folders open until they are told.
  if (keep < p->depth && !settle(g)) return kNoHandle;
  place_trim(p, keep);
  uint32_t levels = 1;
  for (uint64_t i = 0; i < length; ++i) levels += is_path_separator(relative[i]) ? 1 : 0;
  if (!place_reserve(p, levels + 1, length)) return kNoHandle;
  if (p->depth == 0) {
    HANDLE root = kNoHandle;
    if (native_open(g->target.base, kOpenListFolder, &root) != 0) return kNoHandle;
    p->handles[0] = root;
    p->ends[0] = 0;
    p->depth = 1;
  }
  uint64_t at = p->ends[p->depth - 1];
  while (at < length) {
    if (at > 0) ++at;  // the separator before the next name
    uint64_t end = at;
    while (end < length && !is_path_separator(relative[end])) ++end;
    const char* name = pool_strndup(&g->step_pool.allocator, relative + at, end - at);
    HANDLE h = kNoHandle;
    if (name == nullptr || folder_open_at(&h, p->handles[p->depth - 1], name) != 0) return kNoHandle;
    for (uint64_t i = p->ends[p->depth - 1]; i < end; ++i) p->path[i] = relative[i];
    p->handles[p->depth] = h;
    p->ends[p->depth] = end;
    ++p->depth;
    at = end;
  }
  return p->handles[p->depth - 1];
}

// The target folder that holds the entry of relative path `relative`, and
// where its name starts.
HANDLE place_parent(Engine* g, const char* relative, const char** name) {
  uint64_t length = str_len(relative);
  while (length > 0 && !is_path_separator(relative[length - 1])) --length;
  *name = relative + length;
  return place_folder(g, relative, length > 0 ? length - 1 : 0);
}

}  // namespace sync_engine

namespace sync_engine {

bool made_push(Engine* g, const char* relative, const FileInfo* source) {
  Made* m = &g->made;
  const uint64_t length = str_len(relative);
  if (m->depth == m->capacity) {
    const uint32_t capacity = m->capacity ? 2 * m->capacity : 64;
    auto* levels = static_cast<Made::Level*>(block_alloc(capacity * sizeof(Made::Level)));
    if (!levels) return false;
    for (uint32_t i = 0; i < m->depth; ++i) levels[i] = m->levels[i];
    if (m->levels) block_free(m->levels, m->capacity * sizeof(Made::Level));
    m->levels = levels;
    m->capacity = capacity;
  }
  if (!path_reserve(&m->path, &m->path_capacity, length)) return false;
  // The folders below are its ancestors: their paths are its prefixes.
  for (uint64_t i = 0; i <= length; ++i) m->path[i] = relative[i];
  m->levels[m->depth++] = Made::Level{length, *source};
  return true;
}

void made_leave(Engine* g, const char* relative, bool after_contents) {
  Made* m = &g->made;
  while (m->depth > 0) {
    const uint64_t length = m->levels[m->depth - 1].length;
    if (relative != nullptr) {
      bool inside = true;
      for (uint64_t i = 0; inside && i < length; ++i) inside = relative[i] == m->path[i];
      const char next = inside ? relative[length] : '\0';
      if (inside && (is_path_separator(next) || (next == 0 && !after_contents))) return;
    }
    // Its mode and time come after the copies into it.
    if (!settle(g)) return;
    --m->depth;
    m->path[length] = 0;
    const char* name = nullptr;
    const HANDLE in = place_parent(g, m->path, &name);
    if (handle_is_none(in)) continue;
    // Extended attributes (and access lists) before the final mode: an
    // access list changes the mode bits, and the folder stays owner-only
    // until its contents are done.
    if (!g->no_modify) {
      const char* from = path_join(&g->step_pool, g->source.base, m->path);
      if (from) xattrs_kept(g, xattr_copy_to(from, in, name), m->path);
    }
    mode_set_at(in, name, &m->levels[m->depth].source);
  }
}

void made_release(Made* m) {
  if (m->levels) block_free(m->levels, m->capacity * sizeof(Made::Level));
  if (m->path) block_free(m->path, m->path_capacity);
  *m = Made{};
}

}  // namespace sync_engine
