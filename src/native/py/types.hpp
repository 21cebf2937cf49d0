// Builders for the classes the modules expose.
//
// Behaviour classes are heap types whose instances keep their attributes in
// the ordinary instance dict (so they read, write and subclass like classes
// written in Python) and whose methods are native functions. Data classes and
// the string enumeration are made by the interpreter's own `dataclasses` and
// `enum`, with native methods in the class namespace.
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <span>

namespace zorvik::py {

// ------------------------------------------------------------ plain classes

struct ClassDef {
    const char* name;                    // e.g. "ZorvikContext"
    const char* doc;                     // the documented text
    std::span<const Param> init_params;  // the instance first
    void (*init)(const Args&);
    std::span<const FunctionDef* const> methods;
};

namespace detail {
PyTypeObject* build_class(const char* module, const ClassDef& def, initproc init, const Signature& sig);
int run_init(const Signature& sig, void (*body)(const Args&), PyObject* self, PyObject* args, PyObject* kwargs);
}  // namespace detail

// One tp_init per class, holding the class's signature.
template <const ClassDef& D>
struct ClassBuilder {
    static inline Static<Signature> sig;
    static int init(PyObject* self, PyObject* args, PyObject* kwargs) {
        return detail::run_init(*sig, D.init, self, args, kwargs);
    }
    static Ref build(const char* module) {
        sig.emplace("__init__", D.init_params);
        PyTypeObject* type = detail::build_class(module, D, &init, *sig);
        sig->set_owner(type);
        return steal(reinterpret_cast<PyObject*>(type));
    }
};

template <const ClassDef& D>
Ref make_class(const char* module) {
    return ClassBuilder<D>::build(module);
}

// Sets each function on the class and lets methods check their instance.
void install_methods(Borrowed type, const char* module, std::span<const FunctionDef* const> methods,
                     std::span<const FunctionDef* const> classmethods = {});

// ------------------------------------------------------------ data classes

struct FieldDefault {
    enum Kind : unsigned char { required, none, text, real, integer, true_, false_, new_list, factory } kind = required;
    const char* text_value = nullptr;
    double real_value = 0.0;
    long long int_value = 0;
    const FunctionDef* factory_def = nullptr;
};

struct FieldDef {
    const char* name;
    const char* annotation;  // kept as text, as written
    FieldDefault def = {};
};

struct DataclassDef {
    const char* name;
    const char* doc;
    std::span<const FieldDef> fields;
    std::span<const FunctionDef* const> methods = {};
    std::span<const FunctionDef* const> classmethods = {};
};

Ref make_dataclass(const char* module, const DataclassDef& def);

// ------------------------------------------------------------ enumeration

struct EnumMember {
    const char* name;
    const char* value;
};

// An enumeration with the bases str and Enum, in that order.
Ref make_str_enum(const char* module, const char* name, std::span<const EnumMember> members);

}  // namespace zorvik::py
