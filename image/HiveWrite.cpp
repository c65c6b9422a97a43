#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "HiveImage.h"
#include "HiveNodes.h"
#include "ImageText.h"

namespace image {

using namespace hivenodes;

namespace {

// Compares the hive below a node with the registry below a path and makes
// the hive, open for writing in memory, match it. Everything that could stop
// a write shows here, before any file is written: the caller commits only
// when the walk went through.
class Differ {
public:
  Differ(const sim::Registry& registry, const Reader& reader, const HiveMount& mount)
      : registry_(registry), reader_(reader), mount_(mount) {}

  // `narrowedPath`: a name on the way here lost characters to narrowing.
  void sync(hive_node_h node, const std::string& path, bool narrowedPath, std::size_t depth) {
    if (depth > kMaxDepth) reader_.damaged("keys nested deeper than 512 levels at " + shown(path));
    syncValues(node, path, narrowedPath);
    const bool atRoot = path == mount_.mountPath;
    struct Wanted {
      std::string name;      // stored case
      std::string original;  // of the hive key that matched it, in UTF-8
      bool matched = false;
    };
    std::map<std::string, Wanted> wanted;  // by upper-case name
    for (std::string& name : registry_.subkeyNames(path)) {
      std::string key = upper(name);
      wanted.emplace(std::move(key), Wanted{std::move(name), {}, false});
    }
    for (hive_node_h child : reader_.children(node)) {
      Owned<char> original = reader_.originalName(child);
      bool lossy = false;
      std::string name = narrowUtf8(original.get(), lossy);
      if (atRoot && !mount_.currentSet.empty() && equalNoCase(name, mount_.currentSet))
        name = kCurrentControlSet;
      auto it = wanted.find(upper(name));
      if (it == wanted.end()) {
        remove(node, child, path + '\\' + name, narrowedPath || lossy);
        continue;
      }
      if (it->second.matched)
        fail(reader_.file(), shown(path) + " holds the subkeys " + shownUtf8(it->second.original) +
                                 " and " + shownUtf8(original.get()) +
                                 ", one name in 8-bit text; the hive cannot be written back");
      it->second.matched = true;
      it->second.original = original.get();
      sync(child, path + '\\' + it->second.name, narrowedPath || lossy, depth + 1);
    }
    for (const auto& [key, entry] : wanted) {
      if (entry.matched) continue;
      if (atRoot && equalNoCase(entry.name, mount_.currentSet))
        fail(reader_.file(), mount_.currentSet + " is the current control set; change it through " +
                                 kCurrentControlSet);
      add(node, path, entry.name);
    }
  }

  const ImageDiff& diff() const { return diff_; }

private:
  const sim::Registry& registry_;
  const Reader& reader_;
  const HiveMount& mount_;
  ImageDiff diff_;

  // The undo file holds 8-bit text: what it would put back for a name or
  // text that narrowing changed is not what the hive held.
  [[noreturn]] void cannotUndo(const std::string& deleted, const std::string& what) const {
    fail(reader_.file(), "the run deletes " + shown(deleted) +
                             ", and the undo file cannot restore " + what +
                             " (characters outside Latin-1); nothing is written");
  }

  void checkUndoable(const std::string& deleted, const std::string& valuePath,
                     const RawValue& value, bool narrowedPath) const {
    if (narrowedPath) cannotUndo(deleted, "the path of " + shown(valuePath));
    if (value.narrowed) cannotUndo(deleted, "the name of " + shown(valuePath));
    if (!isTextType(value.type)) return;
    bool lossy = false;
    dataForRegistry(value.type, value.data.get(), value.length, &lossy);
    if (lossy) cannotUndo(deleted, "the text of " + shown(valuePath));
  }

  // Every name and text below a key the run deletes must come back from the
  // undo file as the hive held it.
  void checkSubtreeUndoable(const std::string& deleted, hive_node_h node, const std::string& path,
                            bool narrowedPath, std::size_t depth) const {
    if (depth > kMaxDepth) reader_.damaged("keys nested deeper than 512 levels at " + shown(path));
    if (narrowedPath) cannotUndo(deleted, "the name of " + shown(path));
    bool lossy = false;
    for (const RawValue& value : reader_.values(node, lossy))
      checkUndoable(deleted, path + '|' + value.name, value, false);
    for (hive_node_h child : reader_.children(node)) {
      bool narrowed = false;
      const std::string name = reader_.nodeName(child, narrowed);
      checkSubtreeUndoable(deleted, child, path + '\\' + name, narrowed, depth + 1);
    }
  }

