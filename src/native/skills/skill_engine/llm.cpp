// LLM access: one chat request per llm_ask through an OpenAI-compatible
// client made on first use, and llm_json's reading of the reply as a JSON
// object.
#include "context.hpp"
#include "messages.hpp"
#include "py/messages.hpp"
#include "text.hpp"

#include <cstdio>

namespace zorvik::skills {

namespace {

using py::Param;
using py::Type;

constexpr long max_reply_tokens = 4096;
constexpr Py_ssize_t logged_reply_chars = 200;

// `from <module> import <name>`: a name the module lacks is an ImportError.
Ref import_from(PyObject* module_name, PyObject* name) {
    Ref module = py::steal_or_throw(PyImport_Import(module_name));
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), name, &value) < 0) py::throw_pending();
    if (!value) py::raise_format(PyExc_ImportError, msg::cannot_import, name, module_name);
    return py::steal(value);
}

// The client library's absence is reported with a fixed text; the import
// error stays attached as the context, as an `except ImportError` block that
// raises would leave it.
Ref create_llm_client_body(const Args&) {
    const auto& n = names();
    try {
        return py::call(import_from(n.openai, n.AsyncOpenAI));
    } catch (py::PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        Ref text = py::text(msg::openai_missing);
        Ref replacement = py::steal_or_throw(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
        PyException_SetContext(replacement.get(), e.take().release());
        throw py::PyError(std::move(replacement));
    }
}

Ref role_message(PyObject* role, Borrowed content) {
    const auto& n = names();
    Ref message = py::steal_or_throw(PyDict_New());
    py::check(PyDict_SetItem(message.get(), n.role, role));
    py::check(PyDict_SetItem(message.get(), n.content, content.get()));
    return message;
}

// The system message only when a system text is given, then the user's.
Ref chat_messages(Borrowed prompt, Borrowed system) {
    const auto& n = names();
    Ref messages = py::steal_or_throw(PyList_New(0));
    if (PyUnicode_GET_LENGTH(system.get()) > 0)
        py::check(PyList_Append(messages.get(), role_message(n.system, system).get()));
    py::check(PyList_Append(messages.get(), role_message(n.user, prompt).get()));
    return messages;
}

// response.choices[0].message.content; a missing or empty content is "".
Ref reply_text(Borrowed response) {
    const auto& n = names();
    Ref choices = py::getattr(response, n.choices);
    Ref first_index = py::steal_or_throw(PyLong_FromLong(0));
    Ref first = py::steal_or_throw(PyObject_GetItem(choices.get(), first_index.get()));
    Ref content = py::getattr(py::getattr(first, n.message), n.content);
    if (!py::truth(content)) return py::text("");
    py::check_result(py::Result::str, content);
    return content;
}

Ref prefixed(const char* prefix, Borrowed text) {
    return py::steal_or_throw(PyUnicode_FromFormat("%s%U", prefix, text.get()));
}

py::Task<Ref> llm_ask_body(const Args& a) {
    Borrowed self = a[0], prompt = a[1], system = a[2];
    const auto& n = names();
    if (py::getattr(self, n._llm).is_none()) py::setattr(self, n._llm, py::call_method(self, n._create_llm_client));
    Ref messages = chat_messages(prompt, system);
    try {
        Ref completions = py::getattr(py::getattr(py::getattr(self, n._llm), n.chat), n.completions);
        Ref model = py::getattr(self, n._llm_model);
        Ref tokens = py::steal_or_throw(PyLong_FromLong(max_reply_tokens));
        Ref response = co_await py::call_method_kw(completions, n.create, {},
                                                   {{n.model, model}, {n.messages, messages}, {n.max_tokens, tokens}});
        Ref text = reply_text(response);
        char line[64];
        int size = std::snprintf(line, sizeof line, "%s%zd%s", msg::llm_response, PyUnicode_GET_LENGTH(text.get()),
                                 msg::chars);
        log(self, py::text(std::string_view(line, static_cast<std::size_t>(size))));
        co_return text;
    } catch (py::PyError& e) {
        if (!e.is_exception()) throw;
        log(self, prefixed(msg::llm_failed, py::str_of(e.value())));
        throw;
    }
}

// A reply wrapped in a fenced block gives the block's content: after the
// first fence tagged json, else after the first bare fence, up to the next
// fence or the end, trimmed. A reply without a fence is kept whole.
Ref unwrap_fenced(Ref text) {
    const std::string_view fence = msg::fence, tagged = msg::json_fence;
    Py_ssize_t start = find_ascii(text, tagged);
    if (start >= 0) {
        start += static_cast<Py_ssize_t>(tagged.size());
    } else {
        start = find_ascii(text, fence);
        if (start < 0) return text;
        start += static_cast<Py_ssize_t>(fence.size());
    }
    Py_ssize_t end = find_ascii(text, fence, start);
    if (end < 0) end = PyUnicode_GET_LENGTH(text.get());
    return stripped(py::steal_or_throw(PyUnicode_Substring(text.get(), start, end)));
}

// The instance's llm_ask, awaited. When that is this module's own, its body
// runs inside this frame rather than through a second coroutine object.
py::Task<Ref> ask(const Args& a) {
    Borrowed self = a[0];
    Ref method = py::getattr(self, names().llm_ask);
    PyObject* m = method.get();
    bool own = PyMethod_Check(m) && PyMethod_GET_SELF(m) == self.get() &&
               py::function_def(PyMethod_GET_FUNCTION(m)) == &llm_ask_def;
    if (own) co_return co_await llm_ask_body(a);
    co_return co_await py::call(method, a[1], a[2]);
}

Ref parse_error_reply(Borrowed response) {
    const auto& n = names();
    Ref reply = py::steal_or_throw(PyDict_New());
    py::check(PyDict_SetItem(reply.get(), n.raw_response, response.get()));
    py::check(PyDict_SetItem(reply.get(), n.parse_error, Py_True));
    return reply;
}

py::Task<Ref> llm_json_body(const Args& a) {
    Borrowed self = a[0];
    const auto& n = names();
    Ref response = co_await ask(a);
    if (!PyUnicode_Check(response.get()))
        py::raise_format(PyExc_TypeError, py::msg::result_type, "str", response.type()->tp_name);
    Ref kept = unwrap_fenced(stripped(response));
    Ref json = module_global(n.json);
    try {
        co_return py::call_method(json, n.loads, kept);
    } catch (py::PyError& e) {
        if (!e.matches(py::getattr(json, n.JSONDecodeError).get())) throw;
    }
    Ref shown = py::steal_or_throw(PyUnicode_Substring(kept.get(), 0, logged_reply_chars));
    log(self, prefixed(msg::json_parse_failed, shown));
    co_return parse_error_reply(response);
}

constexpr Param self_only[] = {py::self_param};
constexpr Param ask_params[] = {
    py::self_param,
    {"prompt", Type::str},
    {"system", Type::str, py::defaults::text("")},
};

}  // namespace

const py::FunctionDef create_llm_client_def{"_create_llm_client", self_only, msg::create_llm_client_doc,
                                            create_llm_client_body};
const py::FunctionDef llm_ask_def{"llm_ask", ask_params, msg::llm_ask_doc, nullptr, llm_ask_body, py::Result::str};
const py::FunctionDef llm_json_def{"llm_json", ask_params, msg::llm_json_doc, nullptr, llm_json_body,
                                   py::Result::dict};

}  // namespace zorvik::skills
