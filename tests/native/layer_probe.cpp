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
constexpr FunctionDef parse_def{.name = "parse",
                                .body = parse_probe,
                                .params = {{"text", Type::str},
                                           {"mapping", Type::dict},
                                           {"count", Type::int_, defaults::integer(0)},
                                           {"ratio", Type::real, defaults::real(1.5)},
                                           {"label", Type::str, defaults::none}},
                                .doc = "Parse and echo the arguments."};

// Awaits `awaitable` and returns its result.
Task<Ref> relay(const Args& a) { co_return co_await borrow(a[0]); }
constexpr FunctionDef relay_def{.name = "relay", .body = relay, .params = {{"awaitable"}}, .doc = "Await and return."};

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
constexpr FunctionDef relay_catching_def{
    .name = "relay_catching", .body = relay_catching, .params = {{"awaitable"}}, .doc = "Await, catching Exception."};

// Keeps what `factory()` makes across an await of `awaitable`, and returns it.
Task<Ref> hold_across(const Args& a) {
    Held kept = call(a[0]);
    co_await borrow(a[1]);
    co_return kept.take();
}
constexpr FunctionDef hold_across_def{.name = "hold_across",
                                      .body = hold_across,
                                      .params = {{"factory"}, {"awaitable"}},
                                      .doc = "Make, await, return what was made."};

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
constexpr FunctionDef nested_sum_def{
    .name = "nested_sum", .body = nested_sum, .params = {{"first"}, {"second"}}, .doc = "Await both and add."};

Task<Ref> give_text(const Args& a) { co_return borrow(a[0]); }
constexpr FunctionDef give_text_def{.name = "give_text",
                                    .body = give_text,
                                    .params = {{"value"}},
                                    .doc = "Return value, declared str.",
                                    .returns = "str"};

void body(Borrowed m) {
    for (const FunctionDef* def :
         {&parse_def, &relay_def, &relay_catching_def, &hold_across_def, &nested_sum_def, &give_text_def})
        add(m, def->name, make_function(*def, module_name, nullptr));
}

}  // namespace

ZORVIK_MODULE(zorvik_layer_probe, body)
