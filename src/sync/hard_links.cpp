// Files of several names (hard links): the first name met of such a source
// file is copied, each later one becomes a new name of that copy, so the
// target holds the data once, as the source does. Only files the listing
// says have two names or more are remembered (the Windows listing tells no
// count: there every name is copied).
#include <cstring>

#include "base/jindex.h"
#include "fs/file_ops.h"
#include "fs/path.h"
#include "sync/engine_state.h"

namespace sync_engine {

namespace {

// A source file of several names whose first name has its copy.
struct LinkedFile {
  void* children[2];     // the index's links
  uint64_t volume;       // the source file: volume and file id
  uint64_t id[2];
  uint64_t copy_id;      // the copy's file id; 0 when none was made (test run)
  const char* relative;  // the copy's relative path
};

struct FileKey {
  uint64_t volume;
  const uint64_t* id;
};

int compare_file(void* context, void* existing) {
  const auto* k = static_cast<const FileKey*>(context);
  const auto* f = static_cast<const LinkedFile*>(existing);
  if (k->volume != f->volume) return k->volume < f->volume ? -1 : 1;
  for (int i = 1; i >= 0; --i)
    if (k->id[i] != f->id[i]) return k->id[i] < f->id[i] ? -1 : 1;
  return 0;
}

LinkedFile* find(Engine* g, const FileInfo* s) {
  FileKey key{s->volume_serial, s->file_id};
  ji_pos_t pos;
  if (ji_seek(&pos, &g->linked, compare_file, &key, nullptr) < 0) return nullptr;
  void* next = ji_current(&pos);
  return next != nullptr && compare_file(&key, next) == 0 ? static_cast<LinkedFile*>(next) : nullptr;
}

// Opens the first name's copy, only while it is still that copy.
Error open_copy(Engine* g, const LinkedFile* first, ScopedHandle* copy) {
  const char* path = path_join(&g->step_pool, g->target.base, first->relative);
  if (path == nullptr) return err::out_of_memory;
  Error e = native_open(path, kOpenReadLink, copy->out());
  FileInfo info{};
  if (e == err::ok) e = file_info_from_handle(copy->get(), &info);
  if (e == err::ok && (info.is_link || info.is_dir || info.file_id[0] != first->copy_id)) e = err::file_not_found;
  return e;
}

Error link_aside(HANDLE folder, const char* name, void* copy) {
  return file_link_at(static_cast<ScopedHandle*>(copy)->get(), folder, name);
}

}  // namespace

bool links_has_names(const Engine* g, const FileInfo* s) {
  return s && s->links > 1 && !s->is_dir && !s->is_link && !g->virtual_target && (s->file_id[0] || s->file_id[1]);
}

void links_remember(Engine* g, const FileInfo* s, const char* rel, uint64_t copy_id) {
  if (!links_has_names(g, s) || find(g, s) != nullptr) return;
  auto* f = static_cast<LinkedFile*>(pool_allocate(&g->long_pool, sizeof(LinkedFile)));
  const char* relative = pool_strdup(&g->long_pool.allocator, rel);
  if (f == nullptr || relative == nullptr) return;
  *f = LinkedFile{{nullptr, nullptr}, s->volume_serial, {s->file_id[0], s->file_id[1]}, copy_id, relative};
  FileKey key{s->volume_serial, s->file_id};
  ji_insert(&g->linked, compare_file, &key, f);
}

bool links_add_name(Engine* g, const char* rel) {
  const FileInfo* s = g->source.info;
  if (!links_has_names(g, s)) return false;
  // The first name's copy is remembered once it is told.
  if (!settle(g)) return true;
  const LinkedFile* first = find(g, s);
  if (first == nullptr) {
    // A test run tells of the later names what the real run would do.
    if (g->no_modify) links_remember(g, s, rel, 0);
    return false;
  }
  if (g->no_modify) {
    g->report(SyncEvent::Added, rel);
    return true;
  }
  const char* name = nullptr;
  const HANDLE folder = place_parent(g, rel, &name);
  ScopedHandle copy;
  if (handle_is_none(folder) || open_copy(g, first, &copy) != 0 || file_link_at(copy.get(), folder, name) != 0)
    return false;
  g->report(SyncEvent::Added, rel);
  return true;
}

bool links_pair(Engine* g, const char* rel) {
  const FileInfo* s = g->source.info;
  const FileInfo* t = g->target.info;
  if (!links_has_names(g, s) || t == nullptr || is_folder(t) || target_is_link(t)) return false;
  if (!settle(g)) return true;
  const LinkedFile* first = find(g, s);
  if (first == nullptr) return false;
  if (first->copy_id != 0 && t->file_id[0] == first->copy_id && t->file_id[1] == 0) {
    g->report(SyncEvent::Identical, rel);
    return true;
  }
  if (g->flag(SYNC_KEEP_EXISTING)) {
    g->report(SyncEvent::Differs, rel);
    return true;
  }
  // Only a target entry of the very same name is replaced here; another
  // (a name that differs in case) goes the usual way.
  if (std::strcmp(rel, g->target.relative()) != 0) return false;
  if (g->no_modify) {
    g->report(SyncEvent::Removed, rel);
    g->report(SyncEvent::Added, rel);
    return true;
  }
  // The new name is made aside and renamed over the target entry, so a
  // failure leaves the entry as it was.
  ScopedHandle copy;
  AsideName temp;
  const Side& side = g->target;
  if (open_copy(g, first, &copy) != 0 || make_aside(side.folder, temp, link_aside, &copy) != 0) return false;
  put_in_place(g, side.folder, temp, side.path + side.name_offset, t->sys_attr, rel);
  return true;
}

}  // namespace sync_engine
