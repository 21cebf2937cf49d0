// Change tracking through the interpreter's dict watchers. A change of any
// watched dict advances one counter, so whatever was derived from watched
// dicts stays valid as long as the counter stands still.
#pragma once

#include "py/ref.hpp"

#include <cstdint>

namespace zorvik::core::watch {

// Registers the watcher; without a free watcher slot, tracking stays off
// and every cache built on it is simply never used.
void init();
bool enabled() noexcept;
std::uint64_t generation() noexcept;
// Starts or stops reporting changes of `dict` (an exact or derived dict).
void add(py::Borrowed dict);
void remove(py::Borrowed dict);

}  // namespace zorvik::core::watch
