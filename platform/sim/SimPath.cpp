#include "SimPath.h"

#include "SimText.h"

namespace sim::path {

const RootKey* findRoot(std::string_view name) {
  for (const RootKey& root : kRootKeys)
    if (text::equalNoCase(name, root.full) || text::equalNoCase(name, root.brief)) return &root;
  return nullptr;
}

std::vector<std::string_view> keyComponents(std::string_view path) {
  // By character: in a double-byte code page a trail byte '\\' is no separator.
  const platform::names::Charset& charset = platform::names::ansi();
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= path.size();) {
    if (at == path.size() || path[at] == '\\') {
      if (at > start) parts.push_back(path.substr(start, at - start));
      start = ++at;
    } else {
      at += charset.charLength(path, at);
    }
  }
  return parts;
}

namespace {

std::optional<std::string> withRoot(std::string_view path, bool full) {
  const std::size_t slash = path.find('\\');
  const RootKey* root = findRoot(path.substr(0, slash));
  if (!root) return std::nullopt;
  std::string out(full ? root->full : root->brief);
  if (slash != std::string_view::npos) out.append(path.substr(slash));
  return out;
}

}  // namespace

std::optional<std::string> fullRootPath(std::string_view path) {
  return withRoot(path, true);
}

std::string briefRootPath(std::string_view path) {
  return withRoot(path, false).value_or(std::string(path));
}

std::string normaliseFilePath(std::string_view path, Case letterCase) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/') c = '\\';
    if (c == '\\' && !out.empty() && out.back() == '\\') continue;
    out += letterCase == Case::Upper ? text::upperChar(c) : c;
  }
  if (out.size() > 1 && out.back() == '\\' && !(out.size() == 3 && out[1] == ':')) out.pop_back();
  return out;
}

}  // namespace sim::path
