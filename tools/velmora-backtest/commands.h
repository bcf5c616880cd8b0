#pragma once

// Each command registers its options on the application and runs when selected. Commands parse, check and
// print; the work is the libraries'.

#include <CLI/CLI.hpp>

namespace velmora::tool {

void add_sample_command(CLI::App& app);
void add_build_command(CLI::App& app);
void add_load_command(CLI::App& app);
void add_supplement_command(CLI::App& app);
void add_download_command(CLI::App& app);
void add_package_command(CLI::App& app);
void add_verify_command(CLI::App& app);
void add_update_command(CLI::App& app);
void add_clean_command(CLI::App& app);

}  // namespace velmora::tool
