// The skill engine module: wires the areas together.
#include "module.hpp"
#include "messages.hpp"
#include "py/module.hpp"

namespace zorvik::skills {

namespace {

constexpr const char* module_doc =
    "Python skill engine: loads and runs script skills.\n\n"
    "Every Python skill must define:\n\n"
    "    async def run(ctx: ZorvikContext, params: dict) -> dict\n";

// What the module body makes once for the process.
struct Module {
    Ref globals;  // the module's namespace: names a host may rebind are read here at each use
};
py::Static<Module> state;

// import <module>, bound under `name`
void bind_import(Borrowed m, const char* name, const char* module) { py::add(m, name, py::import(module)); }

void bind_from(Borrowed m, const char* module, std::initializer_list<const char*> attrs) {
    Ref source = py::import(module);
    for (const char* attr : attrs) py::add(m, attr, py::getattr(source, attr));
}

// Path.home() / ".zorvik" / leaf
Ref home_dir(Borrowed path_type, const char* leaf) {
    Ref base = py::steal_or_throw(
        PyNumber_TrueDivide(py::call_method(path_type, id<"home">).get(), py::text(msg::zorvik_dir).get()));
    return py::steal_or_throw(PyNumber_TrueDivide(base.get(), py::text(leaf).get()));
}

void body(Borrowed m) {
    state.emplace().globals = py::borrow(PyModule_GetDict(m.get()));
    py::add(m, "__doc__", py::text(module_doc));

    bind_import(m, "asyncio", "asyncio");
    py::import("importlib.util");
    bind_import(m, "importlib", "importlib");
    for (const char* name : {"json", "logging", "os", "sys", "time", "traceback"}) bind_import(m, name, name);
    bind_from(m, "dataclasses", {"dataclass", "field"});
    bind_from(m, "pathlib", {"Path"});
    bind_from(m, "typing", {"Any"});

    py::add(m, "logger", py::call(py::getattr(py::getattr(m, "logging"), "getLogger"), py::text(msg::logger_name)));
    Ref path_type = py::getattr(m, "Path");
    py::add(m, "STATE_DIR", home_dir(path_type, "skill_state"));
    py::add(m, "SKILLS_DIR", home_dir(path_type, "skills"));
    py::add(m, "OUTPUT_DIR", home_dir(path_type, "skill_output"));

    py::add(m, "ZorvikContext", make_context_type());
    py::add(m, "PythonSkillResult", make_result_type());
    py::add(m, "PythonSkillRunner", make_runner_type());
}

}  // namespace

Ref module_global(PyObject* name) { return py::lookup_global(state->globals, name); }

Ref global_attr(PyObject* module, PyObject* name) { return py::getattr(module_global(module), name); }

Ref builtin(PyObject* name) { return py::lookup_global(PyEval_GetBuiltins(), name); }

void log(Borrowed ctx, Borrowed message) { py::call_method(ctx, id<"log">, message); }

Ref prefixed(const char* prefix, Borrowed text) {
    return py::steal_or_throw(PyUnicode_FromFormat("%s%U", prefix, text.get()));
}

}  // namespace zorvik::skills

ZORVIK_MODULE(skill_engine, zorvik::skills::body)
