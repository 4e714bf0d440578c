// The empty lister: stands in for a virtual empty folder.
#include "base/memory.h"
#include "listing/tree_lister.h"
#include "sync/engine.h"

namespace {

void empty_destroy(TreeLister* self) { block_free(self, sizeof(TreeLister)); }

Error empty_next(TreeLister*, const char** path, uint64_t* name_offset, const FileInfo** info) {
  if (path) *path = nullptr;
  if (name_offset) *name_offset = 0;
  if (info) *info = nullptr;
  return err::no_more_files;
}

const FileInfo* empty_root(TreeLister*) { return nullptr; }
void empty_exclude(TreeLister*, const FileInfo*) {}
HANDLE empty_folder(TreeLister*) { return INVALID_HANDLE_VALUE; }

constexpr TreeListerOps kEmptyListerOps = {empty_destroy, empty_next, empty_root, empty_exclude, empty_folder};

}  // namespace

Error empty_lister_open(TreeLister** out) {
  *out = nullptr;
  auto* lister = static_cast<TreeLister*>(block_alloc(sizeof(TreeLister)));
  if (lister == nullptr) return err::out_of_memory;
  lister->ops = &kEmptyListerOps;
  *out = lister;
  return 0;
}
