#pragma once

// The codes of a factor column, all 0: the one name of a piece repeated on every row. A build takes one
// piece per factor, each with such a column, and drops it once converted; fresh memory for every column
// costs a page fault per page (on virtual machines, the larger part of handing a piece over). The buffer
// of a dropped column comes back here and serves the next one, which only zeroes the rows it adds.
//
// Thread-safe; columns may be dropped on any thread, and may outlive the pool's owner.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::sqlite_io {

class ZeroCodes {
 public:
  ZeroCodes() : pool_(std::make_shared<Pool>()) {}

  // `rows` codes of 0, unchanged for as long as the answer lives.
  std::shared_ptr<const std::vector<std::int32_t>> take(std::size_t rows) {
    std::unique_ptr<std::vector<std::int32_t>> codes;
    {
      std::lock_guard lock(pool_->mutex);
      codes = std::move(pool_->spare);
    }
    if (!codes) codes = std::make_unique<std::vector<std::int32_t>>();
    codes->resize(rows, 0);  // every kept code is 0 already
    return {codes.release(), Return{pool_}};
  }

 private:
  struct Pool {
    std::mutex mutex;
    std::unique_ptr<std::vector<std::int32_t>> spare;
  };
  // The deleter of a handed-out buffer: keeps it as the spare (the larger of two), frees the other.
  struct Return {
    std::shared_ptr<Pool> pool;
    void operator()(const std::vector<std::int32_t>* codes) const {
      std::unique_ptr<std::vector<std::int32_t>> back(const_cast<std::vector<std::int32_t>*>(codes));
      std::lock_guard lock(pool->mutex);
      if (!pool->spare || pool->spare->capacity() < back->capacity()) std::swap(pool->spare, back);
    }
  };
  std::shared_ptr<Pool> pool_;
};

}  // namespace velmora::sqlite_io
