#include "CallNames.h"

#include <algorithm>
#include <utility>

#include "SimText.h"

namespace sim {

std::optional<CallId> findCall(std::string_view name) {
  for (std::size_t i = 0; i < kCallNames.size(); ++i)
    if (kCallNames[i] == name) return CallId{static_cast<std::uint8_t>(i)};
  return std::nullopt;
}

namespace {

std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = text::upperChar(a[i - 1]) == text::upperChar(b[j - 1]);
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::vector<std::string_view> nearestCalls(std::string_view name, std::size_t count) {
  std::vector<std::pair<std::size_t, std::string_view>> ranked;
  ranked.reserve(kCallNames.size());
  for (std::string_view known : kCallNames) ranked.emplace_back(editDistance(name, known), known);
  // Ties keep the table's order, so the answer does not depend on the sort.
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < ranked.size() && i < count; ++i) out.push_back(ranked[i].second);
  return out;
}

}  // namespace sim
