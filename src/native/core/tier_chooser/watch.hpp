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

namespace detail {
extern int watcher;
extern std::uint64_t counter;
}  // namespace detail

inline bool enabled() noexcept { return detail::watcher >= 0; }
inline std::uint64_t generation() noexcept { return detail::counter; }
// Reports changes of `dict` (an exact or derived dict) from now on. Dicts
// are never unwatched, as several caches may rely on the same dict; a dict
// no cache uses any more only causes an unneeded rebuild when it changes.
void add(py::Borrowed dict);

}  // namespace zorvik::core::watch
