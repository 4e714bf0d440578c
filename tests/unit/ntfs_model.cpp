// The NTFS reparse-point model: replacements of the open, close, query and
// control calls that add what NTFS would report for the marked folders.
#include "ntfs_model.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "base/memory.h"
#include "base/unicode.h"
#include "fs/path.h"
#include "platform/door.h"
#include "platform/platform.h"

namespace ntfs_model {
namespace {

constexpr ULONG kOpenReparsePoint = 0x200000;
constexpr ULONG kAttrReparsePoint = 0x400;
constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005u);
constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006u);
constexpr NTSTATUS kNotReparsePoint = static_cast<NTSTATUS>(0xC0000275u);
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023u);
constexpr ULONG kFsctlSet = 0x900A4, kFsctlGet = 0x900A8;
constexpr ULONG kFsctlSetSparse = 0x900C4, kFsctlRanges = 0x940CF;

struct FileMark {
  uint32_t attributes;
  uint32_t named_streams;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
};

struct Mark {
  uint32_t tag;
  std::u16string text;    // reparse data name (links and junctions)
  std::u16string target;  // native name opened through the mark; empty: the folder itself
};

// One model at a time; the replacements find it here.
struct State {
  std::mutex lock;
  std::map<uint64_t, Mark> marks;      // by file id
  std::map<uint64_t, FileMark> files;  // by file id
  std::atomic<uint32_t> sparse_set{0};
  std::map<HANDLE, uint32_t> itself;   // handles of marked folders opened as themselves: tag
  uint32_t refuse_status = 0;
  std::u16string link_text;  // the last link's reparse data
  uint32_t link_flags = 0;
  std::atomic<uint32_t> unprivileged{0};
};
State* g_state = nullptr;

auto& calls() { return sys::g_calls; }

uint64_t id_of(HANDLE h) {
  FILE_ID_INFORMATION id{};
  IO_STATUS_BLOCK io{};
  if (calls().NtQueryInformationFile.fallback(h, &io, &id, sizeof id, static_cast<FILE_INFORMATION_CLASS>(59)) != 0)
    return 0;
  uint64_t low;
  std::memcpy(&low, id.FileId.Identifier, sizeof low);
  return low;
}

const Mark* mark_of(uint64_t id) {
  auto it = g_state->marks.find(id);
  return it == g_state->marks.end() ? nullptr : &it->second;
}

uint32_t itself_tag(HANDLE h) {
  std::lock_guard<std::mutex> g(g_state->lock);
  auto it = g_state->itself.find(h);
  return it == g_state->itself.end() ? 0 : it->second;
}

NTSTATUS model_create(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa, PIO_STATUS_BLOCK io,
                      PLARGE_INTEGER allocation, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                      PVOID ea, ULONG ea_length) {
  NTSTATUS st = calls().NtCreateFile.fallback(handle, access, oa, io, allocation, attributes, share, disposition,
                                              options, ea, ea_length);
  if (st != 0) return st;
  // Through a chain of marks, at most a few deep.
  for (int depth = 0; depth < 8; ++depth) {
    const uint64_t id = id_of(*handle);
    std::lock_guard<std::mutex> g(g_state->lock);
    const Mark* m = mark_of(id);
    if (!m) return st;
    if (options & kOpenReparsePoint) {
      g_state->itself[*handle] = m->tag;
      return st;
    }
    if (m->target.empty()) return st;
    calls().NtClose.fallback(*handle);
    std::u16string name = m->target;
    UNICODE_STRING us{};
    us.Length = static_cast<USHORT>(name.size() * 2);
    us.MaximumLength = us.Length;
    us.Buffer = reinterpret_cast<decltype(us.Buffer)>(name.data());
    OBJECT_ATTRIBUTES through = *oa;
    through.RootDirectory = nullptr;
    through.ObjectName = &us;
    st = calls().NtCreateFile.fallback(handle, access, &through, io, allocation, attributes, share, disposition,
                                       options, ea, ea_length);
    if (st != 0) return st;
  }
  return st;
}

