#include "DatImage.h"

#include <libcreg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "DatRead.h"
#include "ImageText.h"
#include "Machine.h"
#include "TreeCompare.h"

namespace image {

namespace {

using text::upper;

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what) {
  throw Error(file, what);
}

// libcreg's handles, each freed through its own call.
struct FileFree {
  void operator()(libcreg_file_t* file) const noexcept {
    libcreg_file_close(file, nullptr);
    libcreg_file_free(&file, nullptr);
  }
};
struct KeyFree {
  void operator()(libcreg_key_t* key) const noexcept { libcreg_key_free(&key, nullptr); }
};
struct ValueFree {
  void operator()(libcreg_value_t* value) const noexcept { libcreg_value_free(&value, nullptr); }
};
using CregFile = std::unique_ptr<libcreg_file_t, FileFree>;
using CregKey = std::unique_ptr<libcreg_key_t, KeyFree>;
using CregValue = std::unique_ptr<libcreg_value_t, ValueFree>;

// Collects libcreg's error for one call and turns it into an Error.
class Call {
public:
  explicit Call(const std::filesystem::path& file) : file_(file) {}
  ~Call() { reset(); }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  libcreg_error_t** out() {
    reset();
    return &error_;
  }
  // `result` is libcreg's return: -1 on error.
  int check(int result, const char* what) {
    if (result != -1) return result;
    char text[512] = {};
    if (error_) libcreg_error_sprint(error_, text, sizeof text);
    std::string message(text);
    const auto newline = message.find('\n');
    if (newline != std::string::npos) message.resize(newline);
    fail(file_, std::string("libcreg cannot read ") + what +
                    (message.empty() ? std::string() : " (" + message + ")"));
  }

private:
  const std::filesystem::path& file_;
  libcreg_error_t* error_ = nullptr;
  void reset() {
    if (error_) libcreg_error_free(&error_);
    error_ = nullptr;
  }
};

CregFile openCreg(const std::filesystem::path& file, int codepage) {
  Call call(file);
  libcreg_file_t* raw = nullptr;
  call.check(libcreg_file_initialize(&raw, call.out()), "the file");
  // Owned from here, so that an error below closes it.
  CregFile creg(raw);
  if (libcreg_file_set_ascii_codepage(creg.get(), codepage, call.out()) != 1)
    fail(file, "code page " + std::to_string(codepage) + " is not one libcreg knows");
  call.check(libcreg_file_open(creg.get(), file.c_str(), LIBCREG_OPEN_READ, call.out()),
             "the file");
  return creg;
}

// A name as libcreg gives it: the file's bytes and a terminating NUL.
template <typename Object, typename SizeFn, typename NameFn>
std::string rawName(Object* object, Call& call, SizeFn sizeOf, NameFn nameOf) {
  std::size_t size = 0;
  call.check(sizeOf(object, &size, call.out()), "a name");
  if (size == 0) return {};
  std::string name(size, '\0');
  call.check(nameOf(object, reinterpret_cast<std::uint8_t*>(name.data()), size, call.out()),
             "a name");
  if (!name.empty() && name.back() == '\0') name.pop_back();
  return name;
}

class Loader {
public:
  Loader(sim::Registry& registry, const std::filesystem::path& file, DatMount& mount)
      : registry_(registry), call_(file), mount_(mount) {}

