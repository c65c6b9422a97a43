#include "HiveFile.h"

#include <optional>

#include "ImageText.h"
#include "Machine.h"

namespace image {

namespace {

// An error about the written file, told about the file it is to replace:
// the written one has no name of its own yet.
Error aboutInput(const Error& error, const std::filesystem::path& written,
                 const std::filesystem::path& input, const std::string& more = "") {
  if (error.file() != written) return error;
  return Error(input, "the new hive " + error.detail() + more);
}

// The first key ("KEY") or value ("KEY|name") where `actual` differs from
// `expected` below the mount key, walked a key at a time so that neither is
// copied whole.
std::optional<std::string> firstDifference(const sim::Registry& actual,
                                           const sim::Registry& expected,
                                           const std::string& mountPath) {
  std::optional<std::string> difference;
  std::size_t planned = 0;
  expected.forEachKey([&](const sim::KeySnapshot& key) {
    if (difference || !text::atOrBelow(key.path, mountPath)) return;
    ++planned;
    if (!actual.keyExists(key.path)) {
      difference = key.path;
      return;
    }
    for (const sim::Value& value : key.values) {
      const auto found = actual.value(key.path, value.name);
      if (!found || found->type != value.type || found->data != value.data) {
        difference = key.path + "|" + value.name;
        return;
      }
    }
    if (actual.values(key.path).size() != key.values.size()) difference = key.path;
  });
  if (difference) return difference;
  std::size_t written = 0;
  actual.forEachKey([&](const sim::KeySnapshot& key) {
    if (text::atOrBelow(key.path, mountPath)) ++written;
  });
  if (written != planned)
    return mountPath + " (" + std::to_string(written) + " keys, " + std::to_string(planned) +
           " planned)";
  return std::nullopt;
}

}  // namespace

std::string describe(const HiveDiff& diff) {
  return std::to_string(diff.keysDeleted) + " keys deleted, " + std::to_string(diff.keysAdded) +
         " added, " + std::to_string(diff.valueListsChanged) + " value lists changed";
}

bool HiveFile::changed() const {
  return !diffHive(registry_, mount_).empty();
}

std::string HiveFile::build(const std::filesystem::path& out) {
  try {
    return describe(writeHive(registry_, mount_, out));
  } catch (const Error& e) {
    throw aboutInput(e, out, input_.given());
  }
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
  // The one read-back call; the reader's own comparison, when it has one,
  // takes the place of the three steps here.
  verifyHive(file);
  sim::Machine fresh;
  loadHive(fresh.registry, file, kind);
  const auto difference = firstDifference(fresh.registry, expected, mountPath);
  if (difference) throw Error(file, "differs from the planned one at " + *difference);
}

}  // namespace image