void forget(HANDLE h) {
  std::lock_guard<std::mutex> g(g_state->lock);
  g_state->itself.erase(h);
}

NTSTATUS model_close(HANDLE h) {
  forget(h);
  return calls().NtClose.fallback(h);
}

BOOL model_close_handle(HANDLE h) {
  forget(h);
  return calls().CloseHandle.fallback(h);
}

const FileMark* file_mark(HANDLE h) {
  const uint64_t id = id_of(h);
  std::lock_guard<std::mutex> g(g_state->lock);
  auto it = g_state->files.find(id);
  return it == g_state->files.end() ? nullptr : &it->second;
}

// Hands out what fits of an answer; a longer one is cut, buffer overflow.
NTSTATUS answer(PIO_STATUS_BLOCK io, void* buffer, size_t room, const void* data, size_t size) {
  io->Information = size < room ? size : room;
  std::memcpy(buffer, data, io->Information);
  return io->Status = size <= room ? 0 : kBufferOverflow;
}

// The stream records (40 bytes each): the unnamed stream, then the named.
NTSTATUS list_streams(const FileMark& m, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length) {
  std::vector<uint8_t> out(40 * (m.named_streams + 1));
  for (uint32_t i = 0; i <= m.named_streams; ++i) {
    const std::u16string name = i ? u":s:$DATA" : u"::$DATA";
    const uint32_t next = i < m.named_streams ? 40 : 0, bytes = static_cast<uint32_t>(name.size() * 2);
    std::memcpy(&out[40 * i], &next, 4);
    std::memcpy(&out[40 * i + 4], &bytes, 4);
    std::memcpy(&out[40 * i + 24], name.data(), bytes);
  }
  return answer(io, buffer, length, out.data(), out.size());
}

NTSTATUS model_query(HANDLE h, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS info_class) {
  const FileMark* file = file_mark(h);
  if (file && static_cast<int>(info_class) == 22) return list_streams(*file, io, buffer, length);
  const NTSTATUS st = calls().NtQueryInformationFile.fallback(h, io, buffer, length, info_class);
  if (file && (st == 0 || st == kBufferOverflow) && static_cast<int>(info_class) == 18)
    static_cast<FILE_ALL_INFORMATION*>(buffer)->BasicInformation.FileAttributes |= file->attributes;
  const uint32_t tag = itself_tag(h);
  // A record cut short (the name part did not fit) still has its fixed part.
  if ((st != 0 && st != kBufferOverflow) || tag == 0) return st;
  switch (static_cast<int>(info_class)) {
    case 4: static_cast<FILE_BASIC_INFORMATION*>(buffer)->FileAttributes |= kAttrReparsePoint; break;
    case 18: static_cast<FILE_ALL_INFORMATION*>(buffer)->BasicInformation.FileAttributes |= kAttrReparsePoint; break;
    case 35: {
      auto* t = static_cast<FILE_ATTRIBUTE_TAG_INFORMATION*>(buffer);
      t->FileAttributes |= kAttrReparsePoint;
      t->ReparseTag = tag;
      break;
    }
    default: break;
  }
  return st;
}

// Marks the listed entries of marked folders as reparse points with their tag.
void mark_entries(uint8_t* buffer, FILE_INFORMATION_CLASS info_class) {
  const int c = static_cast<int>(info_class);
  // The Linux class is the id-extended entry with more after it.
  const bool extended = c == 60 || c == static_cast<int>(kFileLinuxDirectoryInformation);
  if (!extended && c != 38) return;
  for (uint8_t* e = buffer;;) {
    uint64_t id;
    if (extended)
      std::memcpy(&id, e + offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileId), sizeof id);
    else
      std::memcpy(&id, e + offsetof(FILE_ID_FULL_DIR_INFORMATION, FileId), sizeof id);
    std::lock_guard<std::mutex> g(g_state->lock);
    if (const Mark* m = mark_of(id)) {
      ULONG attributes;
      std::memcpy(&attributes, e + offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes), sizeof attributes);
      attributes |= kAttrReparsePoint;
      std::memcpy(e + offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes), &attributes, sizeof attributes);
      const size_t at = extended ? offsetof(FILE_ID_EXTD_DIR_INFORMATION, ReparsePointTag)
                                : offsetof(FILE_ID_FULL_DIR_INFORMATION, EaSize);
      std::memcpy(e + at, &m->tag, sizeof m->tag);
    }
    ULONG next;
    std::memcpy(&next, e, sizeof next);
    if (next == 0) break;
    e += next;
  }
}

