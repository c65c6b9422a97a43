// A hive as an image file of the commit pipeline (Commit.h): its new content
// is the registry below its mount key, written back through the hive writer.
#pragma once

#include <filesystem>
#include <string>

#include "Commit.h"
#include "HiveImage.h"
#include "SimRegistry.h"

namespace image {

class HiveFile : public ImageFile {
public:
  HiveFile(const InputFile& input, std::string label, const HiveMount& mount,
           const sim::Registry& registry)
      : input_(input), label_(std::move(label)), mount_(mount), registry_(registry) {}

  const InputFile& input() const override { return input_; }
  std::string label() const override { return label_; }
  bool changed() const override;
  std::string build(const std::filesystem::path& out) override;
  void verify(const std::filesystem::path& written) override;

private:
  const InputFile& input_;
  std::string label_;
  const HiveMount& mount_;
  const sim::Registry& registry_;
};

// The read-back check of a written hive: it opens, it loads (Select\Current
// names a control set that is there) and it holds what `expected` holds
// below the mount key. Throws Error naming the first difference.
void verifyWrittenHive(const std::filesystem::path& file, HiveKind kind,
                       const sim::Registry& expected, const std::string& mountPath);

}  // namespace image
