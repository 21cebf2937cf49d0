#include "log_gate.hpp"

#include "module.hpp"
#include "watch.hpp"

#include <array>
#include <cstdint>

namespace zorvik::core {

namespace {

// A "dropped" answer and what it was given for; the logger is borrowed from
// the watched namespace, so it lives while the generation stands.
struct Answer {
    PyObject* logger = nullptr;
    PyTypeObject* type = nullptr;
    unsigned version = 0;
    std::uint64_t generation = 0;
};
std::array<Answer, 2> answers;  // info, warning

Answer& answer_for(py::LogLevel level) { return answers[level == py::LogLevel::info ? 0 : 1]; }

bool still_valid(const Answer& a) {
    return a.logger && a.generation == watch::generation() && Py_TYPE(a.logger) == a.type &&
           a.type->tp_version_tag == a.version;
}

Ref item(Borrowed dict, PyObject* key) {
    PyObject* value = nullptr;
    py::check(PyDict_GetItemRef(dict.get(), key, &value));
    return py::steal(value);
}

// Watches what the gate reads; false when the logger is not the one bound
// in the namespace itself (a fallback to builtins is not watched).
bool watch_inputs(Borrowed logger) {
    if (!item(mod().globals, names().logger).is(logger)) return false;
    Ref attributes = py::steal_or_throw(PyObject_GenericGetDict(logger.get(), nullptr));
    watch::add(attributes);
    Ref cache = item(attributes, names()._cache);
    if (cache && PyDict_Check(cache.get())) watch::add(cache);
    return true;
}

}  // namespace

bool log_dropped(py::LogLevel level) {
    Answer& a = answer_for(level);
    if (still_valid(a)) return true;
    a = {};
    Ref logger = module_global(names().logger);
    if (!py::logger_drops(logger, level)) return false;
    PyTypeObject* type = logger.type();
    if (!watch::enabled() || type->tp_version_tag == 0 || !watch_inputs(logger)) return true;
    // Asked again now that everything it reads is watched: a change from
    // here on moves the generation.
    const std::uint64_t start = watch::generation();
    if (!py::logger_drops(logger, level)) return false;
    if (watch::generation() == start && Py_TYPE(logger.get()) == type)
        a = {logger.get(), type, type->tp_version_tag, start};
    return true;
}

}  // namespace zorvik::core