NTSTATUS model_list(HANDLE h, HANDLE event, PIO_APC_ROUTINE apc, PVOID context, PIO_STATUS_BLOCK io, PVOID buffer,
                    ULONG length, FILE_INFORMATION_CLASS info_class, BOOLEAN single, PUNICODE_STRING mask,
                    BOOLEAN restart) {
  // A marked folder opened as itself is its own empty place holder.
  if (itself_tag(h) != 0) {
    io->Status = kNoMoreFiles;
    io->Information = 0;
    return kNoMoreFiles;
  }
  const NTSTATUS st = calls().NtQueryDirectoryFile.fallback(h, event, apc, context, io, buffer, length, info_class,
                                                            single, mask, restart);
  if (st == 0) mark_entries(static_cast<uint8_t*>(buffer), info_class);
  return st;
}

void put16(uint8_t* p, size_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

NTSTATUS model_control(HANDLE h, HANDLE event, PIO_APC_ROUTINE apc, PVOID context, PIO_STATUS_BLOCK io, ULONG code,
                       PVOID in, ULONG in_length, PVOID out, ULONG out_length) {
  if (code == kFsctlSet && in && in_length >= 20) {
    const auto* p = static_cast<const uint8_t*>(in);
    uint16_t offset, bytes;
    std::memcpy(&offset, p + 8, 2);
    std::memcpy(&bytes, p + 10, 2);
    std::lock_guard<std::mutex> g(g_state->lock);
    std::memcpy(&g_state->link_flags, p + 16, 4);
    g_state->link_text.assign(reinterpret_cast<const char16_t*>(p + 20 + offset), bytes / 2);
    if (g_state->refuse_status != 0) return static_cast<NTSTATUS>(g_state->refuse_status);
  }
  if (code == kFsctlSetSparse) {
    g_state->sparse_set.fetch_add(1);
    return io->Status = 0;
  }
  const FileMark* file = code == kFsctlRanges && in && in_length >= 16 ? file_mark(h) : nullptr;
  if (file && (file->attributes & 0x200)) {
    uint64_t asked[2];
    std::memcpy(asked, in, sizeof asked);
    std::vector<uint64_t> found;
    for (const auto& [offset, bytes] : file->ranges)
      if (offset + bytes > asked[0] && offset < asked[0] + asked[1]) found.insert(found.end(), {offset, bytes});
    return answer(io, out, out_length / 16 * 16, found.data(), found.size() * 8);
  }
  const uint32_t tag = itself_tag(h);
  if (code != kFsctlGet || tag == 0)
    return calls().NtFsControlFile.fallback(h, event, apc, context, io, code, in, in_length, out, out_length);
  std::u16string text;
  {
    std::lock_guard<std::mutex> g(g_state->lock);
    if (const Mark* m = mark_of(id_of(h))) text = m->text;
  }
  if (tag == kTagCloud) return kNotReparsePoint;  // its data is the filter's own
  // Header, substitute name with terminator, empty print name with terminator.
  const size_t header = tag == kTagSymlink ? 20 : 16;
  const size_t total = header + text.size() * 2 + 4;
  if (out_length < total) return kBufferTooSmall;
  auto* p = static_cast<uint8_t*>(out);
  std::memset(p, 0, total);
  std::memcpy(p, &tag, sizeof tag);
  put16(p + 4, total - 8);
  put16(p + 10, text.size() * 2);
  put16(p + 12, text.size() * 2 + 2);
  // A symbolic link's text without a root is relative to its folder.
  if (tag == kTagSymlink && (text.empty() || text[0] != u'\\')) p[16] = 1;
  std::memcpy(p + header, text.data(), text.size() * 2);
  io->Status = 0;
  io->Information = total;
  return 0;
}

BOOLEAN model_create_link(LPCWSTR link, LPCWSTR target, DWORD flags) {
  g_state->unprivileged.fetch_add(1);
  return calls().CreateSymbolicLinkW.fallback(link, target, flags);
}

// The replacements, installed for the life of the model.
struct Installed {
  sys::CallReplacement<sys::SysCall::NtCreateFile> create{model_create};
  sys::CallReplacement<sys::SysCall::NtClose> close{model_close};
  sys::CallReplacement<sys::SysCall::CloseHandle> close_handle{model_close_handle};
  sys::CallReplacement<sys::SysCall::NtQueryInformationFile> query{model_query};
  sys::CallReplacement<sys::SysCall::NtQueryDirectoryFile> list{model_list};
  sys::CallReplacement<sys::SysCall::NtFsControlFile> control{model_control};
  sys::CallReplacement<sys::SysCall::CreateSymbolicLinkW> link{model_create_link};
};
Installed* g_installed = nullptr;

std::u16string native_name(const std::string& path) {
  ScopedPool pool;
  NtName name{};
  if (path_to_nt_name(pool.get(), path.c_str(), &name) != err::ok) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(name.text), name.length);
}

