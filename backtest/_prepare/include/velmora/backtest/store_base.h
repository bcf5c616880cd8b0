#pragma once

// The binary prepared-data store: one directory that holds a Payload as files any numpy user can open.
//
//   metadata.pkl   a pickle (protocol 5) of plain data: "version", "updated_at", "meta" (the payload's meta),
//                  "datasets" (dataset key → entry with "file", "dtype", "shape", "index", "columns", "size",
//                  "crc32"), "benchmark_dict" (short name → entry with "file", "index", "name", ...) and,
//                  for a store an update can extend, "update_basis" (the source matrices that no dataset
//                  keeps as read: "sources", factor name → dataset entry; loaders ignore it)
//   <key>.<token>.npy            one C-order .npy file per matrix ("<f8" or "|b1", dates × instruments)
//   benchmark__<name>.<token>.npy  one 1-D "<f8" file per benchmark series
//   basis__<factor>.<token>.npy    one file per source matrix of the update basis
//   manifest.json  every file of the store with its size and CRC-32, for verifying a store or a package
//   .pending_files the files a write has created or is replacing, until it has seen them through
//
// docs/store_format.md describes the layout for readers outside this library.
//
// Crash safety: a store is always loadable, in its complete old or complete new state. Writers never touch a
// file that the current metadata names: data files are created under fresh names and synced to disk, then
// the metadata is replaced by an atomic rename, and only then are files that it no longer names removed.
//
// A rewrite removes only files the store can prove it wrote: files named by the previous metadata or listed
// by the previous manifest, and files that a write recorded in ".pending_files" (the files it creates, just
// before creating each, and the files it replaces, before the switch), so the files of a killed write go
// with the next write; plus the store's own temporary files "metadata.pkl.<token>.tmp" and
// "manifest.json.<token>.tmp". Any other file in the directory, even one named like a data file, is never
// touched.
// A reader that mapped the old files keeps valid data.
//
// One writer at a time: every writer (write, a component supplement, an update, a package download) holds the store's
// writer lock (velmora/store_lock.h) while it changes the store, and a second writer is refused with
// StoreLockedError naming the holder's pid. Readers take no lock.
//
// A matrix loaded with mmap is a read-only view of the mapped file; the mapping lives as long as any matrix
// (or slice of one) refers to it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "velmora/backtest/ordered_map.h"
#include "velmora/backtest/payload.h"
#include "velmora/backtest/prepare_export.h"
#include "velmora/backtest/vocabulary.h"
#include "velmora/backtest/wide_matrix.h"
#include "velmora/store_lock.h"
#include "velmora/value.h"

namespace velmora::backtest {

inline constexpr const char* METADATA_FILE_NAME = "metadata.pkl";
inline constexpr const char* MANIFEST_FILE_NAME = "manifest.json";

class VELMORA_PREPARE_EXPORT BinaryPreparedDataStoreBase {
 public:
  // `matrix_dtype` maps each dataset key to its storage type ("float64" or "bool"); `version` is the
  // prepared-data version of the store; `float_dtype` the storage type of float matrices that
  // `matrix_dtype` does not list. Nothing is read or written here.
  BinaryPreparedDataStoreBase(PathLike store_dir, OrderedMap<std::string> matrix_dtype, std::int64_t version,
                              std::string float_dtype);
  virtual ~BinaryPreparedDataStoreBase();

  const OrderedMap<std::string>& matrix_dtype() const { return matrix_dtype_; }
  const std::filesystem::path& store_dir() const { return store_dir_; }
  std::filesystem::path metadata_path() const { return store_dir_ / METADATA_FILE_NAME; }
  std::filesystem::path manifest_path() const { return store_dir_ / MANIFEST_FILE_NAME; }

  // The store's metadata as a map; an empty map when the store has no metadata file yet. Throws
  // VelmoraError naming the file when it exists but cannot be read or is not a pickled map.
  Value load_metadata() const;

  // The stored payload, or nothing when the store has no metadata. `start_date` and `end_date` are
  // inclusive bounds in any form normalize_yyyymmdd accepts (nothing = open); `keys` lists the datasets to
  // read, in the order the result holds them (nothing = every dataset the metadata lists). The data ends
  // with "benchmark_dict", restricted to the range, when the store has one. With `mmap` the matrices are
  // zero-copy views of the mapped files; without it they are read into memory.
  // When a writer switches the store during the load (the files the metadata named are gone), the load
  // starts over on the new metadata. Throws KeyError naming a key the metadata lacks, ValueError for an
  // unreadable date, and VelmoraError naming the dataset for a missing, truncated or damaged file.
  virtual std::optional<Payload> load(std::optional<std::string> start_date = std::nullopt,
                                      std::optional<std::string> end_date = std::nullopt,
                                      std::optional<std::vector<std::string>> keys = std::nullopt,
                                      bool mmap = true) const;

