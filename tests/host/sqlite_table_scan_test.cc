// A pass over the whole factor table in storage order must answer exactly what the read through the
// (factor, date) index answers: the same rows in the same order with the same cell kinds. Every test here
// reads one database file through a service that always scans and one that never does, and compares.

#include <gtest/gtest.h>

#include <set>

#include "support/interruption_scope.h"
#include "support/sqlite_fixture.h"
#include "support/table_compare.h"
#include "support/temp_dir.h"
#include "velmora/interruption.h"
#include "velmora/sample_database.h"
#include "velmora/sqlite_factor_service.h"

namespace velmora {
namespace {

using testing::expect_same_answer;
using testing::expect_same_table;
using testing::same_value;
using Strings = std::vector<std::string>;
using Bound = std::optional<std::string>;

struct Range {
  Bound start, end;
  std::string label() const { return start.value_or("open") + ".." + end.value_or("open"); }
};

// Closed, open at either end, open at both, and a closed range in the compact spelling that cuts a day
// from either end of the sample.
const std::vector<Range> RANGES = {{"2024-01-10", "2024-01-31"},
                                   {std::nullopt, "20240120"},
                                   {"2024-01-22", std::nullopt},
                                   {std::nullopt, std::nullopt},
                                   {"20240103", "20240209"}};

// A sample database in the given layout, with rows a real table collects added over it: later duplicates
// with other values, NULL values and instruments, integers among doubles, a factor of integers only, one
// of texts only, one that is NULL in the first third of the file and integers in the last, one whose
// instruments are all NULL, a name that sorts after every ASCII name, rows outside the sample's dates, and
// a factor never asked for. The changes are made in place as well as appended, so that they lie in every
// rowid range of a split pass.
std::filesystem::path odd_sample(const std::filesystem::path& path, RowLayout layout) {
  SampleOptions options;
  options.instruments = 40;
  options.days = 30;
  options.start = "20240102";
  options.layout = layout;
  write_sample_database(path, options);
  testing::execute_sql(path, R"sql(
    BEGIN;
    INSERT INTO factor_values SELECT factor, order_book_id, date, value + 1000 FROM factor_values WHERE rowid % 97 = 3;
    UPDATE factor_values SET value = NULL WHERE rowid % 89 = 5;
    UPDATE factor_values SET value = CAST(value AS INTEGER) WHERE factor = 'Close' AND rowid % 7 = 0;
    UPDATE factor_values SET factor = 'Lots', value = rowid % 13 WHERE rowid % 53 = 1;
    UPDATE factor_values SET factor = 'Rating', value = CASE rowid % 3 WHEN 0 THEN 'A' WHEN 1 THEN 'B' ELSE 'C' END
      WHERE rowid % 59 = 2;
    UPDATE factor_values SET factor = 'Sparse', value = NULL
      WHERE rowid % 61 = 0 AND rowid < (SELECT max(rowid) FROM factor_values) / 3;
    UPDATE factor_values SET factor = 'Sparse', value = rowid
      WHERE rowid % 61 = 0 AND rowid > (SELECT max(rowid) FROM factor_values) * 2 / 3;
    UPDATE factor_values SET factor = 'Anonymous', order_book_id = NULL WHERE rowid % 73 = 8;
    UPDATE factor_values SET factor = 'Ωmega' WHERE rowid % 67 = 4;
    UPDATE factor_values SET order_book_id = NULL WHERE rowid % 71 = 6;
    INSERT INTO factor_values VALUES ('Close', '000001.XSHE', '2023-12-01', 1.5),
                                     ('Close', '000001.XSHE', '2025-06-30', 2.5),
                                     ('Lots', '000001.XSHE', '2023-12-01', 7);
    INSERT INTO factor_values SELECT 'Unrequested', order_book_id, date, value FROM factor_values WHERE rowid % 11 = 0;
    INSERT INTO factor_values SELECT factor, order_book_id, date, -value FROM factor_values WHERE rowid % 83 = 1;
    COMMIT;)sql");
  return path;
}

// Every factor stored, except the one never asked for, and a name without rows.
Strings requested_names(const std::filesystem::path& path) {
  Strings names;
  for (const auto& row : testing::query_rows(path, "SELECT DISTINCT factor FROM factor_values WHERE factor != 'Unrequested'"))
    names.push_back(std::get<std::string>(row[0]));
  names.push_back("Missing");
  return names;
}

std::string layout_name(RowLayout layout) { return layout == RowLayout::by_date ? "by_date" : "by_factor"; }

std::string joined(const Strings& names) {
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += ",";
    text += name;
  }
  return text;
}

// The pieces of get_factors_by_factor checked against the whole answer of the index read: taken one after
// the other they hold its rows, cell for cell (each piece chooses its own kinds, so numbers compare as
// numbers); no factor is split over two pieces. With `one_factor_each`, every piece holds one factor and
// the pieces come in the byte order of the names, each equal to a one-name batch read of its factor.
void expect_pieces_of(FactorService& service, SqliteFactorService& index, const Strings& names, const Range& range,
                      bool one_factor_each, const std::string& context) {
  std::vector<QueryTable> pieces;
  service.get_factors_by_factor(names, range.start, range.end, [&](QueryTable piece) { pieces.push_back(std::move(piece)); });
  std::optional<QueryTable> whole = index.get_factors(names, range.start, range.end);
  if (!whole) {
    EXPECT_TRUE(pieces.empty()) << context;
    return;
  }
  std::size_t row = 0;
  std::set<std::string> seen;
  std::string previous;
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    const QueryTable& piece = pieces[p];
    ASSERT_EQ(piece.column_names(), whole->column_names()) << context;
    ASSERT_GT(piece.num_rows(), 0u) << context << " piece " << p;
    std::set<std::string> in_piece;
    for (std::size_t r = 0; r < piece.num_rows(); ++r) in_piece.insert(std::get<std::string>(piece.column("factor").cell(r)));
    for (const auto& factor : in_piece) EXPECT_TRUE(seen.insert(factor).second) << context << " " << factor << " split";
    if (one_factor_each) {
      ASSERT_EQ(in_piece.size(), 1u) << context << " piece " << p;
      const std::string& factor = *in_piece.begin();
      if (p > 0) {
        EXPECT_LT(previous, factor) << context;
      }
      previous = factor;
      auto alone = index.get_factors(Strings{factor}, range.start, range.end);
      ASSERT_TRUE(alone) << context;
      expect_same_table(piece, *alone, context + " piece " + factor);
    }
    ASSERT_LE(row + piece.num_rows(), whole->num_rows()) << context;
    for (const auto& column : whole->column_names()) {
      for (std::size_t r = 0; r < piece.num_rows(); ++r) {
        ASSERT_TRUE(same_value(piece.column(column).cell(r), whole->column(column).cell(row + r)))
            << context << " column " << column << " row " << row + r;
      }
    }
    row += piece.num_rows();
  }
  EXPECT_EQ(row, whole->num_rows()) << context;
}

