// Instance attributes of plain records (catalogue entries, routing
// configurations, routers), read straight from the instance dict.
//
// `obj.name` follows the generic protocol: a data descriptor on the class
// wins, then the instance dict, then what the class holds. For a class that
// keeps the generic protocol and defines none of a record's names as a data
// descriptor, an entry of the instance dict therefore is the attribute. A
// class is checked once per version: its version tag changes whenever it or
// one of its bases is modified. Names missing from the dict, and objects of
// any other class, are read through getattr, as Python code would. The
// fields of the last instance dict read are remembered while no watched
// dict changes (watch.hpp); that dict is watched from then on.
#pragma once

#include "names.hpp"
#include "py/call.hpp"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace zorvik::core {

using py::Borrowed;
using py::Ref;

class Record {
public:
    // The names, usually in the order the class's constructor sets them.
    using Field = PyObject* Names::*;
    explicit Record(std::span<const Field> fields);

    PyObject* name(std::size_t i) const noexcept { return names_[i]; }
    // obj.<field i>
    Ref get(Borrowed obj, std::size_t i) const;
    // out[i] = obj.<field first + i> for each i.
    void get(Borrowed obj, std::size_t first, std::span<Ref> out) const;
    // The instance dict, when `obj`'s class is plain for these names (its
    // entries are then the attributes); null otherwise.
    Ref plain_dict(Borrowed obj) const;

private:
    // Reads the fields of `dict` (watched from now on) into the memo.
    void remember(Borrowed dict) const;

    std::vector<PyObject*> names_;
    mutable Ref checked_type_;  // held, so its address cannot come back as another class
    mutable unsigned checked_version_ = 0;
    // The last instance dict read and its fields, all borrowed: valid while
    // no watched dict has changed since, which includes that dict's end (so
    // nothing is kept alive for the memo's sake).
    mutable PyObject* last_dict_ = nullptr;
    mutable std::uint64_t last_generation_ = 0;
    mutable std::vector<PyObject*> last_values_;
};

}  // namespace zorvik::core