  void key(libcreg_key_t* key, sim::Registry::Node& node) {
    ++mount_.keys;
    int values = 0;
    call_.check(libcreg_key_get_number_of_values(key, &values, call_.out()), "a value count");
    for (int i = 0; i < values; ++i) {
      libcreg_value_t* raw = nullptr;
      call_.check(libcreg_key_get_value_by_index(key, i, &raw, call_.out()), "a value");
      CregValue value(raw);
      const std::string name =
          rawName(value.get(), call_, libcreg_value_get_name_size, libcreg_value_get_name);
      std::uint32_t type = 0;
      call_.check(libcreg_value_get_value_type(value.get(), &type, call_.out()), "a value type");
      std::size_t size = 0;
      call_.check(libcreg_value_get_value_data_size(value.get(), &size, call_.out()), "value data");
      data_.resize(size);
      if (size != 0)
        call_.check(libcreg_value_get_value_data(value.get(), data_.data(), size, call_.out()),
                    "value data");
      registry_.setValue(node, name, type, data_);
      ++mount_.values;
    }
    int subkeys = 0;
    call_.check(libcreg_key_get_number_of_sub_keys(key, &subkeys, call_.out()), "a subkey count");
    for (int i = 0; i < subkeys; ++i) {
      libcreg_key_t* raw = nullptr;
      call_.check(libcreg_key_get_sub_key_by_index(key, i, &raw, call_.out()), "a subkey");
      CregKey child(raw);
      const std::string name =
          rawName(child.get(), call_, libcreg_key_get_name_size, libcreg_key_get_name);
      this->key(child.get(), registry_.makeChild(node, name));
    }
  }

private:
  sim::Registry& registry_;
  Call call_;
  DatMount& mount_;
  std::vector<std::uint8_t> data_;
};

bool sameData(std::uint32_t type, std::span<const std::uint8_t> a,
              std::span<const std::uint8_t> b) {
  return std::ranges::equal(dat::storedData(type, a), dat::storedData(type, b));
}

bool sameValue(const dat::ValueBytes& present, const sim::Value& wanted) {
  return present.type == wanted.type && present.name == wanted.name &&
         sameData(wanted.type, present.data, wanted.data);
}

// Makes the edited file hold what the registry holds below the mount path.
class Syncer {
public:
  Syncer(const sim::Registry& registry, dat::Editor& editor, const DatMount& mount)
      : registry_(registry), editor_(editor), mount_(mount) {}

  void sync(dat::Editor::Key key, const std::string& path) {
    syncValues(key, path);
    std::map<std::string, std::string> wanted;  // upper-case name -> stored name
    for (std::string& name : registry_.subkeyNames(path)) wanted.emplace(upper(name), name);
    for (dat::Editor::Key child : editor_.children(key)) {
      auto it = wanted.find(upper(editor_.name(child)));
      if (it == wanted.end() || it->second != editor_.name(child)) {
        // A key gone, or deleted and made again in another case: the new
        // case is the name it takes.
        editor_.removeKey(child);
        ++diff_.keysDeleted;
        continue;
      }
      sync(child, path + '\\' + it->second);
      wanted.erase(it);
    }
    for (const auto& [upperName, name] : wanted) add(key, path, name);
  }

  const ImageDiff& diff() const { return diff_; }

private:
  const sim::Registry& registry_;
  dat::Editor& editor_;
  const DatMount& mount_;
  ImageDiff diff_;

  void syncValues(dat::Editor::Key key, const std::string& path) {
    const std::vector<sim::Value> wanted = registry_.values(path);
    if (key == editor_.root()) {
      if (!wanted.empty())
        fail(mount_.file, "values on " + path + " itself cannot be kept in the file");
      return;
    }
    const std::vector<dat::ValueBytes> present = editor_.values(key);
    bool same = wanted.size() == present.size();
    for (std::size_t i = 0; same && i < wanted.size(); ++i) same = sameValue(present[i], wanted[i]);
    if (same) return;
    ++diff_.valueListsChanged;
    std::vector<dat::ValueBytes> next;
    next.reserve(wanted.size());
    for (const sim::Value& value : wanted) {
      const auto data = dat::storedData(value.type, value.data);
      dat::ValueBytes bytes{value.name, value.type, {data.begin(), data.end()}};
      for (const dat::ValueBytes& old : present)
        if (sameValue(old, value)) bytes.reserved = old.reserved;  // kept as found
      next.push_back(std::move(bytes));
    }
    editor_.setValues(key, next);
  }

