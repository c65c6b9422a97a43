#include "HiveFile.h"

namespace image {

namespace {

// An error about the written file, told about the file it is to replace:
// the written one has no name of its own yet.
Error aboutInput(const Error& error, const std::filesystem::path& written,
                 const std::filesystem::path& input, const std::string& more = "") {
  if (error.file() != written) return error;
  return Error(input, "the new hive " + error.detail() + more);
}

}  // namespace

bool HiveFile::changed() const {
  return !diffHive(registry_, mount_).empty();
}

// A failing write is named by the pipeline, which knows where the file goes.
std::string HiveFile::build(const std::filesystem::path& out) {
  return describe(writeHive(registry_, mount_, out));
}

void HiveFile::verify(const std::filesystem::path& written) {
  try {
    verifyWrittenHive(written, mount_.kind, registry_, mount_.mountPath);
  } catch (const Error& e) {
    throw aboutInput(e, written, input_.given(), "; nothing written");
  }
}

void verifyWrittenHive(const std::filesystem::path& file, HiveKind kind,
                       const sim::Registry& expected, const std::string& mountPath) {
  verifyHive(file);
  verifyHiveAgainst(file, kind, expected, mountPath);
}

}  // namespace image
