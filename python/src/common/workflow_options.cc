#include "common/workflow_options.h"

namespace velmora::python {

std::shared_ptr<py::object> held_callable(py::object callable) {
  if (callable.is_none()) return nullptr;
  return std::shared_ptr<py::object>(new py::object(std::move(callable)), [](py::object* object) {
    py::gil_scoped_acquire gil;
    delete object;
  });
}

std::function<void(const std::string&)> text_progress(py::object progress) {
  std::shared_ptr<py::object> held = held_callable(std::move(progress));
  if (!held) return {};
  return [held](const std::string& text) {
    py::gil_scoped_acquire gil;
    (*held)(text);
  };
}

StoreLockOptions lock_options(bool wait, py::object waiting) {
  StoreLockOptions options;
  options.wait = wait ? LockWait::yes : LockWait::no;
  if (std::shared_ptr<py::object> held = held_callable(std::move(waiting))) {
    options.waiting = [held](pid_t holder) {
      py::gil_scoped_acquire gil;
      (*held)(holder);
    };
  }
  return options;
}

}  // namespace velmora::python
