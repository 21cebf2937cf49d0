// LLM access: one chat request per llm_ask through an OpenAI-compatible
// client made on first use, and llm_json's reading of the reply as JSON.
#include "context.hpp"
#include "messages.hpp"

namespace zorvik::skills {

namespace {

using py::Type;

constexpr long max_reply_tokens = 4096;
constexpr Py_ssize_t logged_reply_chars = 200;

// The client library's absence is reported with a fixed text; the import
// error stays attached as the context, as an `except ImportError` block that
// raises would leave it.
Ref create_llm_client_body(const Args&) {
    try {
        return py::call(import_from("openai", id<"AsyncOpenAI">));
    } catch (py::PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        Ref replacement =
            py::steal_or_throw(PyObject_CallOneArg(PyExc_RuntimeError, py::text(msg::openai_missing).get()));
        PyException_SetContext(replacement.get(), e.take().release());
        throw py::PyError(std::move(replacement));
    }
}
constexpr py::FunctionDef create_client_def{
    .name = "_create_llm_client", .body = create_llm_client_body, .params = {py::self_param},
    .doc = "Create an OpenAI-compatible LLM client."};

Ref role_message(PyObject* role, Borrowed content) {
    Ref message = py::steal_or_throw(PyDict_New());
    py::check(PyDict_SetItem(message.get(), id<"role">, role));
    py::check(PyDict_SetItem(message.get(), id<"content">, content.get()));
    return message;
}

// The system message only when a system text is given, then the user's.
Ref chat_messages(Borrowed prompt, Borrowed system) {
    Ref messages = py::steal_or_throw(PyList_New(0));
    if (PyUnicode_GET_LENGTH(system.get()) > 0)
        py::check(PyList_Append(messages.get(), role_message(id<"system">, system).get()));
    py::check(PyList_Append(messages.get(), role_message(id<"user">, prompt).get()));
    return messages;
}

// self._llm.chat.completions.create(model=self._llm_model, messages=..., max_tokens=4096)
Ref send_request(Borrowed self, Borrowed messages) {
    Ref completions = py::getattr(py::getattr(py::getattr(self, id<"_llm">), id<"chat">), id<"completions">);
    Ref max_tokens = py::steal_or_throw(PyLong_FromLong(max_reply_tokens));
    return py::call_method_kw(completions, id<"create">, {},
                              {{id<"model">, py::getattr(self, id<"_llm_model">)},
                               {id<"messages">, messages},
                               {id<"max_tokens">, max_tokens}});
}

// response.choices[0].message.content; a missing or empty content is "".
Ref reply_text(Borrowed response) {
    Ref first = py::steal_or_throw(PySequence_GetItem(py::getattr(response, id<"choices">).get(), 0));
    Ref content = py::getattr(py::getattr(first, id<"message">), id<"content">);
    if (!py::truth(content)) return py::text("");
    py::check_result(py::Result::str, content);
    return content;
}

py::Task<Ref> llm_ask_body(const Args& a) {
    Borrowed self = a[0];
    if (py::getattr(self, id<"_llm">).is_none())
        py::setattr(self, id<"_llm">, py::call_method(self, id<"_create_llm_client">));
    py::Held messages = chat_messages(a[1], a[2]);
    try {
        Ref text = reply_text(co_await send_request(self, messages));
        log(self, py::steal_or_throw(PyUnicode_FromFormat("%s%zd%s", msg::llm_response,
                                                          PyUnicode_GET_LENGTH(text.get()), msg::chars)));
        co_return text;
    } catch (py::PyError& e) {
        if (e.is_exception()) log(self, prefixed(msg::llm_failed, py::str_of(e.value())));
        throw;
    }
}
constexpr py::FunctionDef ask_def{
    .name = "llm_ask", .body = llm_ask_body,
    .params = {py::self_param, {"prompt", Type::str}, {"system", Type::str, py::defaults::text("")}},
    .doc = "Ask the LLM a question and get a text response.\n"
           "        \n"
           "        Args:\n"
           "            prompt: The user message / question\n"
           "            system: Optional system prompt for context\n"
           "            \n"
           "        Returns:\n"
           "            The LLM's text response\n"
           "        ",
    .returns = "str"};

// Where `part` first occurs in `text` from `start` on, or -1.
Py_ssize_t find(Borrowed text, PyObject* part, Py_ssize_t start) {
    Py_ssize_t at = PyUnicode_Find(text.get(), part, start, PY_SSIZE_T_MAX, 1);
    if (at == -2) py::throw_pending();
    return at;
}

// A reply wrapped in a fenced block gives the block's content: after the
// first fence tagged json, else after the first bare fence, up to the next
// fence or the end, trimmed. A reply without a fence is kept as it is.
Ref unwrap_fenced(Ref text) {
    PyObject* const tagged = id<"```json">;
    PyObject* const fence = id<"```">;
    Py_ssize_t start = find(text, tagged, 0);
    if (start >= 0) {
        start += PyUnicode_GET_LENGTH(tagged);
    } else if ((start = find(text, fence, 0)) >= 0) {
        start += PyUnicode_GET_LENGTH(fence);
    } else {
        return text;
    }
    Py_ssize_t end = find(text, fence, start);
    Ref block = py::steal_or_throw(PyUnicode_Substring(text.get(), start, end < 0 ? PY_SSIZE_T_MAX : end));
    return py::call_method(block, id<"strip">);
}

Ref parse_error_reply(Borrowed response) {
    Ref reply = py::steal_or_throw(PyDict_New());
    py::check(PyDict_SetItem(reply.get(), id<"raw_response">, response.get()));
    py::check(PyDict_SetItem(reply.get(), id<"parse_error">, Py_True));
    return reply;
}

// The instance's llm_ask, awaited, then its answer read as JSON with the
// module's json as bound now.
py::Task<Ref> llm_json_body(const Args& a) {
    Borrowed self = a[0];
    Ref response = co_await py::call_method(self, id<"llm_ask">, a[1], a[2]);
    Ref text = unwrap_fenced(py::call_method(response, id<"strip">));
    try {
        co_return py::call(global_attr(id<"json">, id<"loads">), text);
    } catch (py::PyError& e) {
        if (!e.matches(global_attr(id<"json">, id<"JSONDecodeError">).get())) throw;
    }
    Ref shown = py::steal_or_throw(PyUnicode_Substring(text.get(), 0, logged_reply_chars));
    log(self, prefixed(msg::json_parse_failed, shown));
    co_return parse_error_reply(response);
}
constexpr py::FunctionDef json_def{
    .name = "llm_json", .body = llm_json_body, .params = ask_def.params,
    .doc = "Ask the LLM and parse the response as JSON.\n"
           "        \n"
           "        The prompt should instruct the LLM to respond in JSON format.\n"
           "        ",
    .returns = "dict"};

constexpr const py::FunctionDef* methods[] = {&ask_def, &json_def, &create_client_def};

}  // namespace

const Methods llm_methods{methods};

}  // namespace zorvik::skills
