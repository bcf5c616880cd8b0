#include "sqlite/table_scan.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <exception>
#include <numeric>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "sqlite/text_codes.h"
#include "velmora/interruption.h"
#include "velmora/page_advice.h"

namespace velmora::sqlite_io {

namespace {

// Rows looked at to estimate a request's share of the table: enough for a share within a few per cent.
constexpr std::int64_t SAMPLE_ROWS = 2048;
// Below this many rowids a scan saves too little to be worth the estimate.
constexpr std::int64_t MIN_SCAN_ROWIDS = 1 << 16;
// Room reserved beyond a factor's estimated rows, so that the estimate's error never makes a buffer grow by
// copying; room never written takes no memory.
constexpr double RESERVE_MARGIN = 1.5;

std::string lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// The rows of one factor found in one part of the scan.
struct FactorRows {
  std::vector<std::int32_t> ids;    // codes into the part's instruments, -1 for a missing one
  std::vector<std::int32_t> dates;  // codes into the part's dates
  // The values while every one is a REAL, as plain doubles that the parts' rows can be joined by appending;
  // the first value of another kind moves them into `values`, which keeps each cell's kind.
  std::vector<double> reals;
  bool only_reals = true;
  ColumnBuilder values;

  void append_value_cell(sqlite3_value* cell) {
    if (only_reals && sqlite3_value_type(cell) == SQLITE_FLOAT) {
      reals.push_back(sqlite3_value_double(cell));
      return;
    }
    if (only_reals) {
      for (double real : reals) values.append_double(real);
      reals = {};
      only_reals = false;
    }
    append_value(values, cell);
  }
};

// The dates of one part, each decided once: a date's code among the selected dates, or that the range leaves
// it out. Codes are given in order of first selected appearance, so that no date outside the range enters
// the dictionary.
class SelectedDates {
 public:
  explicit SelectedDates(const DateRange& range) : range_(range) {}

  // The date's code, or -1 when it lies outside the range.
  std::int32_t code(std::string_view date) {
    const auto seen = static_cast<std::size_t>(seen_.code(date));
    if (seen == selected_.size()) {
      const bool inside = (!range_.start || date >= *range_.start) && (!range_.end || date <= *range_.end);
      selected_.push_back(inside ? UNDECIDED : OUTSIDE);
    }
    std::int32_t& code = selected_[seen];
    if (code == UNDECIDED) {
      code = static_cast<std::int32_t>(texts_.size());
      texts_.emplace_back(date);
    }
    return code;
  }
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  static constexpr std::int32_t OUTSIDE = -1;
  static constexpr std::int32_t UNDECIDED = -2;
  const DateRange& range_;
  TextCodes seen_;
  std::vector<std::int32_t> selected_;  // by code among every date seen
  std::vector<std::string> texts_;
};

struct PartScan {
  explicit PartScan(const DateRange& range) : dates(range) {}
  TextCodes ids;
  SelectedDates dates;
  std::vector<FactorRows> factors;
  bool exact = true;  // false once a row turns up that a scan cannot place as the index read would
};

// A requested name's position. Rows come in a repeating order of factors (one factor after another, or
// every factor of an instrument and day in turn), so the name that followed the previous row's factor last
// time is tried before the hash table.
class NameIndex {
 public:
  explicit NameIndex(const std::vector<std::string>& names)
      : names_(names), successor_(names.size() + 1, names.size()) {
    for (std::size_t i = 0; i < names.size(); ++i) position_.emplace(names[i], i);
  }
  // The position of `name`, or names.size() for a name that was not requested.
  std::size_t find(std::string_view name) {
    std::size_t& expected = successor_[previous_];
    if (expected == names_.size() || names_[expected] != name) {
      auto found = position_.find(name);
      expected = found == position_.end() ? names_.size() : found->second;
    }
    previous_ = expected;
    return expected;
  }

