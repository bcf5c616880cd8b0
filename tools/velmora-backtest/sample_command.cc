#include <iostream>

#include "commands.h"
#include "velmora/sample_database.h"

namespace velmora::tool {

void add_sample_command(CLI::App& app) {
  auto options = std::make_shared<SampleOptions>();
  auto db = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand("sample", "Write a synthetic factor database (deterministic per seed)");
  cmd->add_option("--db", *db, "database file to write (replaced if present)")->required();
  cmd->add_option("--instruments", options->instruments, "number of instruments")->capture_default_str();
  cmd->add_option("--days", options->days, "number of trading days")->capture_default_str();
  cmd->add_option("--start", options->start, "first date, YYYYMMDD")->capture_default_str();
  cmd->add_option("--seed", options->seed, "random seed")->capture_default_str();
  cmd->callback([options, db] {
    SampleSummary summary = write_sample_database(*db, *options);
    std::cout << "wrote " << *db << ": " << summary.instruments << " instruments, " << summary.days
              << " trading days (" << summary.first_date << " to " << summary.last_date << "), "
              << summary.factor_rows << " factor rows, " << summary.index_rows << " index rows\n";
  });
}

}  // namespace velmora::tool