std::u16string utf16(const std::string& text) {
  std::vector<wchar16> w(text.size() + 1);
  const uint64_t n = utf8_to_utf16(w.data(), w.size(), text.c_str());
  return std::u16string(reinterpret_cast<const char16_t*>(w.data()), n < w.size() ? n : w.size() - 1);
}

// The file id of the entry at `path` itself.
uint64_t id_at(const std::string& path, ULONG options = 0x200021) {
  ScopedPool pool;
  NtName name{};
  if (path_to_nt_name(pool.get(), path.c_str(), &name) != err::ok) return 0;
  OBJECT_ATTRIBUTES oa{};
  oa.Length = sizeof oa;
  oa.ObjectName = &name.name;
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  if (calls().NtCreateFile.fallback(&h, 0x100080, &oa, &io, nullptr, 0, 7, 1, options, nullptr, 0) != 0) return 0;
  const uint64_t id = id_of(h);
  calls().NtClose.fallback(h);
  return id;
}

bool add(const std::string& folder, Mark mark) {
  const uint64_t id = id_at(folder);
  if (id == 0) return false;
  std::lock_guard<std::mutex> g(g_state->lock);
  g_state->marks[id] = std::move(mark);
  return true;
}

}  // namespace

Model::Model() {
  g_state = new State;
  g_installed = new Installed;
}

Model::~Model() {
  delete g_installed;
  g_installed = nullptr;
  delete g_state;
  g_state = nullptr;
}

bool Model::junction(const std::string& folder, const std::string& target) {
  const std::u16string name = native_name(target);
  return !name.empty() && add(folder, Mark{kTagMountPoint, name, name});
}

bool Model::symlink(const std::string& folder, const std::string& text, const std::string& target) {
  const std::u16string name = native_name(target);
  return !name.empty() && add(folder, Mark{kTagSymlink, utf16(text), name});
}

bool Model::cloud(const std::string& folder) { return add(folder, Mark{kTagCloud, {}, {}}); }

bool Model::file(const std::string& path, uint32_t attributes, uint32_t named_streams,
                 std::vector<std::pair<uint64_t, uint64_t>> ranges) {
  const uint64_t id = id_at(path, 0x200020);
  if (id == 0) return false;
  std::lock_guard<std::mutex> g(g_state->lock);
  g_state->files[id] = FileMark{attributes, named_streams, std::move(ranges)};
  return true;
}

uint32_t Model::sparse_set() const { return g_state->sparse_set.load(); }

void Model::refuse_link_data(uint32_t status) { g_state->refuse_status = status; }

uint32_t Model::unprivileged_links() const { return g_state->unprivileged.load(); }

std::u16string Model::link_text() const { return g_state->link_text; }

uint32_t Model::link_flags() const { return g_state->link_flags; }

}  // namespace ntfs_model
