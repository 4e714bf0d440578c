#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fs/file_info.h"
#include "fs/native.h"
#include "platform/platform.h"
#include "fixtures.h"
#include "test_os.h"

namespace {

// Independent reference: Bob Jenkins' hashlittle2 over a byte vector,
// written out from the published algorithm.
uint32_t rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

void reference_hash(const std::vector<uint8_t>& key, uint32_t a0, uint32_t out[3]) {
  uint32_t a = a0, b = a0, c = a0;
  size_t len = key.size();
  const uint8_t* k = key.data();
  auto word = [](const uint8_t* p, size_t n) {
    uint32_t w = 0;
    for (size_t i = 0; i < n && i < 4; ++i) w |= uint32_t{p[i]} << (8 * i);
    return w;
  };
  while (len > 12) {
    a += word(k, 4); b += word(k + 4, 4); c += word(k + 8, 4);
    a -= c; a ^= rotl(c, 4); c += b;
    b -= a; b ^= rotl(a, 6); a += c;
    c -= b; c ^= rotl(b, 8); b += a;
    a -= c; a ^= rotl(c, 16); c += b;
    b -= a; b ^= rotl(a, 19); a += c;
    c -= b; c ^= rotl(b, 4); b += a;
    len -= 12;
    k += 12;
  }
  if (len > 0) {
    a += word(k, len);
    b += len > 4 ? word(k + 4, len - 4) : 0;
    c += len > 8 ? word(k + 8, len - 8) : 0;
    c ^= b; c -= rotl(b, 14);
    a ^= c; a -= rotl(c, 11);
    b ^= a; b -= rotl(a, 25);
    c ^= b; c -= rotl(b, 16);
    a ^= c; a -= rotl(c, 4);
    b ^= a; b -= rotl(a, 14);
    c ^= b; c -= rotl(b, 24);
  }
  out[0] = a;
  out[1] = b;
  out[2] = c;
}

TEST(VolumeHash, Lookup3PublishedValues) {
  // hashlittle("Four score and seven years ago", 30, initval) starts all
  // three words at 0xdeadbeef + 30 + initval and returns c.
  const char* text = "Four score and seven years ago";
  for (auto [initval, want] : {std::pair{0u, 0x17770551u}, std::pair{1u, 0xcd628161u}}) {
    Lookup3 h(0xdeadbeefu + 30 + initval);
    h.add(text, 30);
    uint32_t out[3];
    h.finish(out);
    EXPECT_EQ(out[2], want) << initval;
  }
}

TEST(VolumeHash, MatchesReferenceAtBlockBoundaries) {
  // Stream lengths 8 + name bytes: below, at and above multiples of 12.
  for (const char16_t* name : {u"", u"\\??\\", u"\\??\\C:", u"\\Device\\HarddiskVolume3",
                               u"\\Device\\Mup\\srv\\shr", u"ABCDEFGHIJKLMNOP", u"\\??\\Z:"}) {
    const uint64_t serial = 0x1122334455667788ull;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(serial >> (8 * i)));
    std::u16string n(name);
    for (char16_t ch : n) bytes.push_back(static_cast<uint8_t>(ch >= u'A' && ch <= u'Z' ? ch + 32 : ch));
    uint32_t want[3], got[3];
    reference_hash(bytes, 0xDEADBEEFu, want);
    volume_identity_hash(serial, reinterpret_cast<const wchar16*>(name), n.size(), got);
    EXPECT_EQ(got[0], want[0]) << bytes.size();
    EXPECT_EQ(got[1], want[1]);
    EXPECT_EQ(got[2], want[2]);
  }
}

TEST(VolumeHash, FoldsAndEncodesNonAscii) {
  // "\É" folds to "\é", U+00E9 in UTF-8 is C3 A9; U+10400 folds to U+10428.
  const char16_t name[] = u"\\\u00C9\xD801\xDC00";
  std::vector<uint8_t> bytes(8, 0);
  bytes[0] = 7;
  for (uint8_t b : {0x5C, 0xC3, 0xA9, 0xF0, 0x90, 0x90, 0xA8}) bytes.push_back(b);
  uint32_t want[3], got[3];
  reference_hash(bytes, 0xDEADBEEFu, want);
  volume_identity_hash(7, reinterpret_cast<const wchar16*>(name), 4, got);
  EXPECT_EQ(std::memcmp(got, want, sizeof got), 0);
}

