// What the tier chooser's areas share: the module state, the expressions the
// rules are written in, and the builders the module body calls in order.
//
// The rules read module-level names (AVAILABLE_MODELS, logger, Complexity,
// re, ...) as bound at the moment of each use, and call one method from
// another through the instance, so a host or a test that rebinds a name,
// replaces a method or subclasses a class sees its change at once.
#pragma once

#include "messages.hpp"
#include "py/call.hpp"
#include "py/names.hpp"
#include "py/types.hpp"

#include <span>

namespace zorvik::core {

using py::Args;
using py::Borrowed;
using py::id;
using py::Ref;

inline constexpr const char* module_name = "zorvik.core.tier_chooser";

// Made by the module body; nothing is added later.
struct State {
    Ref globals;  // the module namespace
};
const State& state() noexcept;

// A module-level name as bound now; NameError when the host deleted it.
inline Ref global(PyObject* name) { return py::lookup_global(state().globals, name); }

// `item in container`
inline bool contains(Borrowed container, Borrowed item) {
    const int found = PySequence_Contains(container.get(), item.get());
    py::check(found);
    return found != 0;
}
// `mapping[key]`
inline Ref item(Borrowed mapping, Borrowed key) {
    return py::steal_or_throw(PyObject_GetItem(mapping.get(), key.get()));
}
// `bool(a == b)` for Py_EQ, `bool(a != b)` for Py_NE
inline bool compare(Borrowed a, Borrowed b, int op) {
    return py::truth(py::steal_or_throw(PyObject_RichCompare(a.get(), b.get(), op)));
}
// `mapping.get(key, fallback)`
inline Ref get(Borrowed mapping, Borrowed key, Borrowed fallback) {
    return py::call_method(mapping, id<"get">, key, fallback);
}
// `format(value)`: what an f-string shows for `value`
inline Ref format(Borrowed value) { return py::steal_or_throw(PyObject_Format(value.get(), nullptr)); }

// `for x in iterable: if visit(x): break`; whether `visit` stopped the loop.
bool any_of(Borrowed iterable, auto&& visit) {
    Ref iterator = py::steal_or_throw(PyObject_GetIter(iterable.get()));
    while (Ref x = py::steal(PyIter_Next(iterator.get())))
        if (visit(Borrowed(x))) return true;
    if (PyErr_Occurred()) py::throw_pending();
    return false;
}

// `first, second = item`
void unpack_pair(Borrowed item, Ref& first, Ref& second);

// `for key, value in mapping.items(): if visit(key, value): break`. An
// exact dict is walked in place, with the two checks its iterator makes:
// the catalogue walk of `_is_available`, under every selection, would
// otherwise fall below parity with plain Python (bench/bench_tier_chooser.py).
void for_each_item(Borrowed mapping, auto&& visit) {
    if (!PyDict_CheckExact(mapping.get())) {
        any_of(py::call_method(mapping, id<"items">), [&](Borrowed pair) {
            Ref key, value;
            unpack_pair(pair, key, value);
            return visit(Borrowed(key), Borrowed(value));
        });
        return;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(mapping.get());
    Py_ssize_t pos = 0, left = size;
    PyObject *k, *v;
    while (PyDict_Next(mapping.get(), &pos, &k, &v)) {
        if (left-- == 0) py::raise(PyExc_RuntimeError, msg::dict_keys_changed);
        Ref key = py::borrow(k), value = py::borrow(v);
        if (visit(Borrowed(key), Borrowed(value))) return;
        if (PyDict_GET_SIZE(mapping.get()) != size) py::raise(PyExc_RuntimeError, msg::dict_changed_size);
    }
}

// One model of the catalogue, as the module body makes it.
struct CatalogueEntry {
    const py::Name& key;
    const char* id;
    const py::Name& provider;
    const char* display_name;
    const py::Name& tier;  // the Complexity member's name
    const char* description;
    double cost_per_1k_input;
    double cost_per_1k_output;
};
// In catalogue order.
std::span<const CatalogueEntry> catalogue_entries() noexcept;

// Built in the order of the module body.
Ref make_complexity_type();
Ref make_model_spec_type();
Ref make_catalogue(Borrowed complexity_type, Borrowed spec_type);
Ref make_complex_patterns();
Ref make_simple_patterns();
Ref make_classify_function();
Ref make_config_type();
Ref make_router_type();

}  // namespace zorvik::core
