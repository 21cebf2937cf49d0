// PythonSkillRunner: loads a script skill afresh, runs it with a new context
// and turns whatever happens into a PythonSkillResult.
#include "runner.hpp"

#include "context.hpp"
#include "messages.hpp"

#include <new>
#include <optional>

namespace zorvik::skills {

namespace {

using py::Param;
using py::PyError;
using py::Type;

// Texts computed from a module-level object and a str, kept per str for as
// long as the same object stays bound (it is held, so a later binding cannot
// take its address).
class Memo {
public:
    template <class F>
    Ref get(Borrowed source, Borrowed key, F&& compute) {
        if (!source_.is(source) || !table_) {
            source_ = py::borrow(source);
            table_ = py::steal_or_throw(PyDict_New());
        }
        PyObject* hit = nullptr;
        if (PyDict_GetItemRef(table_.get(), key.get(), &hit) < 0) py::throw_pending();
        if (hit) return py::steal(hit);
        Ref value = compute();
        if (PyDict_GET_SIZE(table_.get()) >= limit) PyDict_Clear(table_.get());
        py::check(PyDict_SetItem(table_.get(), key.get(), value.get()));
        return value;
    }

private:
    static constexpr Py_ssize_t limit = 256;
    Ref source_;
    Ref table_;
};

struct Cache {
    Ref iscoroutinefunction;  // inspect.iscoroutinefunction
    Memo scripts;             // skill name -> str(SKILLS_DIR / "<name>.py")
    Memo directories;         // script path -> str(Path(script_path).parent)
};
py::Static<Cache> cache;

Ref concat(const char* prefix, Borrowed text) {
    return py::steal_or_throw(PyUnicode_FromFormat("%s%U", prefix, text.get()));
}

Ref now() {
    Ref time = module_global(names().time);
    return py::call_method(time, names().time);
}

Ref elapsed(Borrowed start) { return py::steal_or_throw(PyNumber_Subtract(now().get(), start.get())); }

// A failure found before the skill ran: no logs, no duration.
Ref early_failure(Borrowed skill_name, Borrowed error) {
    const Names& n = names();
    return py::call_kw(module_global(n.PythonSkillResult), {},
                       {{n.success, Py_False}, {n.skill_name, skill_name}, {n.error, error}});
}

// The ValueError text the context would raise for this name, or nothing.
Ref refusal_of(Borrowed skill_name) {
    try {
        check_skill_name(skill_name);
        return {};
    } catch (PyError& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::str_of(e.value());
    }
}

// SKILLS_DIR / "<skill_name>.py", as text.
Ref default_script(Borrowed skill_name) {
    Ref skills_dir = module_global(names().SKILLS_DIR);
    return cache->scripts.get(skills_dir, skill_name, [&] {
        Ref file = py::steal_or_throw(PyUnicode_FromFormat("%U.py", skill_name.get()));
        return py::str_of(py::steal_or_throw(PyNumber_TrueDivide(skills_dir.get(), file.get())));
    });
}

bool script_exists(Borrowed script_path) {
    const Names& n = names();
    Ref os_path = py::getattr(module_global(n.os), n.path);
    return py::truth(py::call_method(os_path, n.exists, script_path));
}

// Makes modules beside the skill file importable; each directory is added
// once per process and never removed.
void add_skill_directory(Borrowed script_path) {
    const Names& n = names();
    Ref path_type = module_global(n.Path);
    Ref directory = cache->directories.get(
        path_type, script_path, [&] { return py::str_of(py::getattr(py::call(path_type, script_path), n.parent)); });
    Ref search_path = py::getattr(module_global(n.sys), n.path);
    int present = PySequence_Contains(search_path.get(), directory.get());
    py::check(present);
    if (!present) {
        Ref front = py::steal_or_throw(PyLong_FromLong(0));
        py::call_method(search_path, n.insert, front, directory);
    }
}

// The interpreter's test for coroutine functions, plus the legacy marker
// that asyncio's own test also accepts, so the verdicts stay the same. A
// plain `async def` function is recognised at once by its code flags, as
// inspect does for plain functions.
bool is_coroutine_function(Borrowed run) {
    const Names& n = names();
    if (Py_IS_TYPE(run.get(), &PyFunction_Type)) {
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(run.get()));
        if (code->co_flags & CO_COROUTINE) return true;
    }
    if (py::truth(py::call(cache->iscoroutinefunction, run))) return true;
    PyObject* marker = nullptr;
    if (PyObject_GetOptionalAttr(run.get(), n._is_coroutine, &marker) < 0) py::throw_pending();
    if (!marker) return false;
    Ref held = py::steal(marker);
    Ref coroutines = py::getattr(module_global(n.asyncio), n.coroutines);
    return held.is(py::getattr(coroutines, n._is_coroutine));
}

// A skill's answer as a dict: anything else becomes {"result": str(value)}.
Ref as_result_dict(Ref value) {
    if (PyDict_Check(value.get())) return value;
    Ref wrapped = py::steal_or_throw(PyDict_New());
    py::check(PyDict_SetItem(wrapped.get(), names().result, py::str_of(value).get()));
    return wrapped;
}

// result.get("success", True), without conversion to bool.
Ref success_of(Borrowed result) {
    const Names& n = names();
    if (!PyDict_CheckExact(result.get())) return py::call_method(result, n.get, n.success, Py_True);
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(result.get(), n.success, &value) < 0) py::throw_pending();
    return value ? py::steal(value) : py::boolean(true);
}

