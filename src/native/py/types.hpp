// Builders for the classes the modules expose.
//
// Behaviour classes are heap types whose instances keep their attributes in
// the ordinary instance dict (so they read, write and subclass like classes
// written in Python) and whose methods are native functions. Data classes and
// the string enumeration are made by the interpreter's own `dataclasses` and
// `enum`, with native methods in the class namespace.
#pragma once

#include "function.hpp"

#include <span>

namespace zorvik::py {

// ------------------------------------------------------------ plain classes

struct ClassDef {
    const char* name;          // the bare name, as a class written in Python has
    const char* doc;           // the documented text
    const FunctionDef& init;   // __init__, the instance first
    std::span<const FunctionDef* const> methods = {};
};

Ref make_class(const char* module, const ClassDef& def);

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
