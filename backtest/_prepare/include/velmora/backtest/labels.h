#pragma once

// An immutable, shared list of unique text labels: the row labels (dates "YYYYMMDD") or column labels
// (instrument keys) of a WideMatrix. Copies are O(1) and share the list. A position index (label → position)
// is built on first use and shared by all copies, so aligning two matrices hashes each label list once.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/backtest/prepare_export.h"

namespace velmora::backtest {

class VELMORA_PREPARE_EXPORT Labels {
 public:
  Labels();
  // REQUIRES: the names are unique.
  explicit Labels(std::vector<std::string> names);
  Labels(std::initializer_list<std::string> names);

  std::size_t size() const { return names_->size(); }
  bool empty() const { return names_->empty(); }
  const std::string& operator[](std::size_t i) const { return (*names_)[i]; }
  const std::vector<std::string>& names() const { return *names_; }
  auto begin() const { return names_->begin(); }
  auto end() const { return names_->end(); }

  // Position of `label`, or nothing when absent.
  std::optional<std::size_t> position(std::string_view label) const;

  // True when both hold the same labels in the same order; O(1) when they share storage.
  bool operator==(const Labels& other) const;

  // True when the labels are in strictly ascending string order.
  bool is_sorted() const;

 private:
  struct Index;
  std::shared_ptr<const std::vector<std::string>> names_;
  std::shared_ptr<Index> index_;
};

}  // namespace velmora::backtest
