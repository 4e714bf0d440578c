// Directory-entry records of the three formats the reader asks for, filled
// into the file information record from any bytes.
#include <cstring>
#include <vector>

#include "fs/file_info.h"
#include "listing/dir_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  struct Format {
    uint32_t info_class;
    size_t fixed;
  };
  constexpr size_t kExtendedSize = kSystemKeepsPosixModes ? kLinuxDirNameAt + 4 : sizeof(FILE_ID_EXTD_DIR_INFORMATION);
  static const Format kFormats[] = {{kDirClassIdExtended, kExtendedSize},
                                    {kDirClassIdFull, sizeof(FILE_ID_FULL_DIR_INFORMATION)},
                                    {kDirClassPlain, sizeof(FILE_DIRECTORY_INFORMATION)}};
  for (const Format& f : kFormats) {
    // The reader hands over an entry whose fixed part lies inside its batch.
    std::vector<uint8_t> entry(f.fixed + 8, 0);
    std::memcpy(entry.data(), data, size < entry.size() ? size : entry.size());
    FileInfo info{};
    file_info_from_dir_entry(entry.data(), f.info_class, &info);
    file_info_finish(&info);
  }
  return 0;
}
