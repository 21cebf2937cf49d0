// Instance attributes of plain records (catalogue specs, routing
// configurations, routers), read straight from the instance dict.
//
// `obj.name` follows the generic protocol: a data descriptor on the class
// wins, then the instance dict, then what the class holds. For a class that
// keeps the generic protocol and defines none of a record's names as a data
// descriptor, an entry of the instance dict therefore is the attribute. A
// class is checked once per version: its version tag changes whenever it or
// one of its bases is modified. Names missing from the dict, and objects of
// any other class, are read through getattr, as Python code would.
#pragma once

#include "names.hpp"
#include "py/call.hpp"

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

    std::vector<PyObject*> names_;
    mutable Ref checked_type_;  // held, so its address cannot come back as another class
    mutable unsigned checked_version_ = 0;
};

}  // namespace zorvik::core
