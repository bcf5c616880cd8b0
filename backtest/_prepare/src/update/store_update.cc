// The store update: the re-read rows joined with the stored ones; only the rows and columns that can change
// are derived again, and every dataset is written as its stored rows followed by the new ones.

#include "velmora/backtest/store_update.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>
#include <atomic>

#include "builder/payload_stage.h"
#include "builder/update_basis.h"
#include "store_entries.h"
#include "store_files.h"
#include "store_rewrite.h"
#include "update/extended_file.h"
#include "update/row_join.h"
#include "update/stored_state.h"
#include "update/update_messages.h"
#include "update/window_derivation.h"
#include "velmora/backtest/dates.h"
#include "velmora/backtest/rebuild.h"
#include "velmora/backtest/store_helpers.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/errors.h"
#include "velmora/store_writing.h"

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

// The instruments of any dataset of `metadata`.
std::set<std::string> stored_instruments(const Value& metadata) {
  std::set<std::string> instruments;
  for (const auto& [key, entry] : metadata["datasets"].items()) {
    std::set<std::string> columns = label_set(entry, "columns");
    instruments.insert(columns.begin(), columns.end());
  }
  return instruments;
}

// What the update reports as added: the close dates and the instruments that the store did not hold.
void record_additions(const Value& old_metadata, const Labels& close_dates, const std::vector<const Labels*>& columns,
                      StoreUpdate& result) {
  const Value& datasets = old_metadata["datasets"];
  std::set<std::string> old_dates = datasets.contains("close_price") ? label_set(datasets["close_price"], "index")
                                                                      : std::set<std::string>();
  for (const auto& date : close_dates)
    if (!old_dates.count(date)) result.added_dates.push_back(date);
  const std::set<std::string> old_instruments = stored_instruments(old_metadata);
  std::set<std::string> added;
  for (const Labels* labels : columns)
    for (const auto& column : *labels)
      if (!old_instruments.count(column)) added.insert(column);
  result.added_instruments.assign(added.begin(), added.end());
}

void record_additions(const Value& old_metadata, const Payload& payload, StoreUpdate& result) {
  std::vector<const Labels*> columns;
  for (const auto& [key, entry] : payload.data)
    if (const auto* matrix = std::get_if<WideMatrix>(&entry)) columns.push_back(&matrix->column_labels());
  record_additions(old_metadata, payload.data.matrix("close_price").row_labels(), columns, result);
}

// The component names an update keeps: the build's own, then those supplemented into the store, as a
// rebuild that keeps them lists them.
std::vector<std::string> update_components(const Value& metadata) {
  std::vector<std::string> names = get_component_factor_names();
  Payload built;
  built.meta["component_names"] = names;
  for (auto& name : components_beyond(metadata, built)) names.push_back(std::move(name));
  return names;
}

// The membership datasets of the store must be those a build (keeping the supplemented ones) makes, so that
// the update can make them too. Returns false when one of them is missing (the store needs a rebuild).
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

// The factor service's rows from the re-read date on, read as an incremental build reads them.
struct WindowRead {
  MatrixMap sources;  // every build input; an optional factor without data is the empty placeholder
  MatrixMap masks;
  BenchmarkDict benchmarks;  // from the benchmark read date on
};

WindowRead read_window(const std::string& from, const std::string& end, const std::string& benchmark_from,
                       const std::vector<std::string>& component_names) {
  SourceData read = builder::read_factor_sources(GroupPreparedDataBuilder(from, end), true, component_names);
  WindowRead window;
  for (const auto& [name, matrix] : read.source) {
    // A build puts a placeholder in place of an optional factor without data; joined with stored rows,
    // the factor has no data in this window.
    const bool placeholder = std::find(OPTIONAL_FACTOR_NAMES.begin(), OPTIONAL_FACTOR_NAMES.end(), name) !=
                                 OPTIONAL_FACTOR_NAMES.end() &&
                             !builder::has_value(matrix);
    window.sources.set(name, placeholder ? WideMatrix() : matrix);
  }
  window.masks = std::move(read.component_matrices);
  window.benchmarks = GroupPreparedDataBuilder(benchmark_from, end)._read_benchmark_dict();
  return window;
}

