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

constexpr TreeListerOps kEmptyListerOps = {empty_destroy, empty_next};

}  // namespace

Error empty_lister_open(TreeLister** out) {
  *out = nullptr;
  auto* lister = static_cast<TreeLister*>(block_alloc(sizeof(TreeLister)));
  if (lister == nullptr) return err::out_of_memory;
  lister->ops = &kEmptyListerOps;
  *out = lister;
  return 0;
}
