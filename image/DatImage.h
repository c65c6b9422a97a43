// Windows 95/98/Me registry files (SYSTEM.DAT, "CREG") as machine images of
// HKEY_LOCAL_MACHINE: read through libcreg, checked and written back by our
// own code (DatFile.h).
//
// Names and the data of every value are held exactly as the file's bytes: the
// ANSI text of the file's code page, which is what the ANSI registry
// functions of those Windows see. The code page (1252 unless told) is given
// to libcreg for what it converts itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Commit.h"
#include "DatFile.h"
#include "ImageDiff.h"
#include "SimRegistry.h"

namespace image {

// Whether the file starts with the "CREG" signature.
bool looksLikeDat(const std::filesystem::path& file);

struct DatMount {
  std::filesystem::path file;
  std::string mountPath = "HKEY_LOCAL_MACHINE";
  int codepage = 1252;
  std::vector<std::uint8_t> bytes;  // as read and checked
  dat::Summary summary;
  std::size_t keys = 0;  // loaded through libcreg, the root included
  std::size_t values = 0;
};

// Software\Microsoft\Windows\CurrentVersion's VersionNumber ("4.10.2222");
// empty when the file has none.
std::string datVersionNumber(const std::filesystem::path& file, int codepage);
// The same, from a mount already read.
std::string datVersionNumber(const DatMount& mount);
// The simulated Windows for a VersionNumber: "win95", "win98", "winme", or
// nothing for another.
std::optional<std::string> osForVersionNumber(const std::string& version);

// Reads and checks the whole file: a mount with its bytes and summary,
// nothing loaded yet. Throws Error naming the file and the first fault.
DatMount readDat(const std::filesystem::path& file, int codepage = 1252);
// Loads every key and value of the mount's file below its mount path with our
// own reader (DatRead.h), and notes their numbers in it. Throws Error.
void loadDat(sim::Registry& registry, DatMount& mount);
// Both.
DatMount loadDat(sim::Registry& registry, const std::filesystem::path& file, int codepage = 1252);

// The file as it was read, edited to hold what the registry below the mount
// path now holds, and checked. Throws Error for what the format cannot hold
// (values on the root key, a key's values above 64 KB).
std::vector<std::uint8_t> newDatBytes(const sim::Registry& registry, const DatMount& mount,
                                      ImageDiff* diff = nullptr);
// Writes newDatBytes to `out` (a new file) and reads it back through libcreg
// (verifyDat). Whether the mounted file changed since it was read is the
// caller's to ask, of the InputFile it holds (InputFile::recheck), as the
// commit pipeline does under its lock.
ImageDiff writeDat(const sim::Registry& registry, const DatMount& mount,
                   const std::filesystem::path& out);

// Reads a written file back: the structural check, then libcreg into a fresh
// registry, whose tree must equal the expected registry's below the mount
// path. Throws Error naming the first difference.
void verifyDat(const std::filesystem::path& file, const sim::Registry& expected,
               const DatMount& mount);

// A CREG file as an image file of the commit pipeline (Commit.h): its new
// content is the registry below the mount path, written by the editor.
class DatImageFile : public ImageFile {
public:
  DatImageFile(const InputFile& input, const DatMount& mount, const sim::Registry& registry)
      : input_(input), mount_(mount), registry_(registry) {}

  const InputFile& input() const override { return input_; }
  std::string label() const override { return input_.given().filename().string(); }
  // Whenever the registry differs from the file, even where the editor
  // found nothing to change: the read-back then names what it lost. (The
  // new bytes are made only then, and a CREG file is never empty.)
  bool changed() const override { return !next().bytes.empty(); }
  std::string build(const std::filesystem::path& out) override;
  void verify(const std::filesystem::path& written) override;

private:
  const InputFile& input_;
  const DatMount& mount_;
  const sim::Registry& registry_;
  // The new bytes, made once: the calls are over when the pipeline asks.
  struct Next {
    std::vector<std::uint8_t> bytes;
    ImageDiff diff;
  };
  mutable std::optional<Next> next_;
  const Next& next() const;
};

}  // namespace image