// The updated range as stored rows before `from` and re-read rows from `from` on.
struct Split {
  update::SplitSources sources;
  MatrixMap kept_masks;
  MatrixMap reread_masks;
  // Masks whose stored rows cannot be joined (mask_columns_ambiguous): read again over the whole range.
  MatrixMap whole_masks;
  BenchmarkDict benchmarks;  // joined already: they are small
};

Split split_state(const update::StoredState& stored, const WindowRead& window, const std::string& start,
                  const std::string& from, const std::string& end, const std::vector<std::string>& component_names) {
  Split split;
  for (const auto& name : BUILD_INPUT_NAMES) {
    if (const WideMatrix* old = stored.sources.find(name)) split.sources.kept.set(name, update::rows_before(*old, from, true));
    split.sources.reread.set(name, window.sources.at(name));
  }
  for (const auto& name : component_names) {
    const WideMatrix* reread = window.masks.find(name);
    const WideMatrix* old = stored.masks.find(name);
    WideMatrix kept = old ? update::rows_before(*old, from, false) : WideMatrix();
    if (old && mask_columns_ambiguous(*old, kept, reread)) {
      MatrixMap whole = GroupPreparedDataBuilder(start, end)._component_matrices({name});
      if (const WideMatrix* read = whole.find(name)) split.whole_masks.set(name, *read);
      continue;
    }
    split.kept_masks.set(name, kept);
    if (reread) split.reread_masks.set(name, *reread);
  }
  for (const auto& [name, code] : BENCHMARK_INDEX_CODES) {
    const DateSeries* old = stored.benchmarks.find(name);
    split.benchmarks.set(name, join_series(old ? *old : DateSeries(), window.benchmarks.at(name), from));
  }
  return split;
}

const WideMatrix& part_or_empty(const MatrixMap& parts, const std::string& name) {
  static const WideMatrix empty;
  const WideMatrix* found = parts.find(name);
  return found ? *found : empty;
}

// True when the mask of `name` has rows in the updated range.
bool has_mask(const Split& split, const std::string& name) {
  if (const WideMatrix* whole = split.whole_masks.find(name)) return whole->has_data();
  return part_or_empty(split.kept_masks, name).has_data() || part_or_empty(split.reread_masks, name).has_data();
}

// The masks of the updated range, whole; the names without any data are left out.
MatrixMap joined_masks(const Split& split, const std::vector<std::string>& component_names) {
  MatrixMap masks;
  for (const auto& name : component_names) {
    if (!has_mask(split, name)) continue;
    masks.set(name, split.whole_masks.contains(name) ? split.whole_masks.at(name)
                                                     : update::join_rows(part_or_empty(split.kept_masks, name),
                                                                         part_or_empty(split.reread_masks, name)));
  }
  return masks;
}

// Fails as a rebuild that keeps the store's components would: first for the build's own components
// without data, then for the supplemented ones.
void check_masks(const Split& split, const std::vector<std::string>& component_names) {
  const std::size_t built_in = get_component_factor_names().size();
  std::vector<std::string> missing, lost;
  for (std::size_t i = 0; i < component_names.size(); ++i)
    if (!has_mask(split, component_names[i])) (i < built_in ? missing : lost).push_back(component_names[i]);
  if (!missing.empty()) throw ValueError(builder::missing_components_message(missing));
  if (!lost.empty()) throw ValueError(builder::components_lost_message(lost));
}

// True when the rows from `from` on of `stored` are exactly `reread` and the join adds or drops no column.
bool same_rows(const WideMatrix* stored, const WideMatrix& kept, const WideMatrix& reread, const std::string& from) {
  if (!stored) return !kept.has_data() && !reread.has_data();
  if (update::joined_columns(kept, reread) != stored->column_labels()) return false;
  const WideMatrix old = update::rows_from(*stored, from);
  if (!reread.has_data()) return !old.has_data();
  return reread.row_labels() == old.row_labels() &&
         identical(reread.reindex(reread.row_labels(), stored->column_labels()), old.as_float());
}

