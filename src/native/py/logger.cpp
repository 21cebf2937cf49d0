#include "logger.hpp"

#include "call.hpp"

#include <array>

namespace zorvik::py {

namespace {

struct Gate {
    Ref logger_type;
    Ref disabled;                     // "disabled"
    Ref cache;                        // "_cache"
    Ref is_enabled;                   // "isEnabledFor"
    std::array<Ref, 3> method_names;  // "info", "warning", "error"
    std::array<Ref, 3> methods;       // Logger.info, Logger.warning, Logger.error
    Ref is_enabled_method;            // Logger.isEnabledFor
    unsigned int verified_tag = 0;    // the class version last seen untouched
};

Static<Gate> gate;

std::size_t index_of(LogLevel level) {
    switch (level) {
        case LogLevel::info:
            return 0;
        case LogLevel::warning:
            return 1;
        case LogLevel::error:
            return 2;
    }
    return 0;
}

Ref interned(const char* s) { return steal_or_throw(PyUnicode_InternFromString(s)); }

// The class's methods are compared again whenever the class has changed
// since they were last found untouched (its version tag changes with it).
bool class_untouched(Gate& g) {
    auto* type = reinterpret_cast<PyTypeObject*>(g.logger_type.get());
    if (type->tp_version_tag != 0 && type->tp_version_tag == g.verified_tag) return true;
    if (!getattr(g.logger_type, g.is_enabled.get()).is(g.is_enabled_method)) return false;
    for (std::size_t i = 0; i < g.methods.size(); ++i)
        if (!getattr(g.logger_type, g.method_names[i].get()).is(g.methods[i])) return false;
    g.verified_tag = type->tp_version_tag;
    return true;
}

Ref item(Borrowed dict, Borrowed key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict.get(), key.get(), &value) < 0) throw_pending();
    return steal(value);
}

bool has(Borrowed dict, Borrowed key) {
    int found = PyDict_Contains(dict.get(), key.get());
    check(found);
    return found != 0;
}

}  // namespace

void init_logger_gate() {
    if (gate) return;
    Gate& g = gate.emplace();
    Ref logging = import("logging");
    g.logger_type = getattr(logging, "Logger");
    g.disabled = interned("disabled");
    g.cache = interned("_cache");
    g.is_enabled = interned("isEnabledFor");
    g.is_enabled_method = getattr(g.logger_type, g.is_enabled.get());
    const char* method_names[] = {"info", "warning", "error"};
    for (std::size_t i = 0; i < g.methods.size(); ++i) {
        g.method_names[i] = interned(method_names[i]);
        g.methods[i] = getattr(g.logger_type, g.method_names[i].get());
    }
}

bool logger_drops(Borrowed logger, LogLevel level) {
    Gate& g = *gate;
    if (logger.type() != reinterpret_cast<PyTypeObject*>(g.logger_type.get()) || !class_untouched(g)) return false;
    Ref attributes = steal_or_throw(PyObject_GenericGetDict(logger.get(), nullptr));
    if (has(attributes, g.is_enabled) || has(attributes, g.method_names[index_of(level)])) return false;
    Ref disabled = item(attributes, g.disabled);
    if (!disabled || !PyBool_Check(disabled.get())) return false;
    if (disabled.is(Py_True)) return true;
    Ref cache = item(attributes, g.cache);
    if (!cache || !PyDict_CheckExact(cache.get())) return false;
    Ref number = steal_or_throw(PyLong_FromLong(static_cast<long>(level)));
    return item(cache, number).is(Py_False);
}

}  // namespace zorvik::py