  void add(dat::Editor::Key parent, const std::string& parentPath, const std::string& name) {
    ++diff_.keysAdded;
    const std::string path = parentPath + '\\' + name;
    const dat::Editor::Key key = editor_.addKey(parent, name);
    syncValues(key, path);
    for (const std::string& child : registry_.subkeyNames(path)) add(key, path, child);
  }
};

}  // namespace

bool looksLikeDat(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  char signature[4] = {};
  in.read(signature, sizeof signature);
  return in.gcount() == 4 && std::memcmp(signature, "CREG", 4) == 0;
}

std::string datVersionNumber(const std::filesystem::path& file, int codepage) {
  return datVersionNumber(readDat(file, codepage));
}

std::string datVersionNumber(const DatMount& mount) {
  const dat::Tree tree(mount.bytes);
  const dat::Charset charset = dat::Charset::forCodePage(mount.codepage);
  dat::Tree::Key key = tree.root();
  for (std::string_view name : {"Software", "Microsoft", "Windows", "CurrentVersion"})
    if (key != dat::Tree::kNone) key = tree.child(key, name, charset);
  if (key == dat::Tree::kNone) return {};
  std::string text;
  tree.forEachValue(key, [&](const dat::Tree::Value& value) {
    if (platform::names::equalNoCase(value.name, "VersionNumber", charset))
      text.assign(value.data.begin(), value.data.end());
  });
  return text.substr(0, text.find('\0'));
}

std::optional<std::string> osForVersionNumber(const std::string& version) {
  if (version.starts_with("4.00")) return "win95";
  if (version.starts_with("4.10")) return "win98";
  if (version.starts_with("4.90")) return "winme";
  return std::nullopt;
}

DatMount readDat(const std::filesystem::path& file, int codepage) {
  DatMount mount;
  mount.file = file;
  mount.codepage = codepage;
  if (!dat::Charset::known(codepage))
    fail(file, "code page " + std::to_string(codepage) + " is not an ANSI code page of Windows");
  try {
    mount.bytes = dat::readFile(file);
    mount.summary = dat::check(mount.bytes, dat::Charset::forCodePage(codepage));
  } catch (const Error& e) {
    fail(file, e.what());
  }
  return mount;
}

DatMount loadDat(sim::Registry& registry, const std::filesystem::path& file, int codepage) {
  DatMount mount = readDat(file, codepage);
  loadDat(registry, mount);
  return mount;
}

void loadDat(sim::Registry& registry, DatMount& mount) {
  // The simulated Windows compares names in the file's code page.
  platform::names::ansi() = dat::Charset::forCodePage(mount.codepage);
  const dat::Loaded loaded =
      dat::load(dat::Tree(mount.bytes), registry, registry.makeKey(mount.mountPath));
  mount.keys = loaded.keys;
  mount.values = loaded.values;
}

namespace {

// libcreg, the reader independent of ours, for reading written files back.
void loadDatWithLibcreg(sim::Registry& registry, DatMount& mount) {
  const std::filesystem::path& file = mount.file;
  mount.keys = mount.values = 0;
  CregFile creg = openCreg(file, mount.codepage);
  Call call(file);
  libcreg_key_t* rawRoot = nullptr;
  if (call.check(libcreg_file_get_root_key(creg.get(), &rawRoot, call.out()), "the root key") != 1)
    fail(file, "libcreg finds no root key");
  CregKey root(rawRoot);
  Loader(registry, file, mount).key(root.get(), registry.makeKey(mount.mountPath));
}

}  // namespace

std::vector<std::uint8_t> newDatBytes(const sim::Registry& registry, const DatMount& mount,
                                      ImageDiff* diff) {
  try {
    // The mount's bytes passed the check when they were read.
    dat::Editor editor(mount.bytes, dat::Charset::forCodePage(mount.codepage), mount.summary);
    Syncer syncer(registry, editor, mount);
    syncer.sync(editor.root(), mount.mountPath);
    if (diff) *diff = syncer.diff();
    std::vector<std::uint8_t> bytes = editor.take();
    if (!syncer.diff().empty()) dat::check(bytes, dat::Charset::forCodePage(mount.codepage));
    return bytes;
  } catch (const Error& e) {
    const std::string what = e.what();
    if (what.starts_with(mount.file.string() + ": ")) throw;
    fail(mount.file, "cannot be written back: " + what);
  }
}