class TableScanSampleTest : public ::testing::TestWithParam<RowLayout> {
 protected:
  testing::TempDir dir_;
};

TEST_P(TableScanSampleTest, ScanAndIndexReadsGiveTheSameAnswerForEveryRequestAndRange) {
  auto path = odd_sample(dir_ / "factors.db", GetParam());
  const Strings all = requested_names(path);
  ASSERT_GE(all.size(), 15u);
  const std::vector<Strings> batches = {all, {"Ωmega", "Close", "Sparse", "Lots", "Missing", "Close", "Anonymous"}};

  SqliteFactorService index(path, 1, TableScan::never);
  for (std::size_t threads : {1u, 3u}) {
    SqliteFactorService scan(path, threads, TableScan::always);
    // The table is far too small for a pass to pay, so this one reads through the index.
    SqliteFactorService automatic(path, threads, TableScan::automatic);
    for (const Range& range : RANGES) {
      const std::string at = layout_name(GetParam()) + " threads " + std::to_string(threads) + " " + range.label();
      for (const Strings& names : batches) {
        auto expected = index.get_factors(names, range.start, range.end);
        ASSERT_TRUE(expected) << at;
        expect_same_answer(scan.get_factors(names, range.start, range.end), expected, at + " batch " + joined(names));
        expect_same_answer(automatic.get_factors(names, range.start, range.end), expected, at + " automatic");
        expect_pieces_of(scan, index, names, range, true, at + " pieces " + joined(names));
        expect_pieces_of(index, index, names, range, true, at + " index pieces");
      }
      for (const auto& name : all) {
        expect_same_answer(scan.get_factors(name, range.start, range.end), index.get_factors(name, range.start, range.end),
                           at + " " + name);
      }
      EXPECT_FALSE(scan.get_factors(std::string("Missing"), range.start, range.end)) << at;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, TableScanSampleTest, ::testing::Values(RowLayout::by_date, RowLayout::by_factor),
                         [](const auto& info) { return layout_name(info.param); });

TEST(TableScanKinds, ColumnsOfMissingCellsOnlyTakeTheKindOfTheIndexRead) {
  testing::TempDir dir;
  // "Anonymous" has no instrument in any row and no value in some; "Nameless" has no instrument but a REAL
  // value in every row; "HalfNamed" gains its instrument halfway, so that a part of a pass may hold only rows
  // without one; "Close" is ordinary.
  std::vector<testing::FactorRow> rows;
  for (int d = 1; d <= 28; ++d) {
    std::string date = std::string(d < 10 ? "2024-01-0" : "2024-01-");
    date += std::to_string(d);
    rows.push_back({"Anonymous", Cell(), date, d % 2 ? Cell() : Cell(std::int64_t{d})});
    rows.push_back({"Close", std::string("000001.XSHE"), date, 10.0 + d});
    rows.push_back({"Gaps", std::string("000001.XSHE"), date, Cell()});
    rows.push_back({"Nameless", Cell(), date, 1.5 * d});
    rows.push_back({"HalfNamed", d <= 14 ? Cell() : Cell(std::string("000002.XSHE")), date, 0.5 * d});
  }
  testing::write_factor_database(dir / "f.db", rows);
  SqliteFactorService index(dir / "f.db", 1, TableScan::never);
  const std::vector<Strings> requests = {{"Anonymous"}, {"Gaps"}, {"Anonymous", "Gaps"}, {"Anonymous", "Close", "Gaps"},
                                         {"Close", "HalfNamed", "Nameless"}};
  for (std::size_t threads : {1u, 3u}) {
    SqliteFactorService scan(dir / "f.db", threads, TableScan::always);
    for (const Range& range : RANGES) {
      const std::string at = "threads " + std::to_string(threads) + " " + range.label();
      for (const Strings& names : requests) {
        expect_same_answer(scan.get_factors(names, range.start, range.end), index.get_factors(names, range.start, range.end),
                           at + " " + joined(names));
        expect_pieces_of(scan, index, names, range, true, at + " pieces " + joined(names));
      }
      for (const char* name : {"Anonymous", "Gaps", "Nameless", "HalfNamed"}) {
        expect_same_answer(scan.get_factors(std::string(name), range.start, range.end),
                           index.get_factors(std::string(name), range.start, range.end), at + " " + name);
      }
    }
  }
}

// Tables a pass cannot read as the index does: the service must notice and read through the index.
struct OddTable {
  const char* label;
  const char* declaration;  // of factor_values
  const char* rows;         // VALUES rows (factor, order_book_id, date, value)
};

const std::vector<OddTable> ODD_TABLES = {
    {"factor names compared without case", "factor TEXT COLLATE NOCASE NOT NULL, order_book_id TEXT, date TEXT, value",
     "('Close', 'a', '2024-01-02', 1.0), ('CLOSE', 'a', '2024-01-02', 2.0), ('close', 'b', '2024-01-03', 3.0), "
     "('Open', 'a', '2024-01-02', 4.0), ('Close', 'b', '2024-01-03', 5.0), ('OPEN', 'a', '2024-01-03', 6.0)"},
    {"factor column without text affinity", "factor NOT NULL, order_book_id TEXT, date TEXT, value",
     "('Close', 'a', '2024-01-03', 1.0), (12, 'a', '2024-01-02', 2.0), ('Open', 'a', '2024-01-02', 4.0), "
     "('Close', 'b', '2024-01-02', 5.0), ('12', 'b', '2024-01-03', 6.0)"},
    {"a NULL date", "factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value",
     "('Close', 'a', '2024-01-03', 1.0), ('Close', 'b', NULL, 2.0), ('Open', 'a', '2024-01-02', 4.0), "
     "('Close', 'b', '2024-01-02', 5.0)"},
    {"an INTEGER date", "factor TEXT NOT NULL, order_book_id TEXT, date, value",
     "('Close', 'a', '2024-01-03', 1.0), ('Close', 'b', 20240102, 2.0), ('Open', 'a', '2024-01-02', 4.0), "
     "('Close', 'b', '2024-01-02', 5.0), ('Open', 'c', 20240101.5, 6.0)"},
    {"a BLOB date", "factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value",
     "('Close', 'a', '2024-01-03', 1.0), ('Close', 'b', CAST('2024-01-02' AS BLOB), 2.0), "
     "('Open', 'a', '2024-01-02', 4.0), ('Close', 'b', '2024-01-02', 5.0)"},
    {"an INTEGER instrument", "factor TEXT NOT NULL, order_book_id, date TEXT, value",
     "('Close', 'a', '2024-01-03', 1.0), ('Close', 600000, '2024-01-02', 2.0), ('Open', 'a', '2024-01-02', 4.0), "
     "('Close', 'b', '2024-01-02', 5.0)"},
    {"value kinds that differ between factors", "factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value",
     "('Ints', 'a', '2024-01-03', 1), ('Doubles', 'a', '2024-01-02', 2.5), ('Texts', 'a', '2024-01-02', 'x'), "
     "('Ints', 'b', '2024-01-02', 3), ('Doubles', 'b', '2024-01-03', NULL), ('Texts', 'b', '2024-01-03', 'y')"},
    {"texts beside numbers in one factor", "factor TEXT NOT NULL, order_book_id TEXT, date TEXT, value",
     "('Close', 'a', '2024-01-03', 1.0), ('Close', 'b', '2024-01-02', 'n/a'), ('Open', 'a', '2024-01-02', 4), "
     "('Close', 'b', '2024-01-02', 5)"},
};

TEST(TableScanFallback, TablesAPassCannotReadExactlyAreAnsweredAsTheIndexReadsThem) {
  testing::TempDir dir;
  const std::vector<Range> ranges = {{std::nullopt, std::nullopt}, {"2024-01-02", "2024-01-03"},
                                     {std::nullopt, "2024-01-02"}, {"2024-01-03", std::nullopt}};
  int file = 0;
  for (const OddTable& table : ODD_TABLES) {
    auto path = dir / ("odd" + std::to_string(++file) + ".db");
    std::string sql = "CREATE TABLE factor_values (";
    sql += table.declaration;
    sql += "); INSERT INTO factor_values VALUES ";
    sql += table.rows;
    sql += "; CREATE INDEX factor_values_factor_date ON factor_values(factor, date);";
    testing::execute_sql(path, sql, true);
    Strings names;
    for (const auto& row : testing::query_rows(path, "SELECT DISTINCT CAST(factor AS TEXT) FROM factor_values"))
      names.push_back(std::get<std::string>(row[0]));

    SqliteFactorService index(path, 1, TableScan::never);
    for (std::size_t threads : {1u, 3u}) {
      SqliteFactorService scan(path, threads, TableScan::always);
      for (const Range& range : ranges) {
        const std::string at = std::string(table.label) + " threads " + std::to_string(threads) + " " + range.label();
        expect_same_answer(scan.get_factors(names, range.start, range.end),
                           index.get_factors(names, range.start, range.end), at + " batch");
        for (const auto& name : names)
          expect_same_answer(scan.get_factors(name, range.start, range.end), index.get_factors(name, range.start, range.end),
                             at + " " + name);
        expect_pieces_of(scan, index, names, range, false, at + " pieces");
        expect_pieces_of(index, index, names, range, false, at + " index pieces");
      }
    }
  }
}

class ReadAheadTest : public ::testing::Test {
 protected:
  ReadAheadTest() : path_(odd_sample(dir_ / "factors.db", RowLayout::by_date)), names_(requested_names(path_)) {}

  // Every name read on its own through `service` over `range` equals the index read.
  void expect_single_reads(SqliteFactorService& service, const Range& range, const std::string& context) {
    for (const auto& name : names_)
      expect_same_answer(service.get_factors(name, range.start, range.end), index_.get_factors(name, range.start, range.end),
                         context + " " + name);
  }

  testing::TempDir dir_;
  std::filesystem::path path_;
  Strings names_;
  SqliteFactorService index_{path_, 1, TableScan::never};
};

TEST_F(ReadAheadTest, ReadsAfterAReadAheadAnswerAsWithoutIt) {
  for (std::size_t threads : {1u, 3u}) {
    SqliteFactorService scan(path_, threads, TableScan::always);
    const std::string at = "threads " + std::to_string(threads);
    // Announced in the compact spelling, read in the dashed one: the same range.
    scan.read_ahead(names_, "20240110", "20240131");
    const Range range{"2024-01-10", "2024-01-31"};
    expect_single_reads(scan, range, at + " first reads");
    EXPECT_FALSE(scan.get_factors(std::string("Missing"), range.start, range.end));
    expect_single_reads(scan, range, at + " second reads");
    expect_single_reads(scan, {"2024-01-11", "2024-01-31"}, at + " another range");

    scan.read_ahead(names_, std::nullopt, std::nullopt);
    expect_single_reads(scan, {"2024-01-10", std::nullopt}, at + " a range not read ahead");
    expect_same_answer(scan.get_factors(names_, std::nullopt, std::nullopt),
                       index_.get_factors(names_, std::nullopt, std::nullopt), at + " a batch");
    scan.forget_read_ahead();
    expect_single_reads(scan, {}, at + " after forgetting");
  }
}

TEST_F(ReadAheadTest, EachNameIsAnsweredFromTheReadAheadOnceThenReadAfresh) {
  SqliteFactorService scan(path_, 2, TableScan::always);
  scan.read_ahead({"Close", "Open"}, std::nullopt, std::nullopt);
  auto close_before = index_.get_factors(std::string("Close"), std::nullopt, std::nullopt);
  auto open_before = index_.get_factors(std::string("Open"), std::nullopt, std::nullopt);
  testing::execute_sql(path_, "INSERT INTO factor_values VALUES ('Close', '000001.XSHE', '2024-01-05', 99.5), "
                              "('Open', '000001.XSHE', '2024-01-05', 98.5)");
  auto close_after = index_.get_factors(std::string("Close"), std::nullopt, std::nullopt);
  ASSERT_EQ(close_after->num_rows(), close_before->num_rows() + 1);

  // The first read of a name is what was read ahead; the next one reads the table as it is now.
  expect_same_answer(scan.get_factors(std::string("Close"), std::nullopt, std::nullopt), close_before, "first Close");
  expect_same_answer(scan.get_factors(std::string("Close"), std::nullopt, std::nullopt), close_after, "second Close");
  // Forgetting drops what was not yet asked for.
  scan.forget_read_ahead();
  expect_same_answer(scan.get_factors(std::string("Open"), std::nullopt, std::nullopt),
                     index_.get_factors(std::string("Open"), std::nullopt, std::nullopt), "Open after forgetting");
  EXPECT_EQ(scan.get_factors(std::string("Open"), std::nullopt, std::nullopt)->num_rows(), open_before->num_rows() + 1);
}

TEST_F(ReadAheadTest, ATableTooSmallForAPassAnswersAsWithoutAReadAhead) {
  SqliteFactorService automatic(path_, 3, TableScan::automatic);
  automatic.read_ahead(names_, "2024-01-10", "2024-01-31");
  expect_single_reads(automatic, {"2024-01-10", "2024-01-31"}, "automatic");
  automatic.forget_read_ahead();
  expect_single_reads(automatic, {"2024-01-10", "2024-01-31"}, "automatic after forgetting");
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST(TableScanInterruption, APassStopsWithInterruptedErrorAndAnswersAgainOnceCleared) {
  testing::TempDir dir;
  std::vector<testing::FactorRow> rows;
  for (int d = 10; d <= 28; ++d)
    rows.push_back({"Close", std::string("000001.XSHE"), "2024-01-" + std::to_string(d), 1.0 * d});
  testing::write_factor_database(dir / "f.db", rows);
  for (std::size_t threads : {1u, 2u}) {
    SqliteFactorService scan(dir / "f.db", threads, TableScan::always);
    {
      testing::InterruptionScope interrupted;
      EXPECT_THROW(scan.get_factors(std::string("Close"), std::nullopt, std::nullopt), InterruptedError);
      EXPECT_THROW(scan.get_factors_by_factor({"Close"}, std::nullopt, std::nullopt, [](QueryTable) {}),
                   InterruptedError);
    }
    EXPECT_EQ(scan.get_factors(std::string("Close"), std::nullopt, std::nullopt)->num_rows(), rows.size());
  }
}

}  // namespace
}  // namespace velmora
