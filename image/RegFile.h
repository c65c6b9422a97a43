// sim::Registry images: the .reg files that regedit reads and writes, in both of
// its formats ("REGEDIT4", and "Windows sim::Registry Editor Version 5.00" as
// UTF-16LE with a byte-order mark or as UTF-8).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Changes.h"
#include "ImageError.h"
#include "SimRegistry.h"

namespace image {

// Malformed images, and images that regedit could not have written (a name
// holding a NUL character, a key deeper than Windows' 512 levels), are
// refused with an Error naming the file and the line.

enum class RegFormat { Regedit4, Regedit5 };
// The first line of each format: the reader tells them apart by it.
inline constexpr std::string_view kRegHeader4 = "REGEDIT4";
inline constexpr std::string_view kRegHeader5 = "Windows Registry Editor Version 5.00";

// Applies an image to the registry: keys and values are added, "[-KEY]"
// deletes a key with everything below it, "name"=- deletes a value. A
// malformed image changes nothing. `origin` names the image in error
// messages. Images are read a piece at a time and line by line, so that a
// large one never sits whole in memory, as bytes or as text.
void applyRegText(sim::Registry& registry, std::string_view bytes, const std::string& origin);
void loadRegFile(sim::Registry& registry, const std::filesystem::path& file);
// Which keys an image that holds part of a registry (a hive, a CREG file)
// takes from an --import: keys below `moved[i].from` go below `moved[i].to`,
// or, with `to` empty, are refused for `moved[i].why`; then every key must be
// within one of `within` (full paths), else it is refused as `outside` says.
struct ImportScope {
  struct Moved {
    std::string from;  // "HKEY_CURRENT_CONFIG"
    std::string to;    // "HKEY_LOCAL_MACHINE\Config\0001"; empty: refused
    std::string why;   // "is kept in USER.DAT"
  };
  std::vector<std::string> within;
  std::vector<Moved> moved;
  std::string outside = "is not in a loaded hive";
};
// The same with every key line within one of the keys `within` (full paths):
// a key elsewhere is refused, naming it, and nothing is imported.
void loadRegFile(sim::Registry& registry, const std::filesystem::path& file,
                 const std::vector<std::string>& within);
void loadRegFile(sim::Registry& registry, const std::filesystem::path& file,
                 const ImportScope& scope);
// The image in pieces as they come from a file or a pipe: a piece may end
// anywhere, inside a character or a line.
void applyRegPieces(sim::Registry& registry, const std::vector<std::string_view>& pieces,
                    const std::string& origin);

// Every key of the registry with its values, as a .reg image that regedit
// reads back to the same keys, values and types: each root's own values,
// then its keys, roots in the order of the root table. Regedit5 is written as
// UTF-16LE with a byte-order mark and CRLF line ends, Regedit4 as 8-bit text
// with CRLF line ends. writeRegImage and saveRegFile write a key at a time.
// A name holding a NUL character cannot be written: Error.
std::string writeRegText(const sim::Registry& registry, RegFormat format = RegFormat::Regedit4);
void writeRegImage(const sim::Registry& registry, std::ostream& out,
                   RegFormat format = RegFormat::Regedit4);
void saveRegFile(const sim::Registry& registry, const std::filesystem::path& file,
                 RegFormat format = RegFormat::Regedit4);

// An image that puts back everything the changes deleted (keys with all their
// values and types, single values): imported after the run, it gives back the
// registry as it was before.
std::string writeUndoText(const std::vector<sim::Change>& changes,
                          RegFormat format = RegFormat::Regedit4);

// The keys below some keys of a registry, by upper-case full path: what a
// run started from, to compare with what it ends with.
using RegistrySnapshot = std::map<std::string, sim::KeySnapshot>;
RegistrySnapshot snapshotBelow(const sim::Registry& registry,
                               const std::vector<std::string>& roots);

// An image that turns `after` back into `before`: keys added are deleted,
// keys deleted come back with their values, values changed or deleted are
// reset and values added are deleted.
std::string writeUndoDiff(const RegistrySnapshot& before, const RegistrySnapshot& after,
                          RegFormat format = RegFormat::Regedit4);

}  // namespace image
