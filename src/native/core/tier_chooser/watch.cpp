#include "watch.hpp"

#include "py/error.hpp"

namespace zorvik::core::watch {

namespace detail {
int watcher = -1;
std::uint64_t counter = 1;
}  // namespace detail

namespace {

using detail::counter;
using detail::watcher;

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++counter;
    return 0;
}

}  // namespace

void init() {
    if (watcher >= 0) return;
    watcher = PyDict_AddWatcher(on_change);
    if (watcher < 0) PyErr_Clear();
}

void add(py::Borrowed dict) { py::check(PyDict_Watch(watcher, dict.get())); }

}  // namespace zorvik::core::watch
