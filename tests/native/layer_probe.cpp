// A test-only module that exposes the native layer's pieces directly, so the
// tests can hold the argument parser and the native coroutine to the same
// protocol assertions as the interpreter's own functions and coroutines.
#include "py/call.hpp"
#include "py/module.hpp"
#include "py/types.hpp"

namespace {

using namespace zorvik::py;

constexpr const char* module_name = "zorvik_layer_probe";

Ref parse_probe(const Args& a) {
    return steal_or_throw(Py_BuildValue("(OOOdO)", a[0].get(), a[1].get(), a[2].get(), a.number(3), a[4].get()));
}
constexpr Param parse_params[] = {
    {"text", Type::str},
    {"mapping", Type::dict},
    {"count", Type::int_, defaults::integer(0)},
    {"ratio", Type::real, defaults::real(1.5)},
    {"label", Type::str, defaults::none},
};
constexpr FunctionDef parse_def{"parse", parse_params, "Parse and echo the arguments.", parse_probe};

// Awaits `awaitable` and returns its result.
Task<Ref> relay(const Args& a) { co_return co_await borrow(a[0]); }
constexpr Param one_awaitable[] = {{"awaitable"}};
constexpr FunctionDef relay_def{"relay", one_awaitable, "Await and return.", nullptr, relay};

// Awaits `awaitable`; an ordinary failure comes back as ("caught", exc),
// anything else (cancellation) passes through.
Task<Ref> relay_catching(const Args& a) {
    try {
        Ref value = co_await borrow(a[0]);
        co_return value;
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        co_return steal_or_throw(Py_BuildValue("(sO)", "caught", e.value().get()));
    }
}
constexpr FunctionDef relay_catching_def{"relay_catching", one_awaitable, "Await, catching Exception.", nullptr,
                                         relay_catching};

// Keeps what `factory()` makes across an await of `awaitable`, and returns it.
Task<Ref> hold_across(const Args& a) {
    Held kept = call(a[0]);
    co_await borrow(a[1]);
    co_return kept.take();
}
constexpr Param factory_and_awaitable[] = {{"factory"}, {"awaitable"}};
constexpr FunctionDef hold_across_def{"hold_across", factory_and_awaitable, "Make, await, return what was made.",
                                      nullptr, hold_across};

Task<Ref> inner_sum(Borrowed first, Borrowed second) {
    Ref x = co_await borrow(first);
    Ref y = co_await borrow(second);
    co_return steal_or_throw(PyNumber_Add(x.get(), y.get()));
}
// Awaits two awaitables through a nested native task and adds the results.
Task<Ref> nested_sum(const Args& a) {
    Ref total = co_await inner_sum(a[0], a[1]);
    co_return total;
}
constexpr Param two_awaitables[] = {{"first"}, {"second"}};
constexpr FunctionDef nested_sum_def{"nested_sum", two_awaitables, "Await both and add.", nullptr, nested_sum};

Task<Ref> give_text(const Args& a) { co_return borrow(a[0]); }
constexpr Param one_value[] = {{"value"}};
constexpr FunctionDef give_text_def{"give_text", one_value, "Return value, declared str.",
                                    nullptr,     give_text, Result::str};

void body(Borrowed m) {
    for (const FunctionDef* def :
         {&parse_def, &relay_def, &relay_catching_def, &hold_across_def, &nested_sum_def, &give_text_def})
        add(m, def->name, make_function(*def, module_name, nullptr));
}

}  // namespace

ZORVIK_MODULE(zorvik_layer_probe, body)