  void remove(hive_node_h parent, hive_node_h child, const std::string& path, bool narrowedPath) {
    checkSubtreeUndoable(path, child, path, narrowedPath, 0);
    // hivex unlinks a key from the parent its own record names.
    errno = 0;
    if (hivex_node_parent(reader_.hive(), child) != parent)
      reader_.damaged(shown(path) + " names another key as its parent");
    ++diff_.keysDeleted;
    if (hivex_node_delete_child(reader_.hive(), child) != 0)
      fail(reader_.file(), "cannot delete the key " + shown(path) + " (" + systemError() + ")");
  }

  void syncValues(hive_node_h node, const std::string& path, bool narrowedPath) {
    const std::vector<sim::Value> wanted = registry_.values(path);
    bool lossy = false;
    std::vector<RawValue> present = reader_.values(node, lossy);
    if (lossy) refuseCollisions(present, path);
    // For each wanted value, the present one of that name, and whether it is
    // the same.
    std::vector<const RawValue*> named(wanted.size(), nullptr);
    std::vector<bool> same(wanted.size(), false);
    std::vector<bool> kept(present.size(), false);
    std::size_t matched = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      for (std::size_t k = 0; k < present.size(); ++k) {
        const RawValue& value = present[k];
        if (!equalNoCase(value.name, wanted[i].name)) continue;
        named[i] = &value;
        kept[k] = true;
        same[i] = value.type == wanted[i].type &&
                  dataForRegistry(value.type, value.data.get(), value.length) == wanted[i].data;
        if (same[i]) ++matched;
        break;
      }
    }
    for (std::size_t k = 0; k < present.size(); ++k)
      if (!kept[k])
        checkUndoable(path + '|' + present[k].name, path + '|' + present[k].name, present[k],
                      narrowedPath);
    if (matched == wanted.size() && wanted.size() == present.size()) return;
    ++diff_.valueListsChanged;
    setValues(node, path, wanted, named, same);
  }

  // Two values that narrowing made one: the registry holds only one of them.
  void refuseCollisions(const std::vector<RawValue>& present, const std::string& path) const {
    std::map<std::string, const RawValue*> byName;
    for (const RawValue& value : present) {
      const auto [it, added] = byName.emplace(upper(value.name), &value);
      if (!added)
        fail(reader_.file(), shown(path) + " holds the values " +
                                 shownUtf8(it->second->original.get()) + " and " +
                                 shownUtf8(value.original.get()) +
                                 ", one name in 8-bit text; the hive cannot be written back");
    }
  }

  // Unchanged values keep the hive's bytes, and every value that is in the
  // hive keeps its name as the hive spells it; changed and new ones are
  // encoded from the registry.
  void setValues(hive_node_h node, const std::string& path, const std::vector<sim::Value>& wanted,
                 const std::vector<const RawValue*>& named, const std::vector<bool>& same) {
    std::vector<std::string> names;
    std::vector<std::vector<std::uint8_t>> encoded(wanted.size());
    names.reserve(wanted.size());
    std::vector<hive_set_value> list(wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      names.push_back(named[i] ? std::string(named[i]->original.get())
                               : utf8FromLatin1(wanted[i].name));
      hive_set_value& out = list[i];
      out.key = names.back().data();
      out.t = static_cast<hive_type>(wanted[i].type);
      if (same[i]) {
        out.len = named[i]->length;
        out.value = named[i]->data.get();
      } else {
        encoded[i] = dataForHive(wanted[i]);
        out.len = encoded[i].size();
        out.value = reinterpret_cast<char*>(encoded[i].data());
      }
    }
    if (hivex_node_set_values(reader_.hive(), node, list.size(), list.data(), 0) != 0)
      fail(reader_.file(),
           "cannot write the values of " + shown(path) + " (" + systemError() + ")");
  }

