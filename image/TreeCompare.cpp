#include "TreeCompare.h"

#include <algorithm>
#include <vector>

#include "ImageText.h"

namespace image {

namespace {

// Two lists sorted by upper-case name part at the first place where they
// differ: a name on one side only, or one name spelt in two ways.
std::string nameDifference(const std::string& what, const std::string* want,
                           const std::string* got) {
  const std::string wantUpper = want ? text::upper(*want) : std::string();
  const std::string gotUpper = got ? text::upper(*got) : std::string();
  if (want && got && wantUpper == gotUpper) return what + *want + " is spelt " + *got;
  if (want && (!got || wantUpper < gotUpper)) return "missing " + what + *want;
  return "unexpected " + what + *got;
}

void sortByName(std::vector<sim::Value>& values) {
  std::vector<std::pair<std::string, sim::Value>> named;
  named.reserve(values.size());
  for (sim::Value& value : values) named.emplace_back(text::upper(value.name), std::move(value));
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = std::move(named[i].second);
}

std::optional<std::string> valuesDiffer(const sim::Registry& expected, const sim::Registry& actual,
                                        const std::string& path, const CompareRules& rules) {
  std::vector<sim::Value> want = expected.values(path);
  std::vector<sim::Value> got = actual.values(path);
  // Values usually come in the same order on both sides; sorting is needed
  // only when they do not.
  bool sameOrder = want.size() == got.size();
  for (std::size_t i = 0; sameOrder && i < want.size(); ++i)
    sameOrder = want[i].name == got[i].name;
  if (!sameOrder) {
    sortByName(want);
    sortByName(got);
  }
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    if (i == want.size() || i == got.size() || want[i].name != got[i].name)
      return nameDifference("value " + path + '|', i < want.size() ? &want[i].name : nullptr,
                            i < got.size() ? &got[i].name : nullptr);
    if (want[i].type != got[i].type)
      return "value " + path + '|' + want[i].name + " has type " + std::to_string(got[i].type) +
             " instead of " + std::to_string(want[i].type);
    if (rules.sameData ? !rules.sameData(want[i].type, want[i].data, got[i].data)
                       : want[i].data != got[i].data)
      return "value " + path + '|' + want[i].name + " has other data";
  }
  if (rules.valueOrder && !sameOrder) return "the values of " + path + " are in another order";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> firstDifference(const sim::Registry& expected,
                                           const sim::Registry& actual, const std::string& path,
                                           const CompareRules& rules) {
  if (!expected.keyExists(path)) return "no key " + path + " to compare with";
  if (!actual.keyExists(path)) return "missing key " + path;
  // An explicit stack: a registry built by hand may be deeper than any image.
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    const std::string key = std::move(pending.back());
    pending.pop_back();
    if (auto difference = valuesDiffer(expected, actual, key, rules)) return difference;
    const std::vector<std::string> want = expected.subkeyNames(key);
    const std::vector<std::string> got = actual.subkeyNames(key);
    // Both lists are sorted the same way, by their upper-case forms.
    for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
      if (i == want.size() || i == got.size() || want[i] != got[i])
        return nameDifference("key " + key + '\\', i < want.size() ? &want[i] : nullptr,
                              i < got.size() ? &got[i] : nullptr);
      pending.push_back(key + '\\' + want[i]);
    }
  }
  return std::nullopt;
}

}  // namespace image