// True when the updated range holds exactly what the store holds: the update would change nothing.
bool same_as_stored(const update::StoredState& stored, const Split& split, const std::string& from,
                    const std::vector<std::string>& component_names) {
  for (const auto& name : BUILD_INPUT_NAMES) {
    if (!same_rows(stored.sources.find(name), part_or_empty(split.sources.kept, name),
                   part_or_empty(split.sources.reread, name), from))
      return false;
  }
  for (const auto& name : component_names) {
    const WideMatrix* old = stored.masks.find(name);
    if (const WideMatrix* whole = split.whole_masks.find(name)) {
      if (!old || !identical(*old, *whole)) return false;
    } else if (!same_rows(old, part_or_empty(split.kept_masks, name), part_or_empty(split.reread_masks, name), from)) {
      return false;
    }
  }
  for (const auto& [name, series] : split.benchmarks) {
    const DateSeries* old = stored.benchmarks.find(name);
    if (!old || !identical(*old, series)) return false;
  }
  return true;
}

// The source matrices of the whole updated range, as a build over it reads them.
MatrixMap joined_sources(const update::SplitSources& split) {
  MatrixMap sources;
  for (const auto& name : REQUIRED_FACTOR_NAMES)
    sources.set(name, update::join_rows(part_or_empty(split.kept, name), part_or_empty(split.reread, name)));
  for (const auto& name : OPTIONAL_FACTOR_NAMES) {
    WideMatrix matrix = update::join_rows(part_or_empty(split.kept, name), part_or_empty(split.reread, name));
    sources.set(name, matrix.has_data() ? matrix : GroupPreparedDataBuilder::_empty_like(sources.at("Close")));
  }
  return sources;
}

// REQUIRES: the caller holds the store's writer lock, `held`.
void write_payload(const BinaryPreparedDataStore& store, const StoreWriterLock& held, const Payload& payload,
                   StoreUpdate& result, const std::function<void(const std::string&)>& say) {
  say(update_messages::WRITING);
  auto started = Clock::now();
  store.write(payload, held);
  result.timings.write = seconds_since(started);
  result.end_date = payload.meta.value("end_date", result.end_date);
}

StoreUpdate rebuild(const BinaryPreparedDataStore& store, const StoreWriterLock& held, const Value& metadata,
                    StoreUpdate result, const std::string& reason, const std::function<void(const std::string&)>& say) {
  say(reason);
  result.outcome = StoreUpdate::Outcome::rebuilt;
  result.rebuild_reason = reason;
  result.reread_from = result.start_date;
  auto started = Clock::now();
  GroupPreparedDataBuilder range(result.start_date, result.end_date);
  Payload payload = range.build_incremental();
  keep_store_components(range, metadata, payload);
  result.timings.read_source = seconds_since(started);
  record_additions(metadata, payload, result);
  write_payload(store, held, payload, result, say);
  return result;
}

// Derives the whole updated range and writes it as a build would.
void write_whole_range(const BinaryPreparedDataStore& store, const StoreWriterLock& held, const Value& metadata,
                       const Split& split,
                       const std::vector<std::string>& component_names, StoreUpdate& result,
                       const std::function<void(const std::string&)>& say) {
  auto started = Clock::now();
  SourceData joined;
  joined.source = joined_sources(split.sources);
  joined.component_matrices = joined_masks(split, component_names);
  joined.benchmark_dict = split.benchmarks;
  joined.component_names = component_names;
  Payload payload = builder::payload_from_sources(GroupPreparedDataBuilder(result.start_date, result.end_date),
                                                  joined, "updated_at");
  result.timings.derive += seconds_since(started);
  record_additions(metadata, payload, result);
  write_payload(store, held, payload, result, say);
}

