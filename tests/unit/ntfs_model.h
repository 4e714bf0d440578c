// A model of NTFS reparse points for tests, made only by replacing calls in
// the door's table: the file system underneath stays what it is. A marked
// folder is an ordinary (empty) folder on disk; opened as itself it reports
// the reparse attribute and its tag, and opened through itself it is the
// folder it leads to, as on NTFS.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ntfs_model {

constexpr uint32_t kTagMountPoint = 0xA0000003u;
constexpr uint32_t kTagSymlink = 0xA000000Cu;
constexpr uint32_t kTagCloud = 0x9000001Au;  // not a name surrogate

class Model {
 public:
  Model();
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // `folder` (an existing empty folder) becomes a junction to `target` (a
  // program path). Opened as itself it lists empty.
  bool junction(const std::string& folder, const std::string& target);
  // `folder` becomes a folder symbolic link whose text is `text` (system
  // form); opened through itself it is `target`.
  bool symlink(const std::string& folder, const std::string& text, const std::string& target);
  // `folder` becomes a cloud-file place holder: opened as itself it lists
  // empty, opened through its filter it lists in full.
  bool cloud(const std::string& folder);
  // Setting reparse data fails with `status` (0: allowed); the
  // create-symbolic-link call still works and is counted.
  void refuse_link_data(uint32_t status);
  uint32_t unprivileged_links() const;
  // The file at `path` reads with `attributes` added (0x200 sparse, 0x4000
  // encrypted), `named_streams` data streams besides its unnamed one and,
  // when sparse, these stored ranges (offset, length) of its data.
  bool file(const std::string& path, uint32_t attributes, uint32_t named_streams,
            std::vector<std::pair<uint64_t, uint64_t>> ranges = {});
  // How many files were made sparse.
  uint32_t sparse_set() const;
  // The substitute name and flags of the last reparse data set (or refused).
  std::u16string link_text() const;
  uint32_t link_flags() const;
};

}  // namespace ntfs_model
