// The store update: stored rows joined with re-read rows, derived as a build derives them, written anew.

#include "velmora/backtest/store_update.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>

#include "update/row_join.h"
#include "update/stored_state.h"
#include "update/update_basis.h"
#include "update/update_messages.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/store_lock.h"

namespace velmora::backtest {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string shift_day(const std::string& yyyymmdd, int days) {
  return yyyymmdd_from_days(days_from_yyyymmdd(yyyymmdd) + days);
}

const std::string* text_entry(const Value& map, const char* key) {
  auto found = map.find(key);
  return found != map.end() && found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
}

// The labels of a list entry of the store's metadata ("index" or "columns" of a dataset).
std::set<std::string> label_set(const Value& entry, const char* field) {
  std::set<std::string> labels;
  auto list = entry.find(field);
  if (list == entry.end() || !list->is_array()) return labels;
  for (const auto& label : *list)
    if (label.is_string()) labels.insert(label.get<std::string>());
  return labels;
}

// What the update reports as added: the close dates and the instruments that the store did not hold.
void record_additions(const Value& old_metadata, const Payload& payload, StoreUpdate& result) {
  const Value& datasets = old_metadata.contains("datasets") ? old_metadata["datasets"] : Value::object();
  std::set<std::string> old_dates = datasets.contains("close_price") ? label_set(datasets["close_price"], "index")
                                                                      : std::set<std::string>();
  for (const auto& date : payload.data.matrix("close_price").row_labels())
    if (!old_dates.count(date)) result.added_dates.push_back(date);

  std::set<std::string> old_instruments;
  for (const auto& [key, entry] : datasets.items()) {
    std::set<std::string> columns = label_set(entry, "columns");
    old_instruments.insert(columns.begin(), columns.end());
  }
  std::set<std::string> added;
  for (const auto& [key, entry] : payload.data) {
    if (const auto* matrix = std::get_if<WideMatrix>(&entry))
      for (const auto& column : matrix->column_labels())
        if (!old_instruments.count(column)) added.insert(column);
  }
  result.added_instruments.assign(added.begin(), added.end());
}

// The membership datasets of the store must be those a build makes, so that the update can make them too.
// Returns false when one of the build's masks is missing (the store needs a rebuild).
bool check_components(const Value& metadata, const std::vector<std::string>& component_names) {
  std::set<std::string> expected;
  for (const auto& name : component_names) expected.insert(component_dataset_key(name));
  const Value& datasets = metadata["datasets"];
  for (const auto& [key, entry] : datasets.items()) {
    if (BASE_MATRIX_DTYPE.contains(key)) continue;
    if (!expected.count(key)) throw ValueError(update_messages::foreign_component(key));
  }
  return std::all_of(expected.begin(), expected.end(), [&](const std::string& key) { return datasets.contains(key); });
}

// "['a', 'b']": missing names as a build's error lists them.
std::string quoted_list(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", '" : "'") + names[i] + "'";
  return out + "]";
}

// The factor service's rows from the re-read date on, read as an incremental build reads them.
struct WindowRead {
  MatrixMap sources;  // every build input; optional factors without rows are the empty placeholder
  MatrixMap masks;
  BenchmarkDict benchmarks;  // from the benchmark read date on
};

WindowRead read_window(const std::string& from, const std::string& end, const std::string& benchmark_from,
                       const std::vector<std::string>& component_names) {
  WindowRead window;
  GroupPreparedDataBuilder reader(from, end);
  std::vector<std::string> names = BUILD_INPUT_NAMES;
  names.insert(names.end(), component_names.begin(), component_names.end());
  const MatrixMap batch = reader._read_normal_factor_batch(names);
  for (const auto& name : REQUIRED_FACTOR_NAMES) window.sources.set(name, reader._batch_or_read(batch, name));
  // As a build with a batch does: an optional factor is taken from the batch or has no data.
  for (const auto& name : OPTIONAL_FACTOR_NAMES) {
    const WideMatrix* matrix = batch.find(name);
    window.sources.set(name, matrix && matrix->has_data() ? matrix->sort_index() : WideMatrix());
  }
  window.masks = reader._component_matrices(component_names, &batch);
  window.benchmarks = GroupPreparedDataBuilder(benchmark_from, end)._read_benchmark_dict();
  return window;
}

// The first date of the benchmark read: the latest stored quote before `from` of the benchmark whose latest
// one is earliest, so that every benchmark's first re-read return has the quote it is computed against.
// The store's start when a benchmark has no stored quote before `from`.
std::string benchmark_read_start(const BenchmarkDict& stored, const std::string& from, const std::string& start) {
  std::string earliest = from;
  for (const auto& [name, code] : BENCHMARK_INDEX_CODES) {
    const DateSeries* series = stored.find(name);
    if (!series) return start;
    const auto& dates = series->dates().names();
    auto before = std::lower_bound(dates.begin(), dates.end(), from);
    if (before == dates.begin()) return start;
    earliest = std::min(earliest, *(before - 1));
  }
  return earliest;
}