// Writes the derived window into the store: each dataset's stored rows before the recomputed ones, then
// the new rows; the benchmark series whole; metadata as a build over the range writes it.
// REQUIRES: the caller holds the store's writer lock.
void write_extension(const BinaryPreparedDataStore& store, const Value& metadata, const Split& split,
                     const update::WindowDerivation& window, const std::vector<std::string>& component_names,
                     StoreUpdate& result, const std::function<void(const std::string&)>& say) {
  using store_rewrite::PlannedFile;
  using store_rewrite::Section;
  const std::filesystem::path& store_dir = store.store_dir();
  const Value& datasets = metadata["datasets"];
  const Value& basis = metadata[store_entries::UPDATE_BASIS_KEY][store_entries::UPDATE_BASIS_SOURCES_KEY];

  struct Planned {
    Section section;
    std::string key;
    update::DatasetExtension extension;
  };
  std::vector<Planned> planned;
  auto extension = [&](const Value& entry, const std::string& dtype, const std::string& stem, WideMatrix tail,
                       const WideMatrix* changed, const Labels* changed_columns) {
    return update::DatasetExtension{&entry,          dtype,   stem, window.recompute_from,
                                    std::move(tail), changed, changed_columns};
  };
  for (const auto& [key, dtype] : BASE_MATRIX_DTYPE) {
    const Labels& changed_columns = window.changed_columns.at(key);
    const WideMatrix* changed = changed_columns.empty() ? nullptr : &window.changed.at(key);
    planned.push_back({Section::datasets, key,
                       extension(datasets[key], dtype, store_entries::file_stem(key), window.tail.at(key), changed,
                                 &changed_columns)});
  }
  for (const auto& name : component_names) {
    const std::string key = component_dataset_key(name);
    const WideMatrix& kept = part_or_empty(split.kept_masks, name);
    const WideMatrix& reread = part_or_empty(split.reread_masks, name);
    WideMatrix tail = update::join_over(update::rows_from(kept, window.recompute_from), reread,
                                        update::joined_columns(kept, reread));
    planned.push_back({Section::datasets, key,
                       extension(datasets[key], FLOAT_STORAGE_DTYPE, store_entries::file_stem(key), std::move(tail),
                                 nullptr, nullptr)});
  }
  for (const auto& [name, entry] : basis.items()) {
    planned.push_back({Section::basis, name,
                       extension(entry, FLOAT_STORAGE_DTYPE,
                                 store_entries::file_stem(store_rewrite::UPDATE_BASIS_FILE_PREFIX + name),
                                 window.tail_sources.at(name), nullptr, nullptr)});
  }

  std::atomic<std::size_t> copied{0};
  std::vector<PlannedFile> files;
  for (const auto& plan : planned) {
    files.push_back({plan.section, plan.key, [&store_dir, &copied, &plan] {
                       bool was_copied = false;
                       auto written = update::write_extended(store_dir, plan.key, plan.extension, was_copied);
                       if (was_copied) ++copied;
                       return written;
                     }});
  }
  for (const auto& [name, series] : split.benchmarks) {
    files.push_back({Section::benchmarks, name, [&store_dir, name = name, series = &series] {
                       return store_rewrite::write_series_file(
                           store_dir, store_rewrite::BENCHMARK_FILE_PREFIX + store_entries::file_stem(name), *series);
                     }});
  }

  std::vector<const Labels*> columns;
  for (const auto& plan : planned) columns.push_back(&plan.extension.tail.column_labels());
  record_additions(metadata, update::rows_from(window.tail.at("close_price"), window.recompute_from).row_labels(),
                   columns, result);

  GroupPreparedDataBuilder range(result.start_date, result.end_date);
  Value new_metadata = Value::object();
  new_metadata["version"] = PREPARED_DATA_VERSION;
  new_metadata["updated_at"] = local_iso_timestamp();
  new_metadata["meta"] = range._assemble_payload({}, {}, {}, component_names, "updated_at").meta;
  new_metadata["datasets"] = Value::object();
  new_metadata["benchmark_dict"] = Value::object();
  new_metadata[store_entries::UPDATE_BASIS_KEY] = Value::object();
  new_metadata[store_entries::UPDATE_BASIS_KEY][store_entries::UPDATE_BASIS_SOURCES_KEY] = Value::object();

  say(update_messages::WRITING);
  auto started = Clock::now();
  store_rewrite::write_store_files(store, std::move(new_metadata), std::move(files));
  result.timings.write = seconds_since(started);
  result.recomputed_from = window.recompute_from;
  result.files_copied = copied;
}

