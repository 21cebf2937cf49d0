#include "module.hpp"

#include "call.hpp"
#include "coroutine.hpp"
#include "function.hpp"
#include "messages.hpp"
#include "names.hpp"
#include "runtime.hpp"

namespace zorvik::py {

namespace {
// The two guards, and the layer's state.
PY_INT64_T owner_interpreter = -1;
bool executed = false;
Static<Runtime> runtime_state;
}  // namespace

const Runtime& runtime() noexcept { return *runtime_state; }

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, msg::interpreter_change);
        return nullptr;
    }
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int exec_module(PyObject* module, const char* name, ModuleBody body) noexcept {
    if (executed) {
        PyErr_Format(PyExc_RuntimeError, msg::reinitialisation, name);
        return -1;
    }
    return guard(-1, [&] {
        intern_names();
        Runtime& r = runtime_state.emplace();
        r.coroutine_mark = getattr(import("inspect"), id<"_is_coroutine_mark">);
        r.function_type = make_function_type();
        r.coroutine_type = make_coroutine_type();
        body(module);
        executed = true;
        return 0;
    });
}

void add(Borrowed module, const char* name, Ref value) { check(PyModule_Add(module.get(), name, value.release())); }

}  // namespace zorvik::py
