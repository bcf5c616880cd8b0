#include <cctype>
#include <filesystem>
#include <iostream>

#include "checks.h"
#include "commands.h"
#include "failure.h"
#include "messages.h"
#include "progress.h"
#include "velmora/sample_database.h"

namespace velmora::tool {

namespace {

// Beyond these a sample is no longer a sample: the library's instrument limit, and a century of weekdays.
constexpr std::int64_t MAX_INSTRUMENTS = 11000;
constexpr std::int64_t MAX_DAYS = 26000;

struct SampleCommandOptions {
  std::string db, start = SampleOptions{}.start;
  std::int64_t instruments = static_cast<std::int64_t>(SampleOptions{}.instruments);
  std::int64_t days = static_cast<std::int64_t>(SampleOptions{}.days);
  std::uint64_t seed = SampleOptions{}.seed;
  std::string layout = "by-date";
  bool force = false;
  bool quiet = false;
};

// The row layout --layout names, in any case.
RowLayout checked_layout(const std::string& text) {
  std::string name;
  for (char c : text) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "by-date") return RowLayout::by_date;
  if (name == "by-factor") return RowLayout::by_factor;
  throw UsageError(messages::not_a_choice("--layout", text, "by-date or by-factor"));
}

void run_sample(const SampleCommandOptions& options) {
  SampleOptions sample;
  sample.instruments = static_cast<std::size_t>(checked_size("--instruments", options.instruments, 1, MAX_INSTRUMENTS));
  sample.days = static_cast<std::size_t>(checked_size("--days", options.days, 1, MAX_DAYS));
  sample.start = checked_date("--start", options.start);
  sample.seed = options.seed;
  sample.layout = checked_layout(options.layout);
  check_writable_file("--db", options.db);
  std::error_code error;
  if (!options.force && std::filesystem::exists(options.db, error))
    throw UsageError(messages::exists_without_force("--db", options.db));

  StatusLine status(options.quiet);
  status.show("writing the sample database " + options.db);
  if (status.enabled()) {
    sample.progress = [&status, &options](std::size_t done, std::size_t total) {
      // After the last day the table's index is built, which reports nothing on its own.
      status.show(done < total ? "writing the sample database " + options.db + ": day " + std::to_string(done) +
                                     " of " + std::to_string(total) + ", " +
                                     share_and_estimate(done, total, status.elapsed_seconds())
                               : "indexing the sample database " + options.db);
    };
  }
  SampleSummary summary = write_sample_database(options.db, sample);
  status.finish();
  std::cout << "wrote " << options.db << ": " << summary.instruments << " instruments, " << summary.days
            << " trading days (" << summary.first_date << " to " << summary.last_date << "), "
            << summary.factor_rows << " factor rows, " << summary.index_rows << " index rows\n";
}

}  // namespace

void add_sample_command(CLI::App& app) {
  auto options = std::make_shared<SampleCommandOptions>();
  CLI::App* cmd = app.add_subcommand("sample", "Write a synthetic factor database (deterministic per seed)");
  cmd->add_option("--db", options->db, "database file to write")->required();
  cmd->add_flag("--force", options->force, "replace the file --db names when it exists");
  cmd->add_option("--instruments", options->instruments, "number of instruments (1 to 11000)")->capture_default_str();
  cmd->add_option("--days", options->days, "number of trading days (1 to 26000)")->capture_default_str();
  cmd->add_option("--start", options->start, std::string("first date (") + messages::DATE_FORMS + ")")->capture_default_str();
  cmd->add_option("--seed", options->seed, "random seed")->capture_default_str();
  cmd->add_option("--layout", options->layout, "row order: by-date (every factor of a day together) or by-factor")
      ->capture_default_str();
  cmd->add_flag("--quiet", options->quiet, "no progress on the terminal");
  cmd->callback([options] { run_sample(*options); });
}

}  // namespace velmora::tool
