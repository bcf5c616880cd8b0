#pragma once

// Each sub-command registers its options on the application and runs when selected.

#include <CLI/CLI.hpp>

namespace velmora::tool {

void add_sample_command(CLI::App& app);

}  // namespace velmora::tool