 private:
  const std::vector<std::string>& names_;
  std::unordered_map<std::string_view, std::size_t> position_;
  std::vector<std::size_t> successor_;  // by position, names.size() for "not requested"
  std::size_t previous_ = 0;
};

// Whether the range's comparisons select a row whose date is not a text: SQLite orders NULL before
// numbers, numbers before texts and texts before BLOBs, and NULL matches no comparison.
bool selects_untyped_date(int type, const DateRange& range) {
  if (type == SQLITE_NULL) return !range.start && !range.end;
  if (type == SQLITE_BLOB) return !range.end;
  return !range.start;  // a number
}

// Steps through the rowids [first_rowid, last_rowid] and keeps the rows of the requested factors in the
// range. The selection is made here rather than in SQL: a hash probe and two text comparisons per row cost
// less than SQLite's IN lookup, and rows of other factors are never decoded beyond their factor.
void scan_part(sqlite3* db, const std::filesystem::path& path, const std::vector<std::string>& names,
               const DateRange& range, std::int64_t first_rowid, std::int64_t last_rowid,
               const std::vector<std::size_t>& reserve, PartScan& out) {
  out.factors.resize(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    FactorRows& rows = out.factors[i];
    reserve_advised(rows.ids, reserve[i]);
    reserve_advised(rows.dates, reserve[i]);
    reserve_advised(rows.reals, reserve[i]);
    rows.values.reserve(reserve[i]);
  }
  // The rowid bounds walk the table itself; NOT INDEXED keeps the planner off the (factor, date) index.
  Statement statement = prepare(db, path,
                                "SELECT factor, date, order_book_id, value FROM factor_values NOT INDEXED "
                                "WHERE rowid >= ? AND rowid <= ? ORDER BY rowid");
  sqlite3_bind_int64(statement.get(), 1, first_rowid);
  sqlite3_bind_int64(statement.get(), 2, last_rowid);
  sqlite3_stmt* row = statement.get();

  NameIndex index(names);
  int code;
  for (std::uint32_t step = 0; (code = sqlite3_step(row)) == SQLITE_ROW; ++step) {
    // A pass over a large table takes many seconds: an interruption is honoured every 65,536 rows.
    if ((step & 0xFFFF) == 0) throw_if_interrupted();
    // Cells are read as values: one call per cell instead of one per question asked of it.
    sqlite3_value* factor_cell = sqlite3_column_value(row, 0);
    if (sqlite3_value_type(factor_cell) != SQLITE_TEXT) continue;  // no text name equals it
    const std::size_t factor = index.find(text_of(factor_cell));
    if (factor == names.size()) continue;
    sqlite3_value* date_cell = sqlite3_column_value(row, 1);
    if (int type = sqlite3_value_type(date_cell); type != SQLITE_TEXT) {
      if (!selects_untyped_date(type, range)) continue;
      out.exact = false;
      return;
    }
    const std::int32_t date = out.dates.code(text_of(date_cell));
    if (date < 0) continue;

    FactorRows& rows = out.factors[factor];
    sqlite3_value* id_cell = sqlite3_column_value(row, 2);
    switch (sqlite3_value_type(id_cell)) {
      case SQLITE_NULL:
        rows.ids.push_back(-1);
        break;
      case SQLITE_TEXT:
      case SQLITE_BLOB:
        rows.ids.push_back(out.ids.code(text_of(id_cell)));
        break;
      default:  // a number among the instrument texts: a variant column in the index read
        out.exact = false;
        return;
    }
    rows.dates.push_back(date);
    rows.append_value_cell(sqlite3_column_value(row, 3));
  }
  if (code != SQLITE_DONE) fail(path, std::string("query failed: ") + sqlite3_errmsg(db));
}

bool all_missing(const Column& column) {
  if (column.type() == ColumnType::text) {
    auto codes = column.text_codes();
    return std::all_of(codes.begin(), codes.end(), [](std::int32_t code) { return code < 0; });
  }
  if (column.type() == ColumnType::variant) return false;
  auto valid = column.validity();
  return !valid.empty() && std::all_of(valid.begin(), valid.end(), [](std::uint8_t present) { return !present; });
}

Column missing_column(ColumnType type, std::size_t rows) {
  switch (type) {
    case ColumnType::int64:
      return Column::int64(std::vector<std::int64_t>(rows, 0), std::vector<std::uint8_t>(rows, 0));
    case ColumnType::datetime:
      return Column::datetime(std::vector<std::int64_t>(rows, 0), std::vector<std::uint8_t>(rows, 0));
    case ColumnType::text:
      return Column::text(std::vector<std::int32_t>(rows, -1), {});
    default:
      return Column::float64(std::vector<double>(rows, NAN), std::vector<std::uint8_t>(rows, 0));
  }
}

Column as_float64(const Column& column) {
  auto integers = column.int64_values();
  std::vector<double> values(integers.begin(), integers.end());
  auto valid = column.validity();
  std::vector<std::uint8_t> mask(valid.begin(), valid.end());
  for (std::size_t row = 0; row < mask.size(); ++row)
    if (!mask[row]) values[row] = NAN;
  return Column::float64(std::move(values), std::move(mask));
}

// Consecutive parts of one column as one column of the kind one builder fed every row would have chosen;
// nothing when that builder would have mixed kinds (a variant column).
std::optional<Column> unify(const std::vector<Column>& parts) {
  std::optional<ColumnType> kind;
  bool floats = false, integers = false;
  std::size_t rows = 0;
  for (const Column& part : parts) {
    rows += part.size();
    if (part.size() == 0 || all_missing(part)) continue;  // missing cells fit every kind
    ColumnType type = part.type();
    if (type == ColumnType::variant) return std::nullopt;
    floats |= type == ColumnType::float64;
    integers |= type == ColumnType::int64;
    if (type == ColumnType::int64) type = ColumnType::float64;  // compared as numbers below
    if (kind && *kind != type) return std::nullopt;
    kind = type;
  }
  // Only missing cells: a float64 column of NaN, as a builder fed no value makes it (also for instruments).
  if (!kind) return missing_column(ColumnType::float64, rows);
  const ColumnType target = *kind == ColumnType::float64 && !floats && integers ? ColumnType::int64 : *kind;
  std::vector<Column> same;
  for (const Column& part : parts) {
    if (part.size() == 0) continue;
    if (all_missing(part)) same.push_back(missing_column(target, part.size()));
    else if (part.type() == ColumnType::int64 && target == ColumnType::float64) same.push_back(as_float64(part));
    else same.push_back(part);
  }
  if (same.empty()) return missing_column(target, rows);
  return Column::concat(same);
}

// Row positions that put the rows in ascending date order, keeping the order of rows of one date; empty
// when they are in that order already.
std::vector<std::size_t> date_order(const Column& dates) {
  const std::vector<std::string>& dictionary = dates.dictionary();
  std::vector<std::int32_t> by_text(dictionary.size());
  std::iota(by_text.begin(), by_text.end(), 0);
  std::sort(by_text.begin(), by_text.end(), [&](std::int32_t a, std::int32_t b) {
    return dictionary[static_cast<std::size_t>(a)] < dictionary[static_cast<std::size_t>(b)];
  });
  std::vector<std::size_t> rank(dictionary.size());
  for (std::size_t r = 0; r < by_text.size(); ++r) rank[static_cast<std::size_t>(by_text[r])] = r;

  auto codes = dates.text_codes();
  bool sorted = true;
  for (std::size_t row = 1; row < codes.size() && sorted; ++row)
    sorted = rank[static_cast<std::size_t>(codes[row - 1])] <= rank[static_cast<std::size_t>(codes[row])];
  if (sorted) return {};

  // A stable counting sort by date rank.
  std::vector<std::size_t> start(dictionary.size() + 1, 0);
  for (std::int32_t code : codes) ++start[rank[static_cast<std::size_t>(code)] + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<std::size_t> positions(codes.size());
  for (std::size_t row = 0; row < codes.size(); ++row) positions[start[rank[static_cast<std::size_t>(codes[row])]]++] = row;
  return positions;
}

// One dictionary for the texts of every part (the first part's texts first, so that its codes stay), and
// for each part the code of each of its texts in it.
struct JoinedTexts {
  std::vector<std::string> texts;
  std::vector<std::vector<std::int32_t>> code_of;  // by part, by the part's own code

  explicit JoinedTexts(const std::vector<const std::vector<std::string>*>& parts) {
    std::unordered_map<std::string_view, std::int32_t> joined;
    std::size_t total = 0;
    for (const auto* part : parts) total += part->size();
    texts.reserve(total);  // no reallocation: the map's keys view these strings
    for (const auto* part : parts) {
      std::vector<std::int32_t>& codes = code_of.emplace_back();
      codes.reserve(part->size());
      for (const std::string& text : *part) {
        auto [found, added] = joined.try_emplace(text, static_cast<std::int32_t>(texts.size()));
        if (added) found = joined.find(texts.emplace_back(text));
        codes.push_back(found->second);
      }
    }
  }
};

void append_codes(std::vector<std::int32_t>& joined, const std::vector<std::int32_t>& part,
                  const std::vector<std::int32_t>& code_of) {
  joined.reserve(joined.size() + part.size());
  for (std::int32_t code : part) joined.push_back(code < 0 ? -1 : code_of[static_cast<std::size_t>(code)]);
}

// The parts' rows of one factor, in the index read's order, as the table the index read gives.
QueryTable factor_table(Column ids, Column dates, Column values) {
  std::vector<std::size_t> order = date_order(dates);
  std::vector<std::pair<std::string, Column>> columns;
  columns.reserve(3);
  columns.emplace_back("order_book_id", order.empty() ? std::move(ids) : ids.take(order));
  columns.emplace_back("date", order.empty() ? std::move(dates) : dates.take(order));
  columns.emplace_back("value", order.empty() ? std::move(values) : values.take(order));
  return QueryTable(std::move(columns));
}

// The rows of factor `f` from every part as one table in the index read's order (an empty table when no
// part has any); nothing when the parts cannot be joined into the columns one read would give. Releases
// the parts' rows of that factor.
//
// Where every value is a REAL, the later parts' rows are appended to the first part's buffers, whose room
// was reserved for the whole factor: the first part's rows are never copied.
std::optional<QueryTable> join_factor(std::vector<PartScan>& scans, const JoinedTexts& ids,
                                      const JoinedTexts& dates, std::size_t f) {
  const bool only_reals =
      std::all_of(scans.begin(), scans.end(), [f](const PartScan& part) { return part.factors[f].only_reals; });
  if (!only_reals) {
    std::vector<Column> id_parts, date_parts, value_parts;
    for (auto& part : scans) {
      FactorRows& rows = part.factors[f];
      id_parts.push_back(Column::text(std::move(rows.ids), part.ids.texts()));
      date_parts.push_back(Column::text(std::move(rows.dates), part.dates.texts()));
      value_parts.push_back(rows.only_reals ? Column::float64(std::move(rows.reals)) : rows.values.finish());
      rows = FactorRows();
    }
    std::optional<Column> id_column = unify(id_parts), date_column = unify(date_parts),
                          value_column = unify(value_parts);
    if (!id_column || !date_column || !value_column) return std::nullopt;
    if (date_column->size() == 0) return QueryTable();
    return factor_table(std::move(*id_column), std::move(*date_column), std::move(*value_column));
  }

  FactorRows& first = scans.front().factors[f];
  for (std::size_t p = 1; p < scans.size(); ++p) {
    FactorRows& rows = scans[p].factors[f];
    append_codes(first.ids, rows.ids, ids.code_of[p]);
    append_codes(first.dates, rows.dates, dates.code_of[p]);
    first.reals.insert(first.reals.end(), rows.reals.begin(), rows.reals.end());
    rows = FactorRows();
  }
  const std::size_t count = first.dates.size();
  if (count == 0) return QueryTable();
  // Instruments that are all missing make the column a builder fed no value makes, as a single read would.
  const bool no_instrument =
      std::all_of(first.ids.begin(), first.ids.end(), [](std::int32_t code) { return code < 0; });
  Column id_column = no_instrument ? missing_column(ColumnType::float64, count)
                                   : Column::text(std::move(first.ids), ids.texts);
  Column date_column = Column::text(std::move(first.dates), dates.texts);
  Column value_column = Column::float64(std::move(first.reals));
  first = FactorRows();
  return factor_table(std::move(id_column), std::move(date_column), std::move(value_column));
}

}  // namespace

TableTraits table_traits(sqlite3* db, const std::filesystem::path& path) {
  TableTraits traits;
  Statement declaration = prepare(db, path, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'factor_values'");
  if (sqlite3_step(declaration.get()) == SQLITE_ROW)
    traits.byte_order = lowercase(text_of(sqlite3_column_value(declaration.get(), 0))).find("collate") == std::string::npos;
  Statement columns = prepare(db, path, "SELECT type FROM pragma_table_info('factor_values') WHERE name = 'factor'");
  if (sqlite3_step(columns.get()) == SQLITE_ROW) {
    // SQLite's affinity rule: a declared type containing one of these is text.
    std::string type = lowercase(text_of(sqlite3_column_value(columns.get(), 0)));
    bool integer = type.find("int") != std::string::npos;
    traits.text_factors = !integer && (type.find("char") != std::string::npos || type.find("clob") != std::string::npos ||
                                       type.find("text") != std::string::npos);
  }
  return traits;
}

std::optional<Selection> estimate_selection(sqlite3* db, const std::filesystem::path& path,
                                            const std::vector<std::string>& names, const DateRange& range,
                                            bool any_size) {
  Selection selection;
  {
    // Two subqueries: SQLite answers a lone min() or max() of the rowid with one seek, but both in one
    // query with a pass over the whole table.
    Statement bounds = prepare(db, path,
                               "SELECT (SELECT min(rowid) FROM factor_values), (SELECT max(rowid) FROM factor_values)");
    if (sqlite3_step(bounds.get()) != SQLITE_ROW || sqlite3_column_type(bounds.get(), 0) == SQLITE_NULL) return std::nullopt;
    selection.first_rowid = sqlite3_column_int64(bounds.get(), 0);
    selection.last_rowid = sqlite3_column_int64(bounds.get(), 1);
  }
  const std::int64_t span = selection.last_rowid - selection.first_rowid + 1;
  if (span < MIN_SCAN_ROWIDS && !any_size) return std::nullopt;

  NameIndex index(names);
  std::vector<std::int64_t> hits(names.size(), 0);
  std::int64_t sampled = 0, selected = 0;
  Statement probe = prepare(db, path, "SELECT factor, date FROM factor_values WHERE rowid >= ? ORDER BY rowid LIMIT 1");
  for (std::int64_t i = 0; i < SAMPLE_ROWS; ++i) {
    sqlite3_bind_int64(probe.get(), 1, selection.first_rowid + span * i / SAMPLE_ROWS);
    if (sqlite3_step(probe.get()) == SQLITE_ROW) {
      ++sampled;
      std::size_t factor = names.size();
      if (sqlite3_column_type(probe.get(), 0) == SQLITE_TEXT) factor = index.find(text_of(sqlite3_column_value(probe.get(), 0)));
      bool dated = sqlite3_column_type(probe.get(), 1) == SQLITE_TEXT;
      std::string_view date = dated ? text_of(sqlite3_column_value(probe.get(), 1)) : std::string_view();
      bool in_range = dated && (!range.start || date >= *range.start) && (!range.end || date <= *range.end);
      if (factor < names.size() && in_range) {
        ++selected;
        ++hits[factor];
      }
    }
    sqlite3_reset(probe.get());
  }
  if (sampled == 0) return std::nullopt;
  selection.share = static_cast<double>(selected) / static_cast<double>(sampled);
  for (std::int64_t hit : hits)
    selection.rows_of_name.push_back(static_cast<double>(hit) / static_cast<double>(sampled) * static_cast<double>(span));
  return selection;
}

bool scan_factors(sqlite3* db, std::vector<Database>& readers, const std::filesystem::path& path, std::size_t parts,
                  const std::vector<std::string>& names, const DateRange& range, const Selection& selection,
                  const std::function<void(const std::string& name, QueryTable piece)>& consume) {
  parts = std::max<std::size_t>(1, parts);
  while (readers.size() + 1 < parts) readers.push_back(open_reader(path));
  // The first part reserves room for every row of a factor, since the other parts' rows are appended to its
  // own when the parts are joined; room never written takes no memory.
  std::vector<std::size_t> reserve_first, reserve_other;
  for (double rows : selection.rows_of_name) {
    reserve_first.push_back(static_cast<std::size_t>(rows * RESERVE_MARGIN));
    reserve_other.push_back(static_cast<std::size_t>(rows * RESERVE_MARGIN / static_cast<double>(parts)));
  }

  // Part i scans the i-th of `parts` equal stretches of the rowid range; the first part starts below it and
  // the last runs to the end of the table, taking rows added since the estimate.
  const std::int64_t span = selection.last_rowid - selection.first_rowid + 1;
  std::vector<PartScan> scans;
  scans.reserve(parts);
  for (std::size_t i = 0; i < parts; ++i) scans.emplace_back(range);
  std::vector<std::exception_ptr> failures(parts);
  auto scan = [&](std::size_t i) {
    try {
      std::int64_t first = selection.first_rowid + span * static_cast<std::int64_t>(i) / static_cast<std::int64_t>(parts);
      std::int64_t last = i + 1 == parts ? INT64_MAX
                                         : selection.first_rowid + span * static_cast<std::int64_t>(i + 1) /
                                                                       static_cast<std::int64_t>(parts) - 1;
      if (i == 0) first = INT64_MIN;
      scan_part(i == 0 ? db : readers[i - 1].get(), path, names, range, first, last,
                i == 0 ? reserve_first : reserve_other, scans[i]);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t i = 1; i < parts; ++i) workers.emplace_back(scan, i);
  scan(0);
  for (auto& worker : workers) worker.join();
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
  for (const auto& part : scans)
    if (!part.exact) return false;

  // Every factor's parts as single columns in the index read's order, all checked before any piece is handed
  // over. Factors are joined on as many threads as the scan had, each thread one factor at a time: joining
  // copies a factor's rows while its parts are held, and the scan's rows are the most memory a build holds.
  std::vector<const std::vector<std::string>*> id_parts, date_parts;
  for (const PartScan& part : scans) {
    id_parts.push_back(&part.ids.texts());
    date_parts.push_back(&part.dates.texts());
  }
  const JoinedTexts id_texts(id_parts), date_texts(date_parts);
  std::vector<std::optional<QueryTable>> pieces(names.size());
  std::atomic<std::size_t> next_factor = 0;
  std::atomic<bool> joinable = true;
  auto join = [&](std::size_t worker) {
    try {
      for (std::size_t f = next_factor++; f < names.size() && joinable; f = next_factor++) {
        std::optional<QueryTable> piece = join_factor(scans, id_texts, date_texts, f);
        if (!piece) joinable = false;
        else if (piece->num_rows() > 0) pieces[f] = std::move(piece);
      }
    } catch (...) {
      failures[worker] = std::current_exception();
    }
  };
  workers.clear();
  for (std::size_t i = 1; i < parts; ++i) workers.emplace_back(join, i);
  join(0);
  for (auto& worker : workers) worker.join();
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
  if (!joinable) return false;
  scans.clear();

  for (std::size_t f = 0; f < names.size(); ++f) {
    if (!pieces[f]) continue;
    QueryTable piece = std::move(*pieces[f]);
    pieces[f].reset();
    consume(names[f], std::move(piece));
  }
  return true;
}

QueryTable with_factor_column(const QueryTable& piece, const std::string& name, ZeroCodes& zeros) {
  std::vector<std::pair<std::string, Column>> columns;
  for (const auto& [column_name, column] : piece.columns()) {
    if (column_name == "value") columns.emplace_back("factor", Column::text(zeros.take(piece.num_rows()), {name}));
    columns.emplace_back(column_name, column);
  }
  return QueryTable(std::move(columns));
}

std::optional<QueryTable> join_pieces(std::vector<QueryTable> pieces) {
  if (pieces.empty()) return std::nullopt;
  if (pieces.size() == 1) return std::move(pieces.front());
  std::vector<std::pair<std::string, Column>> columns;
  for (const std::string& name : pieces.front().column_names()) {
    std::vector<Column> parts;
    for (const QueryTable& piece : pieces) parts.push_back(piece.column(name));
    std::optional<Column> column = unify(parts);
    if (!column) return std::nullopt;
    columns.emplace_back(name, std::move(*column));
  }
  return QueryTable(std::move(columns));
}

}  // namespace velmora::sqlite_io
