#pragma once

// Dense codes for the texts of one column of a table scan, in order of first appearance. Instrument ids and
// dates repeat millions of times and are short, so a text of up to 16 bytes is recognised by its bytes held
// as two machine words and a length: a repeat of the previous text costs three comparisons, any other text
// a check of the text that followed it last time, then one probe of an open-addressing table; no string is
// built until a text is new. Longer texts go through a map of strings.
//
// Not thread-safe; one per column of one scan.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora::sqlite_io {

class TextCodes {
 public:
  std::int32_t code(std::string_view text) {
    if (text.size() > SHORT_TEXT) return long_code(text);
    const ShortText key = ShortText::of(text);
    if (last_code_ >= 0) {
      if (key == last_key_) return last_code_;
      // Rows come in a repeating order (the same instruments day after day), so the text that followed the
      // previous one last time is tried before the table.
      const auto previous = static_cast<std::size_t>(last_code_);
      const std::int32_t next = successor_[previous];
      if (next >= 0 && keys_[static_cast<std::size_t>(next)] == key) {
        last_code_ = next;
      } else {
        last_code_ = short_code(key, text);  // may add a text, and so move successor_
        successor_[previous] = last_code_;
      }
    } else {
      last_code_ = short_code(key, text);
    }
    last_key_ = key;
    return last_code_;
  }

  // Every text seen, by code.
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  static constexpr std::size_t SHORT_TEXT = 16;

  // A text of at most 16 bytes as its length and words that together hold every byte: the first and the
  // last eight bytes (overlapping below 16), the first and the last four below 8, single bytes below 4.
  // Loads stay inside the text.
  struct ShortText {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::uint32_t size = UINT32_MAX;

    static ShortText of(std::string_view text) {
      ShortText key;
      const char* bytes = text.data();
      const std::size_t n = text.size();
      key.size = static_cast<std::uint32_t>(n);
      if (n >= 8) {
        std::memcpy(&key.head, bytes, 8);
        std::memcpy(&key.tail, bytes + n - 8, 8);
      } else if (n >= 4) {
        std::uint32_t first = 0, last = 0;
        std::memcpy(&first, bytes, 4);
        std::memcpy(&last, bytes + n - 4, 4);
        key.head = first | static_cast<std::uint64_t>(last) << 32;
      } else if (n > 0) {
        key.head = static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[0])) |
                   static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[n / 2])) << 8 |
                   static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[n - 1])) << 16;
      }
      return key;
    }
    std::uint64_t hash() const {
      std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ size) * 0xBF58476D1CE4E5B9ULL;
      return h ^ (h >> 31);
    }
    bool operator==(const ShortText&) const = default;
  };
  struct Slot {
    ShortText key;
    std::int32_t code = -1;
  };

  std::int32_t short_code(const ShortText& key, std::string_view text) {
    if ((short_count_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = key.hash() & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot].code < 0) {
        const std::int32_t code = add(text);
        slots_[slot] = {key, code};
        keys_[static_cast<std::size_t>(code)] = key;
        ++short_count_;
        return code;
      }
      if (slots_[slot].key == key) return slots_[slot].code;
    }
  }

  // Keeps the table at most half full: doubles it and places every entry again.
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(64, old.size() * 2), Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
      if (entry.code < 0) continue;
      std::size_t slot = entry.key.hash() & mask;
      while (slots_[slot].code >= 0) slot = (slot + 1) & mask;
      slots_[slot] = entry;
    }
  }

  std::int32_t long_code(std::string_view text) {
    last_code_ = -1;
    auto found = long_codes_.find(text);
    if (found != long_codes_.end()) return found->second;
    const std::int32_t code = add(text);
    long_codes_.emplace(std::string(text), code);
    return code;
  }

  std::int32_t add(std::string_view text) {
    texts_.emplace_back(text);
    keys_.emplace_back();
    successor_.push_back(-1);
    return static_cast<std::int32_t>(texts_.size() - 1);
  }

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  std::vector<Slot> slots_;
  std::size_t short_count_ = 0;
  std::unordered_map<std::string, std::int32_t, Hash, std::equal_to<>> long_codes_;
  std::vector<std::string> texts_;
  std::vector<ShortText> keys_;          // by code; no text's key for a long text
  std::vector<std::int32_t> successor_;  // by code: the code of the text that followed it last, or -1
  ShortText last_key_;
  std::int32_t last_code_ = -1;
};

}  // namespace velmora::sqlite_io
