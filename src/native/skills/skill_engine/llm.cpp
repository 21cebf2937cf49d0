// LLM access: one chat request per llm_ask through an OpenAI-compatible
// client made on first use, and llm_json's reading of the reply as a JSON
// object.
#include "context.hpp"
#include "json_fast.hpp"
#include "messages.hpp"
#include "own_method.hpp"
#include "py/messages.hpp"
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace zorvik::skills {

namespace {

using py::Param;
using py::Type;

constexpr long max_reply_tokens = 4096;
constexpr Py_ssize_t logged_reply_chars = 200;

OwnMethod own_llm_ask{&Names::llm_ask, llm_ask_def};
OwnMethod own_log{&Names::log, log_def};

// One log entry through the instance's log; the context's own runs without
// the method call when nothing has replaced it.
void log_entry(Borrowed self, Borrowed message) {
    if (!own_log.found_on(self)) return log(self, message);
    Args a;
    a.obj[0] = self.get();
    a.obj[1] = message.get();
    log_def.sync(a);
}

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

// The request's keyword names and its token limit, made once.
struct Request {
    Ref keywords;  // ("model", "messages", "max_tokens")
    Ref max_tokens;
};
py::Static<Request> request;

const Request& request_parts() {
    if (request) return *request;
    const auto& n = names();
    Ref keywords = py::steal_or_throw(PyTuple_Pack(3, n.model, n.messages, n.max_tokens));
    Ref tokens = py::steal_or_throw(PyLong_FromLong(max_reply_tokens));
    return request.emplace(Request{std::move(keywords), std::move(tokens)});
}

// completions.create(model=..., messages=..., max_tokens=4096)
Ref create_call(Borrowed completions, Borrowed model, Borrowed messages) {
    const Request& r = request_parts();
    PyObject* stack[] = {completions.get(), model.get(), messages.get(), r.max_tokens.get()};
    return py::steal_or_throw(
        PyObject_VectorcallMethod(names().create, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, r.keywords.get()));
}

// "LLM response: 12 chars", written straight into an ASCII str.
Ref response_line(Py_ssize_t count) {
    const std::string_view head = msg::llm_response, tail = msg::chars;
    char digits[24];
    const char* digits_end = std::to_chars(digits, std::end(digits), count).ptr;
    const std::string_view number(digits, static_cast<std::size_t>(digits_end - digits));
    const std::size_t size = head.size() + number.size() + tail.size();
    Ref line = py::steal_or_throw(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    char* at = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(line.get()));
    for (std::string_view part : {head, number, tail}) at = std::copy(part.begin(), part.end(), at);
    return line;
}

// llm_ask's steps. Before the request: the client, made when missing, and
// the messages.
Ref prepare_request(Borrowed self, Borrowed prompt, Borrowed system) {
    const auto& n = names();
    if (py::getattr(self, n._llm).is_none()) py::setattr(self, n._llm, py::call_method(self, n._create_llm_client));
    return chat_messages(prompt, system);
}

// Guarded: the request sent (its awaitable returned), then the reply read
// and logged. A failure derived from Exception is logged before it leaves.
Ref send_request(Borrowed self, Borrowed messages) {
    const auto& n = names();
    Ref completions = py::getattr(py::getattr(py::getattr(self, n._llm), n.chat), n.completions);
    return create_call(completions, py::getattr(self, n._llm_model), messages);
}

Ref take_reply(Borrowed self, Borrowed response) {
    Ref text = reply_text(response);
    log_entry(self, response_line(PyUnicode_GET_LENGTH(text.get())));
    return text;
}

void log_failure(Borrowed self, const py::PyError& e) {
    if (e.is_exception()) log_entry(self, prefixed(msg::llm_failed, py::str_of(e.value())));
}

py::Task<Ref> llm_ask_body(const Args& a) {
    Borrowed self = a[0];
    Ref messages = prepare_request(self, a[1], a[2]);
    try {
        co_return take_reply(self, co_await send_request(self, messages));
    } catch (py::PyError& e) {
        log_failure(self, e);
        throw;
    }
}

// A reply wrapped in a fenced block gives the block's content: after the
// first fence tagged json, else after the first bare fence, up to the next
// fence or the end, trimmed. A reply without a fence is kept whole, trimmed.
// White space holds no fence, so searching the untrimmed reply finds what
// searching the trimmed one would.
Span unwrap_fenced(Borrowed reply) {
    const std::string_view fence = msg::fence, tagged = msg::json_fence;
    const Span trimmed = strip_span(reply, {0, PyUnicode_GET_LENGTH(reply.get())});
    Py_ssize_t start = find_ascii(reply, tagged, trimmed.start);
    if (start >= 0) {
        start += static_cast<Py_ssize_t>(tagged.size());
    } else {
        start = find_ascii(reply, fence, trimmed.start);
        if (start < 0) return trimmed;
        start += static_cast<Py_ssize_t>(fence.size());
    }
    Py_ssize_t end = find_ascii(reply, fence, start);
    return strip_span(reply, {start, end < 0 ? trimmed.end : end});
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
    // The instance's llm_ask, awaited. When that is this module's own, its
    // steps run in this frame rather than through a second coroutine.
    Ref response;
    if (!own_llm_ask.found_on(self)) {
        response = co_await py::call(py::getattr(self, n.llm_ask), a[1], a[2]);
    } else {
        Ref messages = prepare_request(self, a[1], a[2]);
        try {
            response = take_reply(self, co_await send_request(self, messages));
        } catch (py::PyError& e) {
            log_failure(self, e);
            throw;
        }
    }
    if (!PyUnicode_Check(response.get()))
        py::raise_format(PyExc_TypeError, py::msg::result_type, "str", response.type()->tp_name);
    const Span block = unwrap_fenced(response);
    Ref json = module_global(n.json);
    if (Ref value = loads_plain(json, response, block)) co_return value;
    Ref kept = py::steal_or_throw(PyUnicode_Substring(response.get(), block.start, block.end));
    try {
        co_return py::call_method(json, n.loads, kept);
    } catch (py::PyError& e) {
        if (!e.matches(py::getattr(json, n.JSONDecodeError).get())) throw;
    }
    Ref shown = py::steal_or_throw(PyUnicode_Substring(kept.get(), 0, logged_reply_chars));
    log_entry(self, prefixed(msg::json_parse_failed, shown));
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
const py::FunctionDef llm_json_def{"llm_json", ask_params, msg::llm_json_doc, nullptr, llm_json_body, py::Result::dict};

}  // namespace zorvik::skills
