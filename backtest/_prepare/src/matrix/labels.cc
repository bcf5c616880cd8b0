#include "velmora/backtest/labels.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace velmora::backtest {

// The label → position index, built once on first lookup and shared by every copy of the labels.
struct Labels::Index {
  std::once_flag built;
  std::unordered_map<std::string_view, std::size_t> positions;
};

namespace {
const std::shared_ptr<const std::vector<std::string>>& empty_names() {
  static const auto names = std::make_shared<const std::vector<std::string>>();
  return names;
}
}  // namespace

Labels::Labels() : names_(empty_names()), index_(std::make_shared<Index>()) {}

Labels::Labels(std::vector<std::string> names)
    : names_(std::make_shared<const std::vector<std::string>>(std::move(names))),
      index_(std::make_shared<Index>()) {}

Labels::Labels(std::initializer_list<std::string> names) : Labels(std::vector<std::string>(names)) {}

std::optional<std::size_t> Labels::position(std::string_view label) const {
  std::call_once(index_->built, [this] {
    index_->positions.reserve(names_->size());
    for (std::size_t i = 0; i < names_->size(); ++i) index_->positions.emplace((*names_)[i], i);
  });
  auto found = index_->positions.find(label);
  if (found == index_->positions.end()) return std::nullopt;
  return found->second;
}

bool Labels::operator==(const Labels& other) const {
  return names_ == other.names_ || *names_ == *other.names_;
}

bool Labels::is_sorted() const {
  return std::adjacent_find(names_->begin(), names_->end(),
                            [](const std::string& a, const std::string& b) { return !(a < b); }) ==
         names_->end();
}

}  // namespace velmora::backtest
