// Builds a tiny store through the installed headers and libraries and prints its close matrix's shape.
#include <velmora/backtest/depot.h>
#include <velmora/backtest/store.h>
#include <velmora/backtest/wide_matrix.h>

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
  using namespace velmora::backtest;
  if (argc != 2) return 2;
  Payload payload;
  payload.version = PREPARED_DATA_VERSION;
  payload.data.set_matrix("close_price", WideMatrix::from_grid({1.0, 2.0}, Labels{"20240102", "20240103"}, Labels{"000001"}));
  BinaryPreparedDataStore store(argv[1]);
  store.write(payload);
  auto loaded = store.load(std::nullopt, std::nullopt, std::vector<std::string>{"close_price"});
  const WideMatrix& close = loaded->data.matrix("close_price");
  std::printf("%zu x %zu, last %g, chunk %zu\n", close.rows(), close.cols(), close.value(1, 0), DOWNLOAD_CHUNK_SIZE);
  return close.value(1, 0) == 2.0 ? 0 : 1;
}
