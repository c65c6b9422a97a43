// The one road by which every machine image enters the tool and leaves it:
// the bundled sample machines, a .reg image, a set of hive files, a CREG file
// (SYSTEM.DAT). The tool holds one source and never asks which kind it is;
// each kind answers for itself what it reads, where an --import may go, what
// undoes the run and what it writes back.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "Commit.h"
#include "Machine.h"
#include "RegFile.h"
#include "ToolRun.h"

namespace tool {

class ImageSource {
public:
  virtual ~ImageSource() = default;

  // The Windows version the run simulates: --os when given, else the one the
  // image implies (before it is loaded). Throws UsageError when there is none.
  virtual std::string os(const Options& options, const CheckedOptions& checked) const;
  // Refuses a Windows version that the image cannot come from.
  virtual void checkOs(const sim::Machine& machine) const;
  // Loads the registry into the machine; with `undo`, notes what was loaded.
  // Warnings go to `notes`.
  virtual void load(sim::Machine& machine, bool undo, std::ostream& notes) = 0;
  // The Windows version the loaded registry names, when --os left it open.
  virtual std::optional<std::string> loadedOs(const sim::Registry& registry) const;
  // Applies an --import: where its keys go, and which are refused.
  virtual void import(sim::Machine& machine, const std::string& file) const;
  // The undo image: what turns the registry back into the image as loaded.
  virtual std::string undoText(const sim::Machine& machine, image::RegFormat format) const;
  // Whether a --commit writes the undo file itself.
  virtual bool commitsUndo(const Options& options) const;
  // After the calls: the kind's own outputs (--save-hive, --save-dat) and the
  // commit pipeline, or in a preview the writer's walk in memory (no file).
  virtual void finish(const sim::Machine& machine, const Options& options, image::RegFormat format,
                      std::ostream& notes);
  // The --check summary lines.
  virtual void check(std::ostream& out) const = 0;
  // The "image" object of the --json document.
  virtual nlohmann::ordered_json describe(const sim::Machine& machine) const = 0;
  // The registry's 8-bit text as UTF-8, decoded from the image's code page
  // (Latin-1 for images that name none).
  virtual std::string toUtf8(std::string_view text) const;

protected:
  // The files through the commit pipeline: for --commit with --backup,
  // --undo and the undo text; in a preview, the same checks up to the
  // writing.
  void commitThrough(std::vector<image::ImageFile*> files, const sim::Machine& machine,
                     const Options& options, image::RegFormat format, std::ostream& notes) const;
  // Before a new file built from an input (--save-hive, --save-dat) takes
  // its name: the input is still the file that was read, as the pipeline
  // asks before it replaces one. Throws image::Error.
  static void recheck(const image::InputFile& input);
};

// The image that checked options name, its inputs opened (and for a commit
// locked) before anything is read. Throws UsageError or image::Error.
std::unique_ptr<ImageSource> openImage(const Options& options, const CheckedOptions& checked);

// The kinds (ImageSource.cpp, HiveTool.cpp, DatTool.cpp).
std::unique_ptr<ImageSource> openBundled(const Options& options);
std::unique_ptr<ImageSource> openRegImage(const Options& options);
std::unique_ptr<ImageSource> openHives(const Options& options, const CheckedOptions& checked);
std::unique_ptr<ImageSource> openCreg(const Options& options);

// The registry's 8-bit text as UTF-8, each byte the code point of its
// number (Latin-1): for names and text that come from no code page.
std::string latin1ToUtf8(std::string_view latin1);

}  // namespace tool
