#pragma once

// A factor service written in Python, seen from C++: any object with get_factors(factor=, start_date=,
// end_date=) and get_index_daily(order_book_ids=, start_date=, end_date=) that answers a pandas.DataFrame or
// None. A call takes the GIL only for the Python call and the conversion of its answer into a QueryTable
// (see common/query_tables.h); the reads of a build run with the GIL released around them. An exception that
// the Python service raises passes through C++ as that exception object.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "velmora/factor_service.h"

namespace velmora::python {

namespace py = pybind11;

class PythonFactorService : public FactorService {
 public:
  explicit PythonFactorService(py::object service);
  ~PythonFactorService() override;

  // The Python object that answers.
  const py::object& object() const { return service_; }

  std::optional<QueryTable> get_factors(const FactorSelection& factor, const std::optional<std::string>& start_date,
                                        const std::optional<std::string>& end_date) override;
  std::optional<QueryTable> get_index_daily(const std::vector<std::string>& order_book_ids,
                                            const std::optional<std::string>& start_date,
                                            const std::optional<std::string>& end_date) override;

 private:
  py::object service_;
};

// True when `object` has both query methods.
bool is_factor_service(py::handle object);

}  // namespace velmora::python