// The regular files in OUTPUT_DIR / skill_name, in the order the file
// system lists them; none when the directory does not exist. The directory
// is listed straight away and its existence asked only when that fails,
// which spares a file-system call on every run and ends the same way.
Ref output_files(Borrowed skill_name) {
    const Names& n = names();
    Ref files = py::steal_or_throw(PyList_New(0));
    Ref directory = py::steal_or_throw(PyNumber_TrueDivide(module_global(n.OUTPUT_DIR).get(), skill_name.get()));
    Ref entries;
    try {
        entries = py::steal_or_throw(PyObject_GetIter(py::call_method(directory, n.iterdir).get()));
    } catch (PyError& e) {
        if (!e.matches(PyExc_OSError) || py::truth(py::call_method(directory, n.exists))) throw;
        return files;
    }
    PyObject* item = nullptr;
    int more;
    while ((more = PyIter_NextItem(entries.get(), &item)) > 0) {
        Ref entry = py::steal(item);
        if (py::truth(py::call_method(entry, n.is_file)))
            py::check(PyList_Append(files.get(), py::str_of(entry).get()));
    }
    py::check(more);
    return files;
}

// Steps from locating the loader to the successful result; any exception
// leaving here is the caller's to report.
py::Task<Ref> load_and_run(Borrowed ctx, Borrowed skill_name, Borrowed params, Borrowed script_path, Borrowed start) {
    const Names& n = names();
    Ref util = py::getattr(module_global(n.importlib), n.util);
    Ref spec = py::call_method(util, n.spec_from_file_location, concat(msg::module_prefix, skill_name), script_path);
    if (spec.is_none() || py::getattr(spec, n.loader).is_none())
        co_return early_failure(skill_name, concat(msg::load_failed, script_path));
    Ref module = py::call_method(util, n.module_from_spec, spec);
    add_skill_directory(script_path);
    py::call_method(py::getattr(spec, n.loader), n.exec_module, module);

    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), n.run, &found) < 0) py::throw_pending();
    if (!found) co_return early_failure(skill_name, py::text(msg::no_run));
    Ref run = py::steal(found);
    if (!is_coroutine_function(run)) co_return early_failure(skill_name, py::text(msg::run_not_async));

    log(ctx, concat(msg::starting, skill_name));
    Ref result = as_result_dict(co_await py::call(run, ctx, params));
    Ref success = success_of(result);
    Ref files = output_files(skill_name);
    Ref logs = py::call_method(ctx, n.get_logs);
    Ref duration = elapsed(start);
    co_return py::call_kw(module_global(n.PythonSkillResult), {},
                          {{n.success, success},
                           {n.skill_name, skill_name},
                           {n.result, result},
                           {n.logs, logs},
                           {n.duration, duration},
                           {n.output_files, files}});
}

