// Coverage-guided fuzzing of the CREG check, reader and editor: any bytes are
// either refused with an image::Error or pass the check, in a single-byte and in
// a double-byte code page, and then load through our reader; unless the
// editor refuses the file's layout, each edit (deleting a key, changing a
// key's values, adding a key, growing the file when it must) gives bytes
// that pass the check again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DatFile.h"
#include "DatRead.h"
#include "Machine.h"

namespace {

using image::dat::Charset;

void mustPass(const std::vector<std::uint8_t>& bytes, const Charset& charset) {
  try {
    image::dat::check(bytes, charset);
  } catch (const image::Error&) {
    std::abort();
  }
}

// Checks and loads the bytes in the code page; whether they passed.
bool checkAndLoad(const std::vector<std::uint8_t>& bytes, const Charset& charset,
                  image::dat::Summary& summary) {
  try {
    summary = image::dat::check(bytes, charset);
  } catch (const image::Error&) {
    return false;
  }
  platform::names::ansi() = charset;
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  const image::dat::Loaded loaded =
      image::dat::load(image::dat::Tree(bytes), registry, registry.makeKey("HKEY_LOCAL_MACHINE"));
  platform::names::ansi() = {};
  // Siblings of one name are damage: every key the check counted is loaded.
  if (loaded.keys != summary.keys || loaded.values != summary.values) std::abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  // The last byte (in a free record of a sound file) picks the code page.
  const Charset charset = Charset::forCodePage(size > 0 && data[size - 1] % 2 ? 932 : 1252);
  image::dat::Summary summary;
  image::dat::Summary other;
  checkAndLoad(bytes, Charset::forCodePage(936), other);
  if (!checkAndLoad(bytes, charset, summary) || !image::dat::notWritable(summary).empty()) return 0;
  image::dat::Editor editor(bytes, charset);
  const image::dat::Editor::Key root = editor.root();
  const std::vector<image::dat::Editor::Key> top = editor.children(root);
  try {
    if (top.size() > 1) {
      editor.removeKey(top.back());
      mustPass(editor.bytes(), charset);
    }
    if (!top.empty()) {
      std::vector<image::dat::ValueBytes> values = editor.values(top.front());
      if (!values.empty()) values.erase(values.begin());
      mustPass(editor.bytes(), charset);
      values.push_back({"Fuzz", 3, std::vector<std::uint8_t>(size % 3000, 0x5A)});
      editor.setValues(top.front(), values);
      mustPass(editor.bytes(), charset);
    }
    // In code page 932 a name whose trail byte is '\'.
    const image::dat::Editor::Key added =
        editor.addKey(root, charset.doubleByte() ? "QV Fuzz \x95\x5C" : "QV Fuzz");
    editor.setValues(added, {{"", 1, {'x', 0}}});
    mustPass(editor.bytes(), charset);
  } catch (const image::Error&) {
    return 0;  // what the format cannot hold, refused
  }
  return 0;
}
