#include <cmath>
#include <cstdio>
#include <iostream>

#include "commands.h"
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

void run_load(const LoadOptions& options) {
  std::optional<std::vector<std::string>> components;
  if (!options.components.empty()) components = backtest::parse_name_list(Value(options.components));
  backtest::BinaryPreparedDataStore store(options.store, components);
  std::optional<std::vector<std::string>> keys;
  if (!options.keys.empty()) keys = backtest::parse_name_list(Value(options.keys));
  auto bound = [](const std::string& text) { return text.empty() ? std::nullopt : std::optional<std::string>(text); };
  std::optional<backtest::Payload> payload = store.load(bound(options.start), bound(options.end), keys, true);
  if (!payload) throw VelmoraError("no prepared-data store at " + options.store + " (metadata.pkl is missing)");

  Value rows = Value::array();
  for (const auto& [key, entry] : payload->data) {
    if (const auto* matrix = std::get_if<backtest::WideMatrix>(&entry)) rows.push_back(describe(key, *matrix));
    else
      for (const auto& [name, series] : std::get<backtest::BenchmarkDict>(entry))
        rows.push_back(describe(key + "/" + name, series));
  }
  if (options.json) {
    Value out = Value::object();
    out["version"] = payload->version;
    out["start_date"] = payload->meta.value("start_date", Value());
    out["end_date"] = payload->meta.value("end_date", Value());
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
  cmd->add_option("--start", options->start, "first date to load (inclusive)");
  cmd->add_option("--end", options->end, "last date to load (inclusive)");
  cmd->add_option("--keys", options->keys, "datasets to load, comma-separated (default: all the store lists)");
  cmd->add_option("--components", options->components, "component factor names (default: the built-in five)");
  cmd->add_flag("--json", options->json, "print JSON instead of a table");
  cmd->callback([options] { run_load(*options); });
}

}  // namespace velmora::tool