TEST(VolumePart, Levels) {
  struct Case {
    const char16_t* name;
    uint32_t levels;
    size_t want;
  };
  const Case cases[] = {
      {u"\\Device\\HarddiskVolume3\\dir\\f", 2, 23},
      {u"\\Device\\HarddiskVolume3", 2, 23},  // fewer separators: the whole name
      {u"\\Device\\Mup\\srv\\shr\\dir", 4, 19},
      {u"\\Device\\Mup\\srv", 4, 15},
      {u"\\??\\Z:\\tmp\\x", 2, 6},
      {u"", 2, 0},
  };
  for (const Case& c : cases) {
    const size_t units = std::u16string(c.name).size();
    EXPECT_EQ(volume_part_length(reinterpret_cast<const wchar16*>(c.name), units, c.levels), c.want);
  }
}

TEST(FileInfoFinish, Rules) {
  struct Case {
    uint32_t sys_attr;
    uint8_t is_link;
    uint8_t attr, is_dir;
    uint64_t size;
  };
  const Case cases[] = {
      {0x20, 0, 0x28, 0, 5},            // plain file: content-indexed
      {0x2020, 0, 0x20, 0, 5},          // not content indexed
      {0x10, 0, 0x00, 0x10, 0},         // folder: size 0, never indexed
      {0x2010, 0, 0x00, 0x10, 0},
      {0x420, 1, 0x20, 0, 0},           // symbolic link: size 0, not indexed
      {0x0FFF & ~0x10u, 0, 0x2F, 0, 5}, // only 0x27 are copied, plus 0x08
      {0x80, 0, 0x08, 0, 5},            // normal
  };
  for (const Case& c : cases) {
    FileInfo fi{};
    fi.sys_attr = c.sys_attr;
    fi.is_link = c.is_link;
    fi.size = 5;
    file_info_finish(&fi);
    EXPECT_EQ(fi.attr, c.attr) << std::hex << c.sys_attr;
    EXPECT_EQ(fi.is_dir, c.is_dir);
    EXPECT_EQ(fi.size, c.size);
  }
}

// A directory entry of the given format with the given attributes and tag
// (or EA size), size 7, times 1..4 and id 0x55 / 0x66.
std::vector<uint8_t> make_entry(uint32_t info_class, uint32_t attrs, uint32_t tag) {
  std::vector<uint8_t> e(100, 0);
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&e[at], &v, 4); };
  auto put64 = [&](size_t at, uint64_t v) { std::memcpy(&e[at], &v, 8); };
  for (int i = 0; i < 4; ++i) put64(8 + 8 * i, 1000 + i);
  put64(40, 7);
  put64(48, 4096);
  put32(56, attrs);
  put32(60, 2);
  if (info_class == 60) {
    put32(68, tag);
    put64(72, 0x55);
    put64(80, 0x66);
  } else if (info_class == 38) {
    put32(64, tag);
    put64(72, 0x55);
  }
  return e;
}

TEST(FileInfoDirEntry, Formats) {
  struct Case {
    uint32_t info_class;
    uint32_t attrs;
    uint32_t tag;
    uint8_t is_link, is_junction;
    uint64_t id_low, id_high;
  };
  const Case cases[] = {
      {60, 0x20, 0, 0, 0, 0x55, 0x66},
      {60, 0x410, 0xA0000003, 0, 1, 0x55, 0x66},
      {60, 0x420, 0xA000000C, 1, 0, 0x55, 0x66},
      {60, 0x420, 0x80000017, 0, 0, 0x55, 0x66},  // other tag: neither
      {60, 0x20, 0xA000000C, 0, 0, 0x55, 0x66},   // tag without the reparse bit
      {38, 0x20, 0, 0, 0, 0x55, 0},
      {38, 0x410, 0xA0000003, 0, 1, 0x55, 0},
      {38, 0x420, 0xA000000C, 1, 0, 0x55, 0},
      {38, 0x420, 0x80000017, 0, 0, 0x55, 0},
      {1, 0x20, 0, 0, 0, 0, 0},
      {1, 0x420, 0, 1, 1, 0, 0},  // no tag in this format: both
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> e = make_entry(c.info_class, c.attrs, c.tag);
    FileInfo fi;
    std::memset(&fi, 0xAB, sizeof fi);
    file_info_from_dir_entry(e.data(), c.info_class, &fi);
    EXPECT_EQ(fi.sys_attr, c.attrs);
    EXPECT_EQ(fi.is_link, c.is_link) << c.info_class << " " << std::hex << c.tag;
    EXPECT_EQ(fi.is_junction, c.is_junction) << c.info_class << " " << std::hex << c.tag;
    EXPECT_EQ(fi.file_id[0], c.id_low);
    EXPECT_EQ(fi.file_id[1], c.id_high);
    EXPECT_EQ(fi.size, 7u);
    EXPECT_EQ(fi.creation_time, 1000u);
    EXPECT_EQ(fi.access_time, 1001u);
    EXPECT_EQ(fi.write_time, 1002u);
    EXPECT_EQ(fi.change_time, 1003u);
    EXPECT_EQ(fi.volume_serial, 0u);
    EXPECT_EQ(fi.link_missing, 0);
  }
}