// The stored entries before `from` followed by the re-read ones from `from` on.
DateSeries join_series(const DateSeries& stored, const DateSeries& reread, const std::string& from) {
  std::vector<std::string> dates;
  std::vector<double> values;
  for (std::size_t i = 0; i < stored.size() && stored.dates()[i] < from; ++i) {
    dates.push_back(stored.dates()[i]);
    values.push_back(stored.values()[i]);
  }
  for (std::size_t i = 0; i < reread.size(); ++i) {
    if (reread.dates()[i] < from) continue;
    dates.push_back(reread.dates()[i]);
    values.push_back(reread.values()[i]);
  }
  return DateSeries(Labels(std::move(dates)), std::move(values), stored.name().empty() ? reread.name() : stored.name());
}

// True when a correction drops stored mask rows and leaves a column without any member before `from` that
// the re-read rows lack: a stored mask cannot tell whether the factor had (non-member) values there, which
// decides whether a fresh read has that column.
bool mask_columns_ambiguous(const WideMatrix& stored, const WideMatrix& kept, const WideMatrix* reread) {
  if (kept.rows() == stored.rows() || !kept.has_data()) return false;
  const std::size_t cols = kept.cols();
  const double* cells = kept.float_cells();
  for (std::size_t j = 0; j < cols; ++j) {
    bool member = false;
    for (std::size_t r = 0; r < kept.rows() && !member; ++r) member = !std::isnan(cells[r * cols + j]);
    if (!member && !(reread && reread->column_labels().position(kept.column_labels()[j]))) return true;
  }
  return false;
}

struct Joined {
  MatrixMap sources;
  MatrixMap masks;
  BenchmarkDict benchmarks;
  std::vector<std::string> missing_components;
};

Joined join_state(const update::StoredState& stored, const WindowRead& window, const std::string& start,
                  const std::string& from, const std::string& end, const std::vector<std::string>& component_names) {
  Joined joined;
  for (const auto& name : REQUIRED_FACTOR_NAMES) {
    const WideMatrix* old = stored.sources.find(name);
    WideMatrix kept = old ? update::rows_before(*old, from, true) : WideMatrix();
    joined.sources.set(name, update::join_rows(kept, window.sources.at(name)));
  }
  const WideMatrix reference = joined.sources.at("Close") * 0.0 + 1.0;
  for (const auto& name : OPTIONAL_FACTOR_NAMES) {
    const WideMatrix* old = stored.sources.find(name);
    WideMatrix kept = old ? update::rows_before(*old, from, true) : WideMatrix();
    WideMatrix matrix = update::join_rows(kept, window.sources.at(name));
    joined.sources.set(name, matrix.has_data() ? matrix : GroupPreparedDataBuilder::_empty_like(reference));
  }

  for (const auto& name : component_names) {
    const WideMatrix* reread = window.masks.find(name);
    const WideMatrix* old = stored.masks.find(name);
    WideMatrix kept = old ? update::rows_before(*old, from, false) : WideMatrix();
    WideMatrix mask;
    if (old && mask_columns_ambiguous(*old, kept, reread)) {
      MatrixMap whole = GroupPreparedDataBuilder(start, end)._component_matrices({name});
      if (const WideMatrix* read = whole.find(name)) mask = *read;
    } else {
      mask = update::join_rows(kept, reread ? *reread : WideMatrix());
    }
    if (mask.has_data()) {
      joined.masks.set(name, mask);
    } else {
      joined.missing_components.push_back(name);
    }
  }

  for (const auto& [name, code] : BENCHMARK_INDEX_CODES) {
    const DateSeries* old = stored.benchmarks.find(name);
    joined.benchmarks.set(name, join_series(old ? *old : DateSeries(), window.benchmarks.at(name), from));
  }
  return joined;
}

// True when the joined state holds exactly what the store holds: the update would change nothing.
bool same_as_stored(const update::StoredState& stored, const Joined& joined) {
  for (const auto& [name, matrix] : joined.sources) {
    const WideMatrix* old = stored.sources.find(name);
    bool placeholder = !old && std::find(OPTIONAL_FACTOR_NAMES.begin(), OPTIONAL_FACTOR_NAMES.end(), name) !=
                                   OPTIONAL_FACTOR_NAMES.end();
    if (placeholder ? update::has_value(matrix) : !old || !identical(*old, matrix)) return false;
  }
  for (const auto& [name, mask] : joined.masks) {
    const WideMatrix* old = stored.masks.find(name);
    if (!old || !identical(*old, mask)) return false;
  }
  for (const auto& [name, series] : joined.benchmarks) {
    const DateSeries* old = stored.benchmarks.find(name);
    if (!old || !identical(*old, series)) return false;
  }
  return true;
}