  void add(hive_node_h parent, const std::string& parentPath, const std::string& name) {
    ++diff_.keysAdded;
    const std::string path = parentPath + '\\' + name;
    errno = 0;
    const hive_node_h node =
        hivex_node_add_child(reader_.hive(), parent, utf8FromLatin1(name).c_str());
    if (node == 0)
      fail(reader_.file(), "cannot add the key " + shown(path) + " (" + systemError() + ")");
    const std::vector<sim::Value> values = registry_.values(path);
    if (!values.empty()) {
      ++diff_.valueListsChanged;
      setValues(node, path, values, std::vector<const RawValue*>(values.size(), nullptr),
                std::vector<bool>(values.size(), false));
    }
    for (const std::string& child : registry_.subkeyNames(path)) add(node, path, child);
  }
};

// What the read-back of the new SYSTEM hive would find first: a hive whose
// Select\Current names no control set boots no Windows, and is refused from
// the registry already, so that a preview, which builds nothing, refuses it.
void refuseUnloadable(const sim::Registry& registry, const HiveMount& mount) {
  if (mount.kind != HiveKind::System) return;
  const auto refuse = [&mount](const std::string& why) {
    fail(mount.file, "the new hive would not load: " + why + "; nothing written");
  };
  const std::string select = mount.mountPath + "\\Select";
  if (!registry.keyExists(select))
    refuse("SYSTEM hive without a Select key; no current control set");
  const auto current = registry.value(select, "Current");
  if (!current) refuse("SYSTEM hive without Select\\Current; no current control set");
  if (current->type != REG_DWORD || current->data.size() != 4)
    refuse("Select\\Current is not a REG_DWORD");
  char name[32];
  std::snprintf(name, sizeof name, "ControlSet%03u",
                static_cast<unsigned>(le32(current->data.data())));
  // The set that is current now is the registry's CurrentControlSet.
  const bool isCurrent = equalNoCase(name, mount.currentSet);
  if (!registry.keyExists(mount.mountPath + '\\' + (isCurrent ? kCurrentControlSet : name)))
    refuse(std::string("Select\\Current names ") + name + ", which is missing");
  // Another set made current: read back, it would be CurrentControlSet, and
  // the registry's CurrentControlSet would be a ControlSetNNN of its own.
  if (!isCurrent)
    fail(mount.file, std::string("the new hive would not read back as the registry: "
                                 "Select\\Current names ") +
                         name + " instead of " + mount.currentSet +
                         "; a run does not switch the current control set; nothing written");
}

ImageDiff compare(const sim::Registry& registry, const HiveMount& mount,
                  const std::filesystem::path* out, bool writeWhenUnchanged) {
  if (out && !mount.header.clean())
    fail(mount.file,
         "the hive was not written completely (its sequence numbers differ); it is "
         "not written back");
  if (!registry.keyExists(mount.mountPath)) fail(mount.file, mount.mountPath + " is gone");
  if (!(stampOf(mount.file) == mount.stamp)) fail(mount.file, "the file changed since it was read");
  readHiveHeader(mount.file);

  // Open for writing even for a preview: hivex then changes a copy in
  // memory, and a change that would fail on the file fails here too.
  Hive hive = openHive(mount.file, HIVEX_OPEN_WRITE);
  Reader reader(hive.get(), mount.file);
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) reader.corrupt("the root key");
  Differ differ(registry, reader, mount);
  differ.sync(root, mount.mountPath, false, 1);
  refuseUnloadable(registry, mount);
  if (out && (writeWhenUnchanged || !differ.diff().empty())) {
    errno = 0;
    if (hivex_commit(hive.get(), out->c_str(), 0) != 0)
      fail(*out, "cannot write the hive (" + systemError() + ")");
  }
  return differ.diff();
}

}  // namespace

ImageDiff writeHive(const sim::Registry& registry, const HiveMount& mount,
                    const std::filesystem::path& out, bool writeWhenUnchanged) {
  return compare(registry, mount, &out, writeWhenUnchanged);
}

ImageDiff diffHive(const sim::Registry& registry, const HiveMount& mount) {
  return compare(registry, mount, nullptr, false);
}

void checkWritable(const sim::Registry& registry, const HiveMount& mount) {
  compare(registry, mount, nullptr, false);
}

}  // namespace image
