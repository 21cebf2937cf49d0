// PythonSkillRunner: loads a script skill afresh, runs it with a new context
// and turns whatever happens into a PythonSkillResult.
#include "context.hpp"
#include "messages.hpp"

namespace zorvik::skills {

namespace {

using py::Held;
using py::PyError;
using py::Type;

Ref now() { return py::call(global_attr(id<"time">, id<"time">)); }

Ref elapsed(Borrowed start) { return py::steal_or_throw(PyNumber_Subtract(now().get(), start.get())); }

// PythonSkillResult(**fields), the class as the module binds it now.
Ref make_result(std::initializer_list<py::Kw> fields) {
    return py::call_kw(module_global(id<"PythonSkillResult">), {}, fields);
}

// A failure found before the skill ran: no logs, no duration.
Ref early_failure(Borrowed skill_name, Borrowed error) {
    return make_result({{id<"success">, Py_False}, {id<"skill_name">, skill_name}, {id<"error">, error}});
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

// str(SKILLS_DIR / "<skill_name>.py")
Ref default_script(Borrowed skill_name) {
    Ref file = py::steal_or_throw(PyUnicode_FromFormat("%U.py", skill_name.get()));
    return py::str_of(py::steal_or_throw(PyNumber_TrueDivide(module_global(id<"SKILLS_DIR">).get(), file.get())));
}

bool script_exists(Borrowed script_path) {
    return py::truth(py::call_method(global_attr(id<"os">, id<"path">), id<"exists">, script_path));
}

Ref make_context(Borrowed runner, Borrowed skill_name) {
    return py::call_kw(module_global(id<"ZorvikContext">), {},
                       {{id<"skill_name">, skill_name}, {id<"llm_model">, py::getattr(runner, id<"_llm_model">)}});
}

// Makes modules beside the skill file importable; each directory is added
// once per process and never removed.
void add_skill_directory(Borrowed script_path) {
    Ref directory = py::str_of(py::getattr(py::call(module_global(id<"Path">), script_path), id<"parent">));
    Ref search_path = global_attr(id<"sys">, id<"path">);
    int present = PySequence_Contains(search_path.get(), directory.get());
    py::check(present);
    if (!present) py::call_method(search_path, id<"insert">, py::steal_or_throw(PyLong_FromLong(0)), directory);
}

// The skill file executed as a new module, or nothing when the import
// machinery has no loader for it.
Ref load_module(Borrowed skill_name, Borrowed script_path) {
    Ref util = global_attr(id<"importlib">, id<"util">);
    Ref name = prefixed(msg::module_prefix, skill_name);
    Ref spec = py::call_method(util, id<"spec_from_file_location">, name, script_path);
    if (spec.is_none()) return {};
    Ref loader = py::getattr(spec, id<"loader">);
    if (loader.is_none()) return {};
    Ref module = py::call_method(util, id<"module_from_spec">, spec);
    add_skill_directory(script_path);
    py::call_method(loader, id<"exec_module">, module);
    return module;
}

// asyncio's own test for coroutine functions (the one asyncio.iscoroutinefunction
// applies, without its deprecation warning), read through the module's asyncio.
bool is_coroutine_function(Borrowed run) {
    Ref coroutines = global_attr(id<"asyncio">, id<"coroutines">);
    return py::truth(py::call_method(coroutines, id<"_iscoroutinefunction">, run));
}

// A skill's answer as a dict: anything else becomes {"result": str(value)}.
Ref as_result_dict(Ref value) {
    if (PyDict_Check(value.get())) return value;
    Ref wrapped = py::steal_or_throw(PyDict_New());
    py::check(PyDict_SetItem(wrapped.get(), id<"result">, py::str_of(value).get()));
    return wrapped;
}

// The regular files in OUTPUT_DIR / skill_name, in the order the file
// system lists them; none when the directory does not exist.
Ref output_files(Borrowed skill_name) {
    Ref files = py::steal_or_throw(PyList_New(0));
    Ref directory = py::steal_or_throw(PyNumber_TrueDivide(module_global(id<"OUTPUT_DIR">).get(), skill_name.get()));
    if (!py::truth(py::call_method(directory, id<"exists">))) return files;
    Ref entries = py::steal_or_throw(PyObject_GetIter(py::call_method(directory, id<"iterdir">).get()));
    PyObject* item = nullptr;
    int more;
    while ((more = PyIter_NextItem(entries.get(), &item)) > 0) {
        Ref entry = py::steal(item);
        if (py::truth(py::call_method(entry, id<"is_file">)))
            py::check(PyList_Append(files.get(), py::str_of(entry).get()));
    }
    py::check(more);
    return files;
}

// Steps from locating the loader to the successful result; any exception
// leaving here is the caller's to report.
py::Task<Ref> load_and_run(Borrowed ctx, Borrowed skill_name, Borrowed params, Borrowed script_path, Borrowed start) {
    Held module = load_module(skill_name, script_path);
    if (!module) co_return early_failure(skill_name, prefixed(msg::load_failed, script_path));
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), id<"run">, &found) < 0) py::throw_pending();
    Held run = py::steal(found);
    if (!run) co_return early_failure(skill_name, py::text(msg::no_run));
    if (!is_coroutine_function(run)) co_return early_failure(skill_name, py::text(msg::run_not_async));

