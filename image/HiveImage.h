// NT registry hive files (the "regf" format of Windows\System32\config) as
// machine images, read and written through hivex.
//
// A hive is mounted below a key of the simulated registry: SYSTEM at
// HKEY_LOCAL_MACHINE\SYSTEM, SOFTWARE at HKEY_LOCAL_MACHINE\SOFTWARE. In a
// SYSTEM hive, CurrentControlSet is not a key of its own but the link that a
// running Windows makes to the control set that Select\Current names; the
// image presents that control set as CurrentControlSet, and only there, so
// that what the library changes through the link lands in ControlSetNNN when
// the hive is written back.
//
// The simulated registry holds 8-bit text: names and the text types' data
// (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, stored in the hive as UTF-16LE) are
// narrowed to Latin-1, with '?' for what does not fit. Writing back matches
// the hive's keys and values to the registry's by the narrowed name and never
// passes the hive's own names or an unchanged value through that narrowing:
// a localized name keeps its bytes. What narrowing cannot give back (two
// siblings that narrow to one name, a deleted name or text that the 8-bit
// undo file would restore differently) is refused before anything is
// written.
//
// A crafted hive (a subkey list naming its own key, a key above it or a key
// listed elsewhere; two siblings of one name as Windows compares them; keys
// nested deeper than 512 levels) is refused with one line when loading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "ImageDiff.h"
#include "ImageError.h"
#include "SimRegistry.h"

namespace image {

// Files that are not hives, and hives that cannot be read or written, are
// refused with an Error naming the file.

// What the hive's base block says before anything else is read.
struct HiveHeader {
  std::uint32_t sequence1 = 0;
  std::uint32_t sequence2 = 0;
  std::uint64_t declaredSize = 0;  // base block and hive bins, in bytes
  std::uint64_t fileSize = 0;
  // Both sequence numbers equal: the hive was written completely, and no
  // transaction log holds changes that are not in it.
  bool clean() const { return sequence1 == sequence2; }
};

// Reads the base block; throws Error for a file that is missing, too
// short, not a hive, or shorter than its header says.
HiveHeader readHiveHeader(const std::filesystem::path& file);
// Whether the file starts with the "regf" signature.
bool looksLikeHive(const std::filesystem::path& file);

enum class HiveKind { System, Software };

// Size and modification time, to notice a file that changed since it was read.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

struct HiveMount {
  HiveKind kind = HiveKind::System;
  std::filesystem::path file;
  std::string mountPath;   // "HKEY_LOCAL_MACHINE\SYSTEM"
  std::string currentSet;  // SYSTEM: "ControlSet001"; SOFTWARE: empty
  HiveHeader header;
  FileStamp stamp;       // of the file as it was read
  std::size_t keys = 0;  // loaded, the mount key included
  std::size_t values = 0;
  std::size_t narrowedNames = 0;  // names with characters outside Latin-1
};

// Where a hive of that kind is mounted: "HKEY_LOCAL_MACHINE\SYSTEM".
std::string mountPathFor(HiveKind kind);

// Loads the whole hive below its mount key. Throws Error for a file that
// is not a readable hive, and for a SYSTEM hive without Select\Current or
// whose Current names no control set.
HiveMount loadHive(sim::Registry& registry, const std::filesystem::path& file, HiveKind kind);

// The hive file of `mount` changed as the registry below the mount key now
// differs from it, written to `out` (a new file). Keys and values the registry
// holds unchanged are left as hivex keeps them. Returns what was changed; with
// `writeWhenUnchanged` false, nothing is written when nothing changed.
ImageDiff writeHive(const sim::Registry& registry, const HiveMount& mount,
                    const std::filesystem::path& out, bool writeWhenUnchanged = true);

// Opens a written hive again with hivex and reads its root key; throws
// Error when that fails.
void verifyHive(const std::filesystem::path& file);

// The changes writeHive would make, without writing anything: the hive is
// changed in memory only, so every refusal writeHive would give, comes here.
ImageDiff diffHive(const sim::Registry& registry, const HiveMount& mount);

// Throws the Error that writing the registry back into the mount's hive
// would throw, writing nothing: for a preview to refuse what a commit would.
// An unclean header (HiveHeader::clean) is left to the caller, which warns in
// a preview and refuses a commit.
void checkWritable(const sim::Registry& registry, const HiveMount& mount);

// Reads a written hive back into a registry of its own, as loadHive does
// (a SYSTEM hive's Select\Current must still resolve), and compares the keys
// below `mountPath` with `expected`: same key names, exactly, and same values.
// Throws Error naming the first difference.
void verifyHiveAgainst(const std::filesystem::path& file, HiveKind kind,
                       const sim::Registry& expected, const std::string& mountPath);

}  // namespace image