TEST(FileInfoHandle, NoHandle) {
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    FileInfo fi;
    std::memset(&fi, 0xAB, sizeof fi);
    EXPECT_EQ(file_info_from_handle(h, &fi), err::invalid_handle);
    const FileInfo zero{};
    EXPECT_EQ(std::memcmp(&fi, &zero, sizeof fi), 0);
  }
}

TEST(FileInfoHandle, FirstQueryFailureZeroes) {
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtQueryInformationFile, 1, 0xC0000022));
  FileInfo fi;
  std::memset(&fi, 0xAB, sizeof fi);
  EXPECT_EQ(file_info_from_handle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1230)), &fi),
            err::access_denied);
  const FileInfo zero{};
  EXPECT_EQ(std::memcmp(&fi, &zero, sizeof fi), 0);
}

TEST(FileInfoHandle, FilesAndFolders) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string a = dir.join("a.txt"), b = dir.join("b.txt");
  ASSERT_TRUE(testos::write_file(a, "hello"));
  ASSERT_TRUE(testos::write_file(b, "hi"));

  FileInfo fa, fb, fd;
  ASSERT_EQ(file_info_from_path(a.c_str(), &fa), err::ok);
  ASSERT_EQ(file_info_from_path(b.c_str(), &fb), err::ok);
  ASSERT_EQ(file_info_from_path(dir.path().c_str(), &fd), err::ok);

  EXPECT_EQ(fa.size, 5u);
  EXPECT_EQ(fa.is_dir, 0);
  EXPECT_EQ(fa.is_link, 0);
  EXPECT_EQ(fa.attr & ATTR_CONTENT_INDEXED, ATTR_CONTENT_INDEXED);
  EXPECT_EQ(fa.attr & ~(ATTR_CONTENT_INDEXED | ATTR_ARCHIVE), 0);
  EXPECT_NE(fa.write_time, 0u);
  EXPECT_NE(fa.creation_time, 0u);
  EXPECT_NE(fa.file_id[0] | fa.file_id[1], 0u);
  EXPECT_FALSE(fa.file_id[0] == fb.file_id[0] && fa.file_id[1] == fb.file_id[1]);

  EXPECT_EQ(fd.is_dir, 0x10);
  EXPECT_EQ(fd.size, 0u);
  EXPECT_EQ(fd.attr & ATTR_CONTENT_INDEXED, 0);

  // One volume: one identity, and it is known.
  EXPECT_NE(fa.volume_id[0] | fa.volume_id[1] | fa.volume_id[2], 0u);
  EXPECT_EQ(std::memcmp(fa.volume_id, fb.volume_id, sizeof fa.volume_id), 0);
  EXPECT_EQ(std::memcmp(fa.volume_id, fd.volume_id, sizeof fa.volume_id), 0);
  EXPECT_EQ(fa.volume_serial, fd.volume_serial);

  // Without a record the call only reports readability.
  EXPECT_EQ(file_info_from_path(a.c_str(), nullptr), err::ok);
  FileInfo missing;
  std::memset(&missing, 0xAB, sizeof missing);
  EXPECT_EQ(file_info_from_path(dir.join("none").c_str(), &missing), err::file_not_found);
  const FileInfo zero{};
  EXPECT_EQ(std::memcmp(&missing, &zero, sizeof missing), 0);
}

TEST(FileInfoHandle, OptionalStepsAreAbsorbed) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string a = dir.join("a.txt");
  ASSERT_TRUE(testos::write_file(a, "hello"));
  sys::FaultScope faults;
  // The 128-bit id query fails: the volume information gives the serial.
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtQueryInformationFile, 2, 0xC0000003));
  // Both object name queries fail: no volume identity.
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtQueryObject, 1, 0xC0000004, 2));
  FileInfo fi;
  ASSERT_EQ(file_info_from_path(a.c_str(), &fi), err::ok);
  EXPECT_EQ(fi.size, 5u);
  EXPECT_EQ(fi.volume_id[0] | fi.volume_id[1] | fi.volume_id[2], 0u);
  EXPECT_EQ(fi.file_id[1], 0u);
}

}  // namespace
