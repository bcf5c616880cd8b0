// velmora._http: the signed client of the cloud service and its API path prefix.

#include "velmora/http_client.h"

#include <pybind11/pybind11.h>

#include "common/errors.h"
#include "common/values.h"

namespace py = pybind11;
using namespace pybind11::literals;

PYBIND11_MODULE(_http, m) {
  using namespace velmora;
  python::register_error_translation();
  // Each docstring opens with its Python signature ("name(args)\n--\n\n"), which inspect.signature reads.
  // A method's (__init__ included, the class's own docstring then unread) starts with a plain `self`, not
  // `$self`: a pybind11 function's __self__ is a capsule, so inspect would drop `$self` as already bound.
  pybind11::options options;
  options.disable_function_signatures();
  m.doc() = "The signed client of the velmora cloud service.";
  m.attr("API_PREFIX") = API_PREFIX;

  py::class_<HttpClient>(m, "HttpClient",
                         "Sends GET requests for API paths below `base_url`, with `token` as a bearer token, "
                         "and returns the decoded JSON answer.")
      .def(py::init<std::string, std::string>(), "base_url"_a, "token"_a = "",
           "__init__(self, base_url, token='')\n--\n\n")
      .def("__repr__",
           [](const HttpClient& self) {
             // The token is a secret: the repr says only whether one is set.
             return "HttpClient(" + py::repr(py::str(self.base_url())).cast<std::string>() +
                    (self.has_token() ? ", token=<set>)" : ")");
           })
      .def_property_readonly("base_url", &HttpClient::base_url)
      .def(
          "get",
          [](const HttpClient& self, const std::string& path) {
            Value answer;
            {
              py::gil_scoped_release release;
              answer = self.get(path);
            }
            return python::to_python(answer);
          },
          "path"_a, "get(self, /, path)\n--\n\nThe decoded answer for base_url + path: a dict, or None for an empty answer.");
}
