// Codes for the texts of a table scan: a text is recognised by every one of its bytes, at every length the
// short-text keys treat differently (below 4, 4 to 7, 8 to 16) and beyond them.

#include "sqlite/text_codes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace velmora::sqlite_io {
namespace {

// Every text of length 0 to 20 made of 'a' with one byte changed to 'b' at each position: texts that agree
// on their first and last bytes and differ only inside.
std::vector<std::string> texts_differing_at_one_byte() {
  std::vector<std::string> texts;
  for (std::size_t length = 0; length <= 20; ++length) {
    texts.emplace_back(length, 'a');
    for (std::size_t position = 0; position < length; ++position) {
      std::string text(length, 'a');
      text[position] = 'b';
      texts.push_back(text);
    }
  }
  return texts;
}

TEST(TextCodes, DistinctTextsGetDistinctCodesAndRepeatsTheFirstCodeAtEveryLength) {
  TextCodes codes;
  std::map<std::string, std::int32_t> first_code;
  const std::vector<std::string> texts = texts_differing_at_one_byte();
  // Twice over, each text also right after itself, so that repeats meet both the previous-text check and
  // the table.
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& text : texts) {
      for (int repeat = 0; repeat < 2; ++repeat) {
        std::int32_t code = codes.code(text);
        auto [found, inserted] = first_code.emplace(text, code);
        EXPECT_EQ(found->second, code) << "'" << text << "'";
      }
    }
  }
  ASSERT_EQ(codes.texts().size(), first_code.size());
  for (const auto& [text, code] : first_code) EXPECT_EQ(codes.texts()[static_cast<std::size_t>(code)], text);
}

TEST(TextCodes, TextsWithZeroBytesAndTheTableGrowingKeepTheirCodes) {
  TextCodes codes;
  // A zero byte inside must not read as the end, nor as the padding of a shorter text.
  const std::string with_zero("ab\0", 3), shorter("ab");
  EXPECT_NE(codes.code(with_zero), codes.code(shorter));
  // Enough instrument-like texts to grow the table several times.
  std::vector<std::int32_t> given;
  for (int i = 0; i < 5000; ++i) given.push_back(codes.code(std::to_string(100000 + i) + ".XSHE"));
  for (int i = 4999; i >= 0; --i)
    EXPECT_EQ(codes.code(std::to_string(100000 + i) + ".XSHE"), given[static_cast<std::size_t>(i)]);
  EXPECT_EQ(codes.texts().size(), 5002u);
}

}  // namespace
}  // namespace velmora::sqlite_io