    log(ctx, prefixed(msg::starting, skill_name));
    Ref result = as_result_dict(co_await py::call(run, ctx, params));
    Ref success = py::call_method(result, id<"get">, id<"success">, Py_True);
    Ref files = output_files(skill_name);
    Ref logs = py::call_method(ctx, id<"get_logs">);
    co_return make_result({{id<"success">, success},
                           {id<"skill_name">, skill_name},
                           {id<"result">, result},
                           {id<"logs">, logs},
                           {id<"duration">, elapsed(start)},
                           {id<"output_files">, files}});
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

// What a skill raised that makes a failed run: any Exception, and SystemExit,
// since a skill calling sys.exit() must not end the host. Cancellation,
// KeyboardInterrupt and a coroutine being closed pass to the caller.
bool is_skill_failure(Borrowed exc) {
    return PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception) ||
           PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit);
}

// A skill that failed: the traceback to the module logger, a last log entry
// and a failed result.
Ref report_failure(Borrowed ctx, Borrowed skill_name, Borrowed exc, Borrowed start) {
    Handling handling(exc);
    Ref traceback = py::call(global_attr(id<"traceback">, id<"format_exc">));
    log(ctx, py::steal_or_throw(PyUnicode_FromFormat("%s%S", msg::fatal, exc.get())));
    Ref line = py::steal_or_throw(PyUnicode_FromFormat("%s%U%s%U", msg::skill_failed_prefix, skill_name.get(),
                                                       msg::skill_failed_suffix, traceback.get()));
    py::call_method(module_global(id<"logger">), id<"error">, line);
    Ref type_name = py::steal_or_throw(PyType_GetName(exc.type()));
    Ref error = py::steal_or_throw(PyUnicode_FromFormat("%U: %S", type_name.get(), exc.get()));
    Ref logs = py::call_method(ctx, id<"get_logs">);
    return make_result({{id<"success">, Py_False},
                        {id<"skill_name">, skill_name},
                        {id<"error">, error},
                        {id<"logs">, logs},
                        {id<"duration">, elapsed(start)}});
}

py::Task<Ref> run_body(const Args& a) {
    Borrowed self = a[0], skill_name = a[1], params = a[2];
    if (Ref refusal = refusal_of(skill_name)) co_return early_failure(skill_name, refusal);

    Held start = now();
    Held script_path = a[3].is_none() ? default_script(skill_name) : py::borrow(a[3]);
    if (!script_exists(script_path)) co_return early_failure(skill_name, prefixed(msg::script_not_found, script_path));

    Held ctx = make_context(self, skill_name);
    Held result;
    Held failure;
    try {
        result = co_await load_and_run(ctx, skill_name, params, script_path, start);
    } catch (PyError& e) {
        failure = e.take();
    }
    if (failure && is_skill_failure(failure)) {
        try {
            result = report_failure(ctx, skill_name, failure, start);
            failure = Ref();
        } catch (PyError& e) {
            failure = e.take();
        }
    }

    try {
        co_await py::call_method(ctx, id<"cleanup">);
    } catch (PyError& e) {
        // An exception raised by the clean-up while another was on its way
        // out records that one as its context, as a `finally` block would.
        e.set_context(failure.take());
        throw;
    }
    if (failure) throw PyError(failure.take());
    co_return result.take();
}
constexpr py::FunctionDef run_def{
    .name = "run", .body = run_body,
    .params = {py::self_param,
               {"skill_name", Type::str},
               {"params", Type::dict, {}, false, "dict[str, Any]"},
               {"script_path", Type::str, py::defaults::none, true}},
    .doc = "Execute a Python skill.\n"
           "        \n"
           "        Args:\n"
           "            skill_name: Name of the skill\n"
           "            params: Parameters passed to the skill's run() function\n"
           "            script_path: Path to the .py file (if None, looks in SKILLS_DIR)\n"
           "        ",
    .returns = "PythonSkillResult"};

Ref init(const Args& a) {
    py::setattr(a[0], id<"_llm_model">, a[1]);
    return py::none();
}
constexpr py::FunctionDef init_def{
    .name = "__init__", .body = init,
    .params = {py::self_param, {"llm_model", Type::str, py::defaults::text(msg::default_model)}}, .returns = "None"};

constexpr const py::FunctionDef* runner_methods[] = {&run_def};
constexpr py::ClassDef runner_class{
    .name = "PythonSkillRunner", .doc = "Loads and executes Python-based skills.", .init = init_def,
    .methods = runner_methods};

}  // namespace

Ref make_runner_type() { return py::make_class(module_name, runner_class); }

}  // namespace zorvik::skills