  // Writes `payload` as the store's whole content, replacing what the store held: every matrix (stored as
  // matrix_dtype() names it, else as its own cell type), every benchmark series, the metadata and the
  // manifest, then removes the files that the new metadata no longer names. Holds the writer lock
  // throughout: throws StoreLockedError at once when another process holds it (a caller that wants to wait
  // takes StoreWriterLock(store_dir(), LockWait::yes) around the call). A matrix or benchmark series whose
  // dates are not strictly ascending (out of order, or repeated) is refused with a ValueError naming it,
  // before anything is written: a load bisects the dates to take a range.
  void write(const Payload& payload) const;
  // The same under a lock the caller took for a whole workflow (velmora/store_writing.h).
  // REQUIRES: the caller holds the store's writer lock: `held` is the lock of store_dir().
  void write(const Payload& payload, const StoreWriterLock& held) const;

  // Writes `matrix` into `store_dir` as a new file of storage type `dtype` ("float64": bool cells become
  // 1.0 / 0.0; "bool": 0.0 becomes false, anything else true), synced to disk, and returns the dataset entry
  // to record under `key` in "datasets". Never overwrites an existing file. Throws ValueError for another
  // dtype and VelmoraError when the file cannot be written.
  Value _write_matrix(const std::filesystem::path& store_dir, const std::string& key, const WideMatrix& matrix,
                      const std::string& dtype) const;

  // Replaces the manifest of `store_dir` with one that lists the metadata file and every file `metadata`
  // names, with sizes and CRC-32 (taken from the entries where they carry them, else read from disk).
  void _write_manifest(const std::filesystem::path& store_dir, const Value& metadata) const;

  // Replaces the metadata file with `metadata` atomically: written to a temporary file beside it, synced,
  // and renamed over the old one, after the data files that it names have been made durable.
  void _write_metadata(const Value& metadata) const;

  // Removes the files recorded in ".pending_files" that the current metadata does not name (files of a
  // failed or interrupted write, and files a rewrite replaced) and the store's own temporary files, then
  // the record itself. Does nothing when the metadata cannot be read.
  void _remove_unnamed_files() const;

  // Checks every file the manifest lists against its size and CRC-32. Throws VelmoraError naming the first
  // file that is missing or differs, or the manifest itself when it is absent or unreadable.
  void verify() const;

  // Every fault of the store, one text each, in this order: the manifest's (missing or unreadable, or a
  // listed file missing or differing in size or CRC-32, as verify() words them); the metadata missing or
  // unreadable; then per dataset of "datasets" and per series of "benchmark_dict", in their order, an
  // entry without a valid "file", "dtype", "shape", "index" or "columns", label counts ("index",
  // "columns") that disagree with "shape", and a file that is missing, is not a readable .npy file, or
  // whose header disagrees with the recorded dtype and shape. Empty when the store is sound. Reads only
  // headers, never cells; takes no lock.
  std::vector<std::string> faults() const;

 protected:
  // The work of `load` over metadata already read (nothing: the store has none), so that a subclass that
  // looks at the metadata to choose its keys reads the file once.
  std::optional<Payload> load_with(const std::optional<Value>& metadata, const std::optional<std::string>& start_date,
                                   const std::optional<std::string>& end_date,
                                   const std::optional<std::vector<std::string>>& keys, bool mmap) const;

  // Runs `load_from` over the current metadata. When it fails with VelmoraError and the metadata file has
  // changed meanwhile (a writer switched the store and removed files that the old metadata named), runs it
  // again over the new metadata, up to MAX_LOAD_ATTEMPTS times in all.
  using LoadFrom = std::function<std::optional<Payload>(const std::optional<Value>& metadata)>;
  std::optional<Payload> load_consistently(const LoadFrom& load_from) const;
  static constexpr int MAX_LOAD_ATTEMPTS = 5;

 private:
  // The metadata, or nothing when the store has no metadata file. Throws as load_metadata does.
  std::optional<Value> read_metadata() const;
  // The metadata file's bytes, or nothing when the store has none.
  std::optional<std::string> read_metadata_bytes() const;
  // The metadata map in `bytes`. Throws VelmoraError naming the file when they are not a pickled map.
  Value parse_metadata(const std::string& bytes) const;

  std::filesystem::path store_dir_;
  OrderedMap<std::string> matrix_dtype_;
  std::int64_t version_;
  std::string float_dtype_;
};

}  // namespace velmora::backtest
