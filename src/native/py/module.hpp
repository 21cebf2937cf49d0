// Multi-phase module initialisation with the two process-wide guards: the
// module can be created in one interpreter of the process only, and its body
// runs once; running it again (importlib.reload, exec_module) is refused.
//
// A module keeps what it makes at initialisation (its classes, the objects
// it imported) in one state struct of its own, filled by its body; the
// layer keeps its two types the same way (runtime.hpp).
#pragma once

#include "error.hpp"

namespace zorvik::py {

using ModuleBody = void (*)(Borrowed module);

PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept;
int exec_module(PyObject* module, const char* name, ModuleBody body) noexcept;

// Adds `value` to the module under `name`.
void add(Borrowed module, const char* name, Ref value);

}  // namespace zorvik::py

// Defines PyInit_<NAME> for a module whose body is the function BODY.
#define ZORVIK_MODULE(NAME, BODY)                                                       \
    namespace {                                                                         \
    int NAME##_exec(PyObject* m) { return ::zorvik::py::exec_module(m, #NAME, BODY); }  \
    PyModuleDef_Slot NAME##_slots[] = {                                                 \
        {Py_mod_create, reinterpret_cast<void*>(::zorvik::py::create_module)},          \
        {Py_mod_exec, reinterpret_cast<void*>(NAME##_exec)},                            \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},           \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                  \
        {0, nullptr},                                                                   \
    };                                                                                  \
    PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME,   nullptr, 0,      nullptr, \
                              NAME##_slots,          nullptr, nullptr, nullptr};        \
    }                                                                                   \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
