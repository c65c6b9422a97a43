// Coverage-guided fuzzing of the CREG check and editor: any bytes are either
// refused with an image::Error or pass the check, and then, unless the editor
// refuses the file's layout, each edit (deleting a
// key, changing a key's values, adding a key, growing the file when it must)
// gives bytes that pass the check again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DatFile.h"

namespace {

void mustPass(const std::vector<std::uint8_t>& bytes) {
  try {
    image::dat::check(bytes);
  } catch (const image::Error&) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  try {
    if (!image::dat::notWritable(image::dat::check(bytes)).empty()) return 0;
  } catch (const image::Error&) {
    return 0;
  }
  image::dat::Editor editor(bytes);
  const image::dat::Editor::Key root = editor.root();
  const std::vector<image::dat::Editor::Key> top = editor.children(root);
  try {
    if (top.size() > 1) {
      editor.removeKey(top.back());
      mustPass(editor.bytes());
    }
    if (!top.empty()) {
      std::vector<image::dat::ValueBytes> values = editor.values(top.front());
      if (!values.empty()) values.erase(values.begin());
      mustPass(editor.bytes());
      values.push_back({"Fuzz", 3, std::vector<std::uint8_t>(size % 3000, 0x5A)});
      editor.setValues(top.front(), values);
      mustPass(editor.bytes());
    }
    const image::dat::Editor::Key added = editor.addKey(root, "QV Fuzz");
    editor.setValues(added, {{"", 1, {'x', 0}}});
    mustPass(editor.bytes());
  } catch (const image::Error&) {
    return 0;  // what the format cannot hold, refused
  }
  return 0;
}
