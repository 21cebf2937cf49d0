// The skill engine module: wires the areas together.
#include "py/module.hpp"
#include "context.hpp"
#include "json_fast.hpp"
#include "messages.hpp"
#include "runner.hpp"

namespace zorvik::skills {

namespace {

py::Static<Module> state;

void bind_import(Borrowed m, const char* name, const char* module) { py::add(m, name, py::import(module)); }

void bind_from(Borrowed m, const char* module, std::initializer_list<const char*> attrs) {
    Ref source = py::import(module);
    for (const char* attr : attrs) py::add(m, attr, py::getattr(source, attr));
}

// Path.home() / ".zorvik" / leaf
Ref home_dir(Borrowed path_type, const char* leaf) {
    Ref home = py::call_method(path_type, names().home);
    Ref base = py::steal_or_throw(PyNumber_TrueDivide(home.get(), py::text(msg::zorvik_dir).get()));
    return py::steal_or_throw(PyNumber_TrueDivide(base.get(), py::text(leaf).get()));
}

void body(Borrowed m) {
    intern_names();
    Module& g = state.emplace();
    g.module = py::borrow(m);
    g.globals = py::borrow(PyModule_GetDict(m.get()));
    py::add(m, "__doc__", py::text(msg::module_doc));

    bind_import(m, "asyncio", "asyncio");
    py::import("importlib.util");
    bind_import(m, "importlib", "importlib");
    for (const char* name : {"json", "logging", "os", "sys", "time", "traceback"}) bind_import(m, name, name);
    remember_json(py::getattr(m, "json"));
    bind_from(m, "dataclasses", {"dataclass", "field"});
    bind_from(m, "pathlib", {"Path"});
    bind_from(m, "typing", {"Any"});

    Ref logging = py::getattr(m, "logging");
    py::add(m, "logger", py::call(py::getattr(logging, "getLogger"), py::text(msg::logger_name)));
    Ref path_type = py::getattr(m, "Path");
    py::add(m, "STATE_DIR", home_dir(path_type, "skill_state"));
    py::add(m, "SKILLS_DIR", home_dir(path_type, "skills"));
    py::add(m, "OUTPUT_DIR", home_dir(path_type, "skill_output"));

    g.context_type = make_context_type();
    py::add(m, "ZorvikContext", g.context_type);
    g.result_type = make_result_type();
    py::add(m, "PythonSkillResult", g.result_type);
    g.runner_type = make_runner_type();
    py::add(m, "PythonSkillRunner", g.runner_type);
}

}  // namespace

ZORVIK_DEFINE_NAMES(SKILL_ENGINE_NAMES)

Module& mod() noexcept { return *state; }

Ref module_global(PyObject* name) { return py::lookup_global(state->globals, name); }

void log(Borrowed ctx, Borrowed message) { py::call_method(ctx, names().log, message); }

}  // namespace zorvik::skills

ZORVIK_MODULE(skill_engine, zorvik::skills::body)
