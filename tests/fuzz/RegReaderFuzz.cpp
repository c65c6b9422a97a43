// Coverage-guided fuzzing of the .reg image reader: any bytes are either
// refused with an image::Error or read into a registry that writes back to an
// image which reads to the same keys and values. The same bytes are read
// again into the code page of a CREG file (1251, or 932 by the last byte),
// where Unicode text is converted and what the code page lacks refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Machine.h"
#include "NameCompare.h"
#include "RegFile.h"

namespace {

std::string listing(const sim::Registry& registry) {
  std::string text;
  registry.forEachKey([&](const sim::KeySnapshot& key) {
    text += key.path;
    text += '\n';
    for (const sim::Value& value : key.values) {
      text += "  ";
      text += value.name;
      text += ':';
      text += std::to_string(value.type);
      text += ':';
      text.append(value.data.begin(), value.data.end());
      text += '\n';
    }
  });
  return text;
}

// Read in a CREG file's code page: refused or read, and in a single-byte code
// page read back alike from the REGEDIT4 image a CREG file is exported to.
void readInCodePage(const std::string& bytes, int codepage) {
  using platform::names::Charset;
  platform::names::ansi() = Charset::forCodePage(codepage);
  sim::Machine first;
  try {
    image::applyRegText(first.registry, bytes, "fuzz.reg");
  } catch (const image::Error&) {
    platform::names::ansi() = {};
    return;
  }
  if (!platform::names::ansi().doubleByte()) {
    sim::Machine second;
    image::applyRegText(second.registry, image::writeRegText(first.registry), "round-trip.reg");
    if (listing(first.registry) != listing(second.registry)) std::abort();
  }
  platform::names::ansi() = {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  readInCodePage(bytes, size > 0 && data[size - 1] % 2 ? 932 : 1251);
  sim::Machine first;
  try {
    image::applyRegText(first.registry, bytes, "fuzz.reg");
  } catch (const image::Error&) {
    return 0;
  }
  // What was read survives a round trip through both formats.
  for (image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    const std::string image = image::writeRegText(first.registry, format);
    sim::Machine second;
    image::applyRegText(second.registry, image, "round-trip.reg");
    if (listing(first.registry) != listing(second.registry)) std::abort();
  }
  return 0;
}
