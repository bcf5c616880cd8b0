#pragma once

// A map that iterates in insertion order, as every map of the builder and the store does (factor name →
// matrix, dataset key → matrix, benchmark name → series). Assigning to a key that is present replaces the
// value in place and keeps the key's position. Lookup is by hash; the maps are small (tens of entries).

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmora::backtest {

template <typename V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  using iterator = typename std::vector<value_type>::iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> entries) {
    for (const auto& [key, value] : entries) set(key, value);
  }

  // Inserts at the end, or replaces the value of a present key in place.
  void set(const std::string& key, V value) {
    if (auto found = index_.find(key); found != index_.end()) {
      entries_[found->second].second = std::move(value);
      return;
    }
    index_.emplace(key, entries_.size());
    entries_.emplace_back(key, std::move(value));
  }

  bool contains(const std::string& key) const { return index_.count(key) != 0; }

  // The value of `key`, or null when absent.
  const V* find(const std::string& key) const {
    auto found = index_.find(key);
    return found == index_.end() ? nullptr : &entries_[found->second].second;
  }
  V* find(const std::string& key) {
    auto found = index_.find(key);
    return found == index_.end() ? nullptr : &entries_[found->second].second;
  }

  // REQUIRES: contains(key).
  const V& at(const std::string& key) const { return entries_[index_.at(key)].second; }

  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& entry : entries_) out.push_back(entry.first);
    return out;
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

 private:
  std::vector<value_type> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace velmora::backtest