// True when the metadata names every file an extension starts from.
bool extension_entries_complete(const Value& metadata, const std::vector<std::string>& component_names) {
  const Value& datasets = metadata["datasets"];
  for (const auto& [key, dtype] : BASE_MATRIX_DTYPE)
    if (!datasets.contains(key) || !datasets[key].is_object()) return false;
  for (const auto& name : component_names)
    if (!datasets.contains(component_dataset_key(name))) return false;
  return true;
}

}  // namespace

StoreUpdate update_store(const BinaryPreparedDataStore& store, const StoreUpdateOptions& options) {
  auto say = [&](const std::string& text) {
    if (options.progress) options.progress(text);
  };
  // Held from the metadata read to the write, so that no other writer changes the store in between.
  StoreWritingScope scope(store.store_dir(), options.lock);
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
    scope.succeeded();
    return result;
  }
  result.reread_from = from;

  const std::vector<std::string> component_names = update_components(metadata);
  const bool masks_complete = check_components(metadata, component_names);
  if (!update::has_update_basis(metadata) || !masks_complete) {
    result = rebuild(store, scope.lock(), metadata, result,
                     update_messages::rebuild_without_basis(result.start_date, result.end_date), say);
    scope.succeeded();
    return result;
  }
  if (from <= result.start_date) {
    result = rebuild(store, scope.lock(), metadata, result,
                     update_messages::rebuild_whole_range(result.start_date, result.end_date), say);
    scope.succeeded();
    return result;
  }

  say(update_messages::READING_STORE);
  auto started = Clock::now();
  const update::StoredState stored = update::read_stored_state(store, metadata, component_names);
  result.timings.read_store = seconds_since(started);

  // The stored files are read while the factor service is: the rows an extension derives again and the
  // copies of the stored rows then find them in memory.
  std::thread prefetching([&] {
    for (const Value* entry : store_entries::file_entries(metadata)) {
      try {
        store_files::prefetch(store_entries::resolve_file(store.store_dir(), store_entries::text_field(*entry, "file")));
      } catch (const ValueError&) {
        // a file the entry cannot name is reported by the reads that need it
      }
    }
  });
  struct Join {
    std::thread& thread;
    ~Join() { thread.join(); }
  } join_prefetching{prefetching};

  say(update_messages::reading_source(from, result.end_date));
  started = Clock::now();
  const std::string benchmark_from = benchmark_read_start(stored.benchmarks, from, result.start_date);
  const WindowRead window = read_window(from, result.end_date, benchmark_from, component_names);
  result.timings.read_source = seconds_since(started);

  say(update_messages::DERIVING);
  started = Clock::now();
  const Split split = split_state(stored, window, result.start_date, from, result.end_date, component_names);
  check_masks(split, component_names);
  if (same_as_stored(stored, split, from, component_names)) {
    result.timings.derive = seconds_since(started);
    result.end_date = result.old_end_date;
    scope.succeeded();
    return result;
  }
  result.outcome = StoreUpdate::Outcome::extended;
  std::optional<update::WindowDerivation> derived;
  if (split.whole_masks.empty() && extension_entries_complete(metadata, component_names))
    derived = update::derive_window(stored.sources, split.sources, from);
  result.timings.derive = seconds_since(started);
  if (derived) {
    write_extension(store, metadata, split, *derived, component_names, result, say);
  } else {
    write_whole_range(store, scope.lock(), metadata, split, component_names, result, say);
  }
  scope.succeeded();
  return result;
}

}  // namespace velmora::backtest