namespace {

void writeNewBytes(const std::vector<std::uint8_t>& bytes, const std::filesystem::path& out) {
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  errno = 0;
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.flush();
  if (!file)
    throw Error(out, std::string("cannot be written (") +
                         (errno != 0 ? std::strerror(errno) : "unknown error") + ")");
}

}  // namespace

ImageDiff writeDat(const sim::Registry& registry, const DatMount& mount,
                   const std::filesystem::path& out) {
  ImageDiff diff;
  writeNewBytes(newDatBytes(registry, mount, &diff), out);
  // Read back by libcreg, the reader independent of ours.
  verifyDat(out, registry, mount);
  return diff;
}

void verifyDat(const std::filesystem::path& file, const sim::Registry& expected,
               const DatMount& mount) {
  sim::Machine fresh;
  DatMount written = readDat(file, mount.codepage);
  loadDatWithLibcreg(fresh.registry, written);
  // The file keeps a key's values in the order written, and a REG_SZ as
  // Windows stores it (storedData).
  CompareRules rules;
  rules.sameData = sameData;
  rules.valueOrder = true;
  if (const auto difference = firstDifference(expected, fresh.registry, mount.mountPath, rules))
    fail(file, "does not read back as the registry: " + *difference);
}

namespace {

// Whether the registry below the mount path holds what the file holds, as the
// editor would compare them, read without a copy of the file: a run that
// changes nothing needs no new bytes.
bool sameAsFile(const sim::Registry& registry, const DatMount& mount) {
  const dat::Tree tree(mount.bytes);
  std::vector<std::pair<dat::Tree::Key, std::string>> pending{{tree.root(), mount.mountPath}};
  while (!pending.empty()) {
    const auto [key, path] = std::move(pending.back());
    pending.pop_back();
    const std::vector<sim::Value> wanted = registry.values(path);
    std::size_t count = 0;
    bool same = true;
    if (key != tree.root())
      tree.forEachValue(key, [&](const dat::Tree::Value& value) {
        same = same && count < wanted.size() && wanted[count].name == value.name &&
               wanted[count].type == value.type &&
               sameData(value.type, value.data, wanted[count].data);
        ++count;
      });
    if (!same || count != wanted.size()) return false;
    std::unordered_map<std::string, std::string> names;  // upper-case name -> stored name
    for (std::string& name : registry.subkeyNames(path)) names.emplace(upper(name), name);
    count = 0;
    for (dat::Tree::Key child = tree.firstChild(key); child != dat::Tree::kNone;
         child = tree.nextSibling(child), ++count) {
      const auto it = names.find(upper(tree.name(child)));
      if (it == names.end() || it->second != tree.name(child)) return false;
      pending.emplace_back(child, path + '\\' + it->second);
    }
    if (count != names.size()) return false;
  }
  return true;
}

}  // namespace

const DatImageFile::Next& DatImageFile::next() const {
  if (!next_) {
    next_.emplace();
    if (!sameAsFile(registry_, mount_)) next_->bytes = newDatBytes(registry_, mount_, &next_->diff);
  }
  return *next_;
}

std::string DatImageFile::build(const std::filesystem::path& out) {
  writeNewBytes(next().bytes, out);
  return describe(next().diff);
}

void DatImageFile::verify(const std::filesystem::path& written) {
  try {
    verifyDat(written, registry_, mount_);
  } catch (const Error& e) {
    // The written file has no name of its own yet: the error is told about
    // the file it was to replace.
    const std::string what = e.file() == written ? e.detail() : std::string(e.what());
    throw Error(input_.given(), "the new file does not read back (" + what + "); nothing written");
  }
}

}  // namespace image
