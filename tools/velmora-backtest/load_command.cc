#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "velmora/backtest/store.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/value.h"

namespace velmora::tool {

namespace {

struct LoadOptions {
  std::string store, start, end, keys, components;
  bool json = false;
};

// Benchmark series are named "benchmark_dict/<name>" in the listing, and --keys selects them by that name,
// by "<name>" alone, or all of them by "benchmark_dict".
const std::string BENCHMARK_PREFIX = std::string(backtest::BENCHMARK_DICT_KEY) + "/";

// One printed row: what a dataset holds, without any path, so that equal stores print equal rows.
Value describe(const std::string& key, const backtest::WideMatrix& m) {
  std::size_t present = m.cell_count();
  if (m.cell_type() == backtest::CellType::float64) {
    present = 0;
    const double* cells = m.float_cells();
    for (std::size_t i = 0; i < m.cell_count(); ++i) present += !std::isnan(cells[i]);
  }
  Value row = Value::object();
  row["key"] = key;
  row["dtype"] = m.cell_type() == backtest::CellType::float64 ? "float64" : "bool";
  row["rows"] = m.rows();
  row["columns"] = m.cols();
  row["first_date"] = m.has_data() ? Value(m.row_labels()[0]) : Value();
  row["last_date"] = m.has_data() ? Value(m.row_labels()[m.rows() - 1]) : Value();
  row["filled"] = m.cell_count() ? static_cast<double>(present) / static_cast<double>(m.cell_count()) : 0.0;
  return row;
}

Value describe(const std::string& key, const backtest::DateSeries& s) {
  Value row = Value::object();
  row["key"] = key;
  row["dtype"] = "float64";
  row["rows"] = s.size();
  row["columns"] = 1;
  row["first_date"] = s.empty() ? Value() : Value(s.dates()[0]);
  row["last_date"] = s.empty() ? Value() : Value(s.dates()[s.size() - 1]);
  std::size_t present = 0;
  for (double v : s.values()) present += !std::isnan(v);
  row["filled"] = s.empty() ? 0.0 : static_cast<double>(present) / static_cast<double>(s.size());
  return row;
}

void print_table(const Value& rows) {
  std::printf("%-48s %-8s %14s  %-8s  %-8s  %7s\n", "dataset", "dtype", "dates x cols", "first", "last", "filled");
  for (const Value& row : rows) {
    std::string shape = std::to_string(row["rows"].get<std::size_t>()) + " x " +
                        std::to_string(row["columns"].get<std::size_t>());
    auto date = [](const Value& v) { return v.is_null() ? std::string("-") : v.get<std::string>(); };
    std::printf("%-48s %-8s %14s  %-8s  %-8s  %6.1f%%\n", row["key"].get<std::string>().c_str(),
                row["dtype"].get<std::string>().c_str(), shape.c_str(), date(row["first_date"]).c_str(),
                date(row["last_date"]).c_str(), row["filled"].get<double>() * 100.0);
  }
}

std::vector<std::string> texts_of(const Value& list) {
  std::vector<std::string> out;
  if (list.is_array())
    for (const Value& item : list)
      if (item.is_string()) out.push_back(item.get<std::string>());
  return out;
}

std::vector<std::string> keys_of(const Value& map) {
  std::vector<std::string> out;
  if (map.is_object())
    for (const auto& [key, entry] : map.items()) out.push_back(key);
  return out;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// What --keys asks for, split into the store's datasets and its benchmark series.
struct Selection {
  std::optional<std::vector<std::string>> datasets;  // nothing: every dataset the store lists
  std::vector<std::string> benchmarks;              // the series to show
};

Selection select(const std::string& keys_option, const Value& metadata) {
  const std::vector<std::string> datasets = keys_of(metadata.value("datasets", Value::object()));
  const std::vector<std::string> series = keys_of(metadata.value(backtest::BENCHMARK_DICT_KEY, Value::object()));
  Selection selection;
  if (keys_option.empty()) {
    selection.benchmarks = series;
    return selection;
  }
  selection.datasets.emplace();
  std::vector<std::string> unknown;
  for (const std::string& key : backtest::parse_name_list(Value(keys_option))) {
    const std::string name = key.starts_with(BENCHMARK_PREFIX) ? key.substr(BENCHMARK_PREFIX.size()) : key;
    if (contains(datasets, key)) selection.datasets->push_back(key);
    else if (key == backtest::BENCHMARK_DICT_KEY)
      selection.benchmarks.insert(selection.benchmarks.end(), series.begin(), series.end());
    else if (contains(series, name)) selection.benchmarks.push_back(name);
    else unknown.push_back(key);
  }
  if (!unknown.empty()) {
    std::vector<std::string> held = datasets;
    for (const auto& name : series) held.push_back(BENCHMARK_PREFIX + name);
    throw UsageError(messages::unknown_datasets(unknown, held));
  }
  return selection;
}

// The component names to load with: the store's own list (the built-in names for a store that records
// none), or those of --components, each of which the store must list.
std::optional<std::vector<std::string>> components(const std::string& components_option, const Value& metadata) {
  const Value meta = metadata.value("meta", Value::object());
  if (!meta.contains("component_names") && components_option.empty()) return std::nullopt;
  const std::vector<std::string> held = texts_of(meta.value("component_names", Value::array()));
  if (components_option.empty()) return held;
  std::vector<std::string> asked = backtest::parse_name_list(Value(components_option)), unknown;
  for (const auto& name : asked)
    if (!contains(held, name)) unknown.push_back(name);
  if (!unknown.empty()) throw UsageError(messages::unknown_components(unknown, held));
  return asked;
}

void run_load(const LoadOptions& options) {
  const DateRange range = checked_range(options.start, options.end);
  check_existing_directory("--store", options.store);  // as verify says it
  const Value metadata = backtest::BinaryPreparedDataStore(options.store).load_metadata();
  if (metadata.empty()) throw VelmoraError(messages::no_store(options.store));
  const Selection selection = select(options.keys, metadata);
  backtest::BinaryPreparedDataStore store(options.store, components(options.components, metadata));
  std::optional<backtest::Payload> payload = store.load(range.start, range.end, selection.datasets, true);
  if (!payload) throw VelmoraError(messages::no_store(options.store));

  Value rows = Value::array();
  std::optional<std::string> first, last;
  auto add = [&](const Value& row) {
    if (row["first_date"].is_string() && (!first || row["first_date"].get<std::string>() < *first))
      first = row["first_date"].get<std::string>();
    if (row["last_date"].is_string() && (!last || row["last_date"].get<std::string>() > *last))
      last = row["last_date"].get<std::string>();
    rows.push_back(row);
  };
  for (const auto& [key, entry] : payload->data) {
    if (const auto* matrix = std::get_if<backtest::WideMatrix>(&entry)) {
      add(describe(key, *matrix));
      continue;
    }
    const auto& benchmarks = std::get<backtest::BenchmarkDict>(entry);
    for (const auto& name : selection.benchmarks)
      if (benchmarks.contains(name)) add(describe(BENCHMARK_PREFIX + name, benchmarks.at(name)));
  }
  if (options.json) {
    // The range is what was loaded: the first and last date over the datasets, within --start and --end.
    Value out = Value::object();
    out["version"] = payload->version;
    out["start_date"] = first ? Value(*first) : Value();
    out["end_date"] = last ? Value(*last) : Value();
    out["store_start_date"] = payload->meta.value("start_date", Value());
    out["store_end_date"] = payload->meta.value("end_date", Value());
    out["datasets"] = rows;
    std::cout << out.dump(2) << "\n";
  } else {
    print_table(rows);
  }
}

}  // namespace

void add_load_command(CLI::App& app) {
  auto options = std::make_shared<LoadOptions>();
  CLI::App* cmd = app.add_subcommand("load", "Load a store (memory-mapped) and describe every dataset");
  cmd->add_option("--store", options->store, "store directory")->required();
  cmd->add_option("--start", options->start, std::string("first date to load, inclusive (") + messages::DATE_FORMS + ")");
  cmd->add_option("--end", options->end, std::string("last date to load, inclusive (") + messages::DATE_FORMS + ")");
  cmd->add_option("--keys", options->keys,
                  "datasets to load, comma-separated; benchmark series as benchmark_dict/NAME or NAME, all of them "
                  "as benchmark_dict (default: everything the store lists)");
  cmd->add_option("--components", options->components,
                  "component factor names to load (default: the store's own list)");
  cmd->add_flag("--json", options->json, "print JSON instead of a table");
  cmd->callback([options] { run_load(*options); });
}

}  // namespace velmora::tool
