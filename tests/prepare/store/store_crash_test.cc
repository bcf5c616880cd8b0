// A writer killed at any moment leaves a loadable store in its complete old or complete new state. A child
// process rewrites the store over and over (two payloads of different shapes, and a component supplement in
// between) and is killed with SIGKILL after delays spread over its write cycle; after each kill the parent
// loads the store and checks every cell.

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store_fixture.h"
#include "support/temp_dir.h"
#include "velmora/backtest/store.h"

namespace velmora::backtest {
namespace {

namespace fs = std::filesystem;
using testing::sample_payload;
using testing::TempDir;

const std::string C1 = "rq_index_components_new_000300.XSHG";
const std::string X = "rq_index_components_new_000905.XSHG";

// Every matrix and series of `loaded` equals the one of `expected` (or `extra` for the supplemented
// component), and `loaded` holds all of `expected`'s matrices.
bool same_data(const Payload& expected, const Payload& loaded, const WideMatrix* extra) {
  std::size_t matrices = 0;
  for (const auto& key : loaded.data.keys()) {
    const WideMatrix* matrix = loaded.data.find_matrix(key);
    if (!matrix) continue;
    ++matrices;
    const WideMatrix* want = key == component_dataset_key(X) ? extra : expected.data.find_matrix(key);
    if (!want || !identical(*want, *matrix)) return false;
  }
  std::size_t expected_matrices = expected.data.size() - 1 + (extra ? 1 : 0);
  if (matrices != expected_matrices) return false;
  const BenchmarkDict* series = expected.data.benchmark_dict();
  const BenchmarkDict* got = loaded.data.benchmark_dict();
  if (!got || got->keys() != series->keys()) return false;
  for (const auto& [name, values] : *series) {
    if (!identical(values, got->at(name))) return false;
  }
  return true;
}

TEST(StoreCrashTest, AKilledWriterLeavesTheCompleteOldOrNewStore) {
  TempDir dir;
  BinaryPreparedDataStore store(dir.path(), std::vector<std::string>{C1, X});
  const Payload a = sample_payload(40, 30, 1, {C1});
  const Payload b = sample_payload(33, 36, 2, {C1});
  const WideMatrix x_mask = testing::mask_matrix(a.data.matrix("close_price").row_labels(),
                                                 a.data.matrix("close_price").column_labels(), 99);
  OrderedMap<WideMatrix> supplement;
  supplement.set(X, x_mask);

  // One cycle of the child's work, timed once so that the kill delays cover it.
  auto cycle = [&] {
    store.write(b);
    store.write(a);
    store.add_component_matrices(supplement, std::vector<std::string>{C1, X});
  };
  auto started = std::chrono::steady_clock::now();
  cycle();
  auto cycle_time = std::chrono::steady_clock::now() - started;

  constexpr int KILLS = 48;
  std::set<std::string> states_seen;
  for (int i = 0; i < KILLS; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        while (true) cycle();
      } catch (...) {
        _exit(3);
      }
    }
    std::this_thread::sleep_for(cycle_time * (i % 16) / 8 + std::chrono::microseconds(97 * i));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own, status " << status;

    std::optional<Payload> loaded;
    ASSERT_NO_THROW(loaded = store.load()) << "kill " << i;
    ASSERT_TRUE(loaded.has_value());
    int variant = loaded->meta["variant"].get<int>();
    bool supplemented = loaded->data.contains(component_dataset_key(X));
    const Payload& expected = variant == 1 ? a : b;
    EXPECT_TRUE(same_data(expected, *loaded, supplemented ? &x_mask : nullptr)) << "kill " << i;
    if (supplemented) {
      EXPECT_EQ(loaded->meta["component_names"], Value::array({C1, X})) << "kill " << i;
    } else {
      EXPECT_EQ(pickle_dumps(loaded->meta), pickle_dumps(expected.meta)) << "kill " << i;
    }
    states_seen.insert(std::to_string(variant) + (supplemented ? "+x" : ""));
  }
  RecordProperty("states_seen", static_cast<int>(states_seen.size()));

  // The next complete write removes whatever the killed writers left behind.
  store.write(a);
  std::set<std::string> expected = {METADATA_FILE_NAME, MANIFEST_FILE_NAME};
  Value metadata = store.load_metadata();
  for (const char* section : {"datasets", "benchmark_dict"}) {
    for (const auto& [key, entry] : metadata[section].items()) expected.insert(entry["file"].get<std::string>());
  }
  std::set<std::string> present;
  for (const auto& item : fs::directory_iterator(dir.path())) present.insert(item.path().filename().string());
  EXPECT_EQ(present, expected);
  EXPECT_NO_THROW(store.verify());
}

// Kills and reaps a child process when it goes out of scope, so a failing check never leaves it running.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ~ChildGuard() { stop(); }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  // The child's wait status after SIGKILL.
  int stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return status_;
  }

 private:
  pid_t pid_;
  int status_ = 0;
};

TEST(StoreCrashTest, ReadersDuringRewritesSeeTheOldOrNewStore) {
  TempDir dir;
  BinaryPreparedDataStore store(dir.path(), std::vector<std::string>{C1});
  const Payload a = sample_payload(40, 30, 1, {C1});
  const Payload b = sample_payload(33, 36, 2, {C1});
  store.write(a);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    try {
      while (true) {
        store.write(b);
        store.write(a);
      }
    } catch (...) {
      _exit(3);
    }
  }
  ChildGuard writer(pid);
  // Files the loaded metadata names may vanish while a load runs; the load then starts over on the new
  // metadata instead of failing.
  // Loads go on until the store has switched 40 times under them (bounded by a number of loads).
  int switches = 0, last_variant = 1;
  for (int i = 0; i < 20000 && switches < 40; ++i) {
    std::optional<Payload> loaded;
    ASSERT_NO_THROW(loaded = store.load(std::nullopt, std::nullopt, std::nullopt, i % 2 == 0)) << "load " << i;
    int variant = loaded->meta["variant"].get<int>();
    EXPECT_TRUE(same_data(variant == 1 ? a : b, *loaded, nullptr)) << "load " << i;
    switches += variant != last_variant;
    last_variant = variant;
  }
  int status = writer.stop();
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own, status " << status;
  RecordProperty("switches_seen", switches);
}

}  // namespace
}  // namespace velmora::backtest
