#include "context.hpp"

#include "log_lines.hpp"
#include "messages.hpp"

namespace zorvik::skills {

namespace {

using py::Param;
using py::Type;

// ZorvikContext(skill_name, llm_client=None, llm_model="gpt-4.1-mini")
constexpr Param init_params[] = {
    py::self_param,
    {"skill_name", Type::str},
    {"llm_client", Type::any, py::defaults::none},
    {"llm_model", Type::str, py::defaults::text(msg::default_model)},
};

Ref path_join(Borrowed base, Borrowed part) { return py::steal_or_throw(PyNumber_TrueDivide(base.get(), part.get())); }

void make_directory(Borrowed path) {
    py::call_method_kw(path, names().mkdir, {}, {{names().parents, Py_True}, {names().exist_ok, Py_True}});
}

Ref init(const Args& a) {
    Borrowed self = a[0], skill_name = a[1];
    check_skill_name(skill_name);
    const auto& n = names();
    py::setattr(self, n.skill_name, skill_name);
    py::setattr(self, n._llm, a[2]);
    py::setattr(self, n._llm_model, a[3]);
    for (PyObject* field : {n._browser_instance, n._browser_context, n._page, n._playwright})
        py::setattr(self, field, Py_None);
    py::setattr(self, n._logs, py::steal_or_throw(PyList_New(0)));
    Ref state_name = py::steal_or_throw(PyUnicode_FromFormat("%U.json", skill_name.get()));
    Ref state_dir = module_global(n.STATE_DIR);
    py::setattr(self, n._state_file, path_join(state_dir, state_name));
    Ref output_dir = path_join(module_global(n.OUTPUT_DIR), skill_name);
    py::setattr(self, n._output_dir, output_dir);
    make_directory(state_dir);
    make_directory(output_dir);
    return py::none();
}

// "[14:03:07] message" into the log; "[skill] message" to the module logger.
Ref log_body(const Args& a) {
    Borrowed self = a[0], message = a[1];
    const auto& n = names();
    Ref entry = join({time_prefix(), message});
    Ref logs = py::getattr(self, n._logs);
    if (PyList_CheckExact(logs.get()))
        py::check(PyList_Append(logs.get(), entry.get()));
    else
        py::call_method(logs, n.append, entry);
    Ref skill_name = py::getattr(self, n.skill_name);
    Ref name_text = PyUnicode_CheckExact(skill_name.get()) ? skill_name : py::str_of(skill_name);
    Ref logger = module_global(n.logger);
    Ref line = join({bracket_open(), name_text, bracket_close(), message});
    py::call_method(logger, n.info, line);
    return py::none();
}

Ref get_logs_body(const Args& a) {
    Ref logs = py::getattr(a[0], names()._logs);
    if (PyList_CheckExact(logs.get())) return py::steal_or_throw(PyList_GetSlice(logs.get(), 0, PY_SSIZE_T_MAX));
    return py::call_method(logs, names().copy);
}

// Awaits `self.<field>.<method>()` when the field is set.
py::Task<void> release_quietly(Borrowed self, PyObject* field, PyObject* method) {
    Ref target = py::getattr(self, field);
    if (py::truth(target)) co_await await_quietly(target, method);
}

py::Task<Ref> browser_close_body(const Args& a) {
    Borrowed self = a[0];
    const auto& n = names();
    co_await release_quietly(self, n._browser_context, py::id<"close">);
    co_await release_quietly(self, n._browser_instance, py::id<"close">);
    int has_driver = PyObject_HasAttrWithError(self.get(), n._playwright);
    if (has_driver < 0) py::throw_pending();
    if (has_driver) co_await release_quietly(self, n._playwright, n.stop);
    for (PyObject* field : {n._page, n._browser_instance, n._browser_context}) py::setattr(self, field, Py_None);
    log(self, py::text(msg::browser_closed));
    co_return py::none();
}

py::Task<Ref> cleanup_body(const Args& a) {
    co_await py::call_method(a[0], names().browser_close);
    co_return py::none();
}

constexpr Param self_only[] = {py::self_param};
constexpr Param log_params[] = {py::self_param, {"message", Type::str}};

const py::FunctionDef* const methods[] = {
    &browser_open_def,
    &browser_navigate_def,
    &browser_click_def,
    &browser_type_def,
    &browser_evaluate_def,
    &browser_get_text_def,
    &browser_wait_def,
    &browser_screenshot_def,
    &browser_upload_def,
    &browser_save_session_def,
    &browser_close_def,
    &llm_ask_def,
    &llm_json_def,
    &create_llm_client_def,
    &write_file_def,
    &read_file_def,
    &create_document_def,
    &shell_def,
    &save_state_def,
    &load_state_def,
    &load_full_state_def,
    &clear_state_def,
    &log_def,
    &get_logs_def,
    &cleanup_def,
};

constexpr py::FunctionDef init_def{"__init__", init_params, nullptr, init, nullptr, py::Result::any, "None"};
constexpr py::ClassDef context_class{"ZorvikContext", msg::context_doc, init_def, methods};

}  // namespace

const py::FunctionDef log_def{"log", log_params, msg::log_doc, log_body, nullptr, py::Result::any, "None"};
const py::FunctionDef get_logs_def{"get_logs", self_only,        msg::get_logs_doc, get_logs_body,
                                   nullptr,    py::Result::list, "list[str]"};
const py::FunctionDef browser_close_def{"browser_close", self_only, msg::browser_close_doc, nullptr, browser_close_body,
                                        py::Result::any, "None"};
const py::FunctionDef cleanup_def{"cleanup",       self_only, msg::cleanup_doc, nullptr, cleanup_body,
                                  py::Result::any, "None"};

py::Task<void> await_quietly(Borrowed target, PyObject* method) {
    try {
        Ref done = co_await py::call_method(target, method);
    } catch (py::PyError& e) {
        if (!e.is_exception()) throw;
    }
}

void check_skill_name(Borrowed name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    auto contains = [&](Py_UCS4 c) { return PyUnicode_FindChar(name.get(), c, 0, length, 1) >= 0; };
    bool dots = PyUnicode_EqualToUTF8(name.get(), ".") || PyUnicode_EqualToUTF8(name.get(), "..");
    bool bad = length == 0 || dots || contains('/') || contains('\0');
    if (bad) py::raise_format(PyExc_ValueError, msg::invalid_skill_name, name.get());
}

Ref make_context_type() {
    init_log_lines();
    return py::make_class(module_name, context_class);
}

}  // namespace zorvik::skills
