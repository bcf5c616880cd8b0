#pragma once

// Kind checks of Python arguments, made before any work: a mismatch raises TypeError naming the argument and
// the Python type it got. The declared kinds are exact: a tuple is not a list, None passes only where allowed.

#include <optional>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

namespace velmora::python {

namespace py = pybind11;

// The Python type name of `value` ("int", "tuple", "NoneType").
std::string type_name(py::handle value);

std::string require_text(py::handle value, const char* argument);
std::optional<std::string> optional_text(py::handle value, const char* argument);
// A date argument as the library takes it: a pandas.Timestamp, datetime.date or datetime.datetime becomes
// its "YYYYMMDD" text, a numpy.datetime64 its "YYYY-MM-DD" text, an integer (numpy's included, bool not)
// its decimal digits; a missing date (NaT) and every other value are returned unchanged, for the library's
// own checks to judge.
py::object date_argument(py::handle value);
// A list whose elements are all texts.
std::vector<std::string> require_text_list(py::handle value, const char* argument);
std::optional<std::vector<std::string>> optional_text_list(py::handle value, const char* argument);
void require_list(py::handle value, const char* argument);
void require_dict(py::handle value, const char* argument);
// True for None; TypeError for anything that is neither None nor a dict.
bool none_or_dict(py::handle value, const char* argument);

}  // namespace velmora::python