void write_payload(const BinaryPreparedDataStore& store, const Payload& payload, StoreUpdate& result,
                   const std::function<void(const std::string&)>& say) {
  say(update_messages::WRITING);
  auto started = Clock::now();
  store.write(payload);
  result.timings.write = seconds_since(started);
  result.end_date = payload.meta.value("end_date", result.end_date);
}

StoreUpdate rebuild(const BinaryPreparedDataStore& store, const Value& metadata, StoreUpdate result,
                    const std::string& reason, const std::function<void(const std::string&)>& say) {
  say(reason);
  result.outcome = StoreUpdate::Outcome::rebuilt;
  result.rebuild_reason = reason;
  result.reread_from = result.start_date;
  auto started = Clock::now();
  Payload payload = GroupPreparedDataBuilder(result.start_date, result.end_date).build_incremental();
  result.timings.read_source = seconds_since(started);
  record_additions(metadata, payload, result);
  write_payload(store, payload, result, say);
  return result;
}

}  // namespace

StoreUpdate update_store(const BinaryPreparedDataStore& store, const StoreUpdateOptions& options) {
  auto say = [&](const std::string& text) {
    if (options.progress) options.progress(text);
  };
  // Held from the metadata read to the write, so that no other writer changes the store in between.
  StoreWriterLock lock(store.store_dir());
  const Value metadata = store.load_metadata();
  const Value* meta = metadata.contains("meta") && metadata["meta"].is_object() ? &metadata["meta"] : nullptr;
  const std::string* stored_start = meta ? text_entry(*meta, "start_date") : nullptr;
  const std::string* stored_end = meta ? text_entry(*meta, "end_date") : nullptr;
  if (!stored_start || !stored_end || !metadata.contains("datasets") || !metadata["datasets"].is_object())
    throw ValueError(update_messages::no_store_range(store.store_dir()));

  StoreUpdate result;
  result.start_date = *normalize_yyyymmdd(*stored_start);
  result.old_end_date = *normalize_yyyymmdd(*stored_end);
  result.end_date = *normalize_yyyymmdd(options.end_date);
  if (result.end_date < result.old_end_date)
    throw ValueError(update_messages::end_before_store_end(result.end_date, result.old_end_date));
  const std::string from =
      options.from_date ? *normalize_yyyymmdd(*options.from_date) : shift_day(result.old_end_date, 1);
  if (from > result.end_date) {
    if (options.from_date) throw ValueError(update_messages::from_after_end(from, result.end_date));
    result.end_date = result.old_end_date;  // nothing after the store's end to read
    return result;
  }
  result.reread_from = from;

  const std::vector<std::string> component_names = get_component_factor_names();
  const bool masks_complete = check_components(metadata, component_names);
  if (!update::has_update_basis(metadata) || !masks_complete) {
    return rebuild(store, metadata, result, update_messages::rebuild_without_basis(result.start_date, result.end_date),
                   say);
  }
  if (from <= result.start_date) {
    return rebuild(store, metadata, result, update_messages::rebuild_whole_range(result.start_date, result.end_date),
                   say);
  }

  say(update_messages::READING_STORE);
  auto started = Clock::now();
  const update::StoredState stored = update::read_stored_state(store, metadata, component_names);
  result.timings.read_store = seconds_since(started);

  say(update_messages::reading_source(from, result.end_date));
  started = Clock::now();
  const std::string benchmark_from = benchmark_read_start(stored.benchmarks, from, result.start_date);
  const WindowRead window = read_window(from, result.end_date, benchmark_from, component_names);
  result.timings.read_source = seconds_since(started);

  say(update_messages::DERIVING);
  started = Clock::now();
  Joined joined = join_state(stored, window, result.start_date, from, result.end_date, component_names);
  if (!joined.missing_components.empty())
    throw ValueError(update_messages::missing_components(quoted_list(joined.missing_components)));
  if (same_as_stored(stored, joined)) {
    result.timings.derive = seconds_since(started);
    result.end_date = result.old_end_date;
    return result;
  }
  GroupPreparedDataBuilder range(result.start_date, result.end_date);
  Payload payload = range._assemble_payload(GroupPreparedDataBuilder::_build_from_matrices(joined.sources),
                                            joined.masks, joined.benchmarks, component_names, "updated_at");
  payload.update_basis = update::basis_of(joined.sources);
  result.timings.derive = seconds_since(started);

  result.outcome = StoreUpdate::Outcome::extended;
  record_additions(metadata, payload, result);
  write_payload(store, payload, result, say);
  return result;
}

}  // namespace velmora::backtest