// While alive, `exc` is the exception being handled, as inside an
// `except` block: traceback.format_exc() and sys.exception() see it, and
// exceptions raised meanwhile take it as their context.
class Handling {
public:
    explicit Handling(Borrowed exc) noexcept : saved_(py::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc.get());
    }
    ~Handling() { PyErr_SetHandledException(saved_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref saved_;
};

// A skill that failed: the traceback to the module logger, a last log entry
// and a failed result.
Ref report_failure(Borrowed ctx, Borrowed skill_name, Borrowed exc, Borrowed start) {
    const Names& n = names();
    Handling handling(exc);
    Ref traceback = py::call_method(module_global(n.traceback), n.format_exc);
    log(ctx, py::steal_or_throw(PyUnicode_FromFormat("%s%S", msg::fatal, exc.get())));
    Ref line = py::steal_or_throw(PyUnicode_FromFormat("%s%U%s%U", msg::skill_failed_prefix, skill_name.get(),
                                                       msg::skill_failed_suffix, traceback.get()));
    py::call_method(module_global(n.logger), n.error, line);
    Ref type_name = py::steal_or_throw(PyType_GetName(exc.type()));
    Ref error = py::steal_or_throw(PyUnicode_FromFormat("%U: %S", type_name.get(), exc.get()));
    Ref logs = py::call_method(ctx, n.get_logs);
    Ref duration = elapsed(start);
    return py::call_kw(
        module_global(n.PythonSkillResult), {},
        {{n.success, Py_False}, {n.skill_name, skill_name}, {n.error, error}, {n.logs, logs}, {n.duration, duration}});
}

// An exception raised by the clean-up while another was on its way out
// records that one as its context, as a `finally` block would.
void chain(const PyError& raised, const PyError& pending) {
    Ref context = py::steal(PyException_GetContext(raised.value().get()));
    if (!context && !raised.value().is(pending.value()))
        PyException_SetContext(raised.value().get(), py::borrow(pending.value()).release());
}

PyError memory_error() {
    PyErr_NoMemory();
    return PyError::fetch();
}

py::Task<Ref> run_body(const Args& a) {
    Borrowed self = a[0], skill_name = a[1], params = a[2];
    const Names& n = names();
    if (Ref refusal = refusal_of(skill_name)) co_return early_failure(skill_name, refusal);

    Ref start = now();
    Ref script_path = a[3].is_none() ? default_script(skill_name) : py::borrow(a[3]);
    if (!script_exists(script_path)) co_return early_failure(skill_name, concat(msg::script_not_found, script_path));

    Ref ctx = py::call_kw(module_global(n.ZorvikContext), {},
                          {{n.skill_name, skill_name}, {n.llm_model, py::getattr(self, n._llm_model)}});
    Ref result;
    std::optional<PyError> failure;
    try {
        result = co_await load_and_run(ctx, skill_name, params, script_path, start);
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    } catch (std::bad_alloc&) {
        failure.emplace(memory_error());
    }
    if (failure && failure->is_exception()) {
        try {
            result = report_failure(ctx, skill_name, failure->value(), start);
            failure.reset();
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
    }

    std::optional<PyError> cleanup_failure;
    try {
        co_await py::call_method(ctx, n.cleanup);
    } catch (PyError& e) {
        cleanup_failure.emplace(std::move(e));
    }
    if (cleanup_failure) {
        if (failure) chain(*cleanup_failure, *failure);
        throw std::move(*cleanup_failure);
    }
    if (failure) throw std::move(*failure);
    co_return result;
}

Ref init(const Args& a) {
    py::setattr(a[0], names()._llm_model, a[1]);
    return py::none();
}

constexpr Param init_params[] = {
    py::self_param,
    {"llm_model", Type::str, py::defaults::text(msg::default_model)},
};

constexpr Param run_params[] = {
    py::self_param,
    {"skill_name", Type::str},
    {"params", Type::dict, {}, false, "dict[str, Any]"},
    {"script_path", Type::str, py::defaults::none, true},
};

constexpr py::FunctionDef run_def{"run",    run_params,      msg::run_doc,       nullptr,
                                  run_body, py::Result::any, "PythonSkillResult"};
const py::FunctionDef* const runner_methods[] = {&run_def};

constexpr py::FunctionDef init_def{"__init__", init_params, nullptr, init, nullptr, py::Result::any, "None"};
constexpr py::ClassDef runner_class{"PythonSkillRunner", msg::runner_doc, init_def, runner_methods};

}  // namespace

Ref make_runner_type() {
    cache.emplace().iscoroutinefunction = py::getattr(py::import("inspect"), "iscoroutinefunction");
    return py::make_class(module_name, runner_class);
}

}  // namespace zorvik::skills
