// The pieces of a log line: the time stamp of a log entry, joining texts,
// and the question whether the module logger would write an INFO record.
#include "log_lines.hpp"

#include "messages.hpp"

#include <algorithm>
#include <ctime>
#include <string_view>

namespace zorvik::skills {

namespace {

// "[14:03:07] ": the local time, formatted as time.strftime formats it. The
// text is kept for the rest of its second; a change of time zone (tzset)
// renews it at once.
class TimePrefix {
public:
    Ref now() {
        std::time_t second = std::time(nullptr);
        if (!text_ || second != second_ || zone_changed()) {
            text_ = format(second);
            second_ = second;
            remember_zone();
        }
        return text_;
    }

private:
    static Ref format(std::time_t second) {
        char stamp[16];
        std::tm local{};
        localtime_r(&second, &local);
        std::size_t size = std::strftime(stamp + 1, sizeof stamp - 3, msg::time_format, &local);
        stamp[0] = '[';
        stamp[size + 1] = ']';
        stamp[size + 2] = ' ';
        return py::text(std::string_view(stamp, size + 3));
    }
    bool zone_changed() const noexcept {
        return zone_[0] != tzname[0] || zone_[1] != tzname[1] || offset_ != timezone || daylight_ != daylight;
    }
    void remember_zone() noexcept {
        zone_[0] = tzname[0];
        zone_[1] = tzname[1];
        offset_ = timezone;
        daylight_ = daylight;
    }

    Ref text_;
    std::time_t second_ = 0;
    const char* zone_[2] = {nullptr, nullptr};
    long offset_ = 0;
    int daylight_ = 0;
};

// logger.info(line) writes nothing when the logger is not enabled for INFO.
// For a logging.Logger as the logging package defines it (info and
// isEnabledFor untouched on its class, neither set on the instance) that is
// known from what isEnabledFor reads, the `disabled` flag and the answer
// cached for the level, without building the line or making the call.
// Anything less plain is left to the call.
class InfoGate {
public:
    void init() {
        const auto& n = names();
        Ref logging = py::import("logging");
        type_ = py::getattr(logging, n.Logger);
        info_ = py::getattr(type_, n.info);
        is_enabled_ = py::getattr(type_, n.isEnabledFor);
        level_ = py::getattr(logging, n.INFO);
    }

    // True only when the call would certainly write nothing.
    bool closed(Borrowed logger) {
        const auto& n = names();
        if (logger.get()->ob_type != reinterpret_cast<PyTypeObject*>(type_.get()) || !class_untouched())
            return false;
        Ref attributes = py::steal_or_throw(PyObject_GenericGetDict(logger.get(), nullptr));
        if (has(attributes, n.info) || has(attributes, n.isEnabledFor)) return false;
        Ref disabled = item(attributes, n.disabled);
        if (!disabled || !PyBool_Check(disabled.get())) return false;
        if (disabled.is(Py_True)) return true;
        Ref cache = item(attributes, n._cache);
        if (!cache || !PyDict_CheckExact(cache.get())) return false;
        Ref enabled = item(cache, level_);
        return enabled.is(Py_False);
    }

private:
    static bool has(Borrowed dict, PyObject* key) {
        int found = PyDict_Contains(dict.get(), key);
        py::check(found);
        return found;
    }
    static Ref item(Borrowed dict, Borrowed key) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(dict.get(), key.get(), &value) < 0) py::throw_pending();
        return py::steal(value);
    }
    // The class's methods are checked again whenever the class has changed
    // since (its version tag, renewed by every change, says so).
    bool class_untouched() {
        auto* type = reinterpret_cast<PyTypeObject*>(type_.get());
        if (type->tp_version_tag != 0 && type->tp_version_tag == verified_tag_) return true;
        const auto& n = names();
        if (!py::getattr(type_, n.info).is(info_) || !py::getattr(type_, n.isEnabledFor).is(is_enabled_)) return false;
        verified_tag_ = type->tp_version_tag;
        return true;
    }

    Ref type_;
    Ref info_;
    Ref is_enabled_;
    Ref level_;
    unsigned int verified_tag_ = 0;
};

struct State {
    Ref open;   // "["
    Ref close;  // "] "
    TimePrefix time_prefix;
    InfoGate info_gate;
};
py::Static<State> state;

}  // namespace

// The parts joined into one new str, in one allocation.
Ref join(std::initializer_list<Borrowed> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 127;
    for (Borrowed part : parts) {
        length += PyUnicode_GET_LENGTH(part.get());
        widest = std::max<Py_UCS4>(widest, PyUnicode_MAX_CHAR_VALUE(part.get()));
    }
    Ref joined = py::steal_or_throw(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (Borrowed part : parts) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(part.get());
        if (PyUnicode_CopyCharacters(joined.get(), at, part.get(), 0, size) < 0) py::throw_pending();
        at += size;
    }
    return joined;
}

Ref time_prefix() { return state->time_prefix.now(); }
Borrowed bracket_open() noexcept { return state->open; }
Borrowed bracket_close() noexcept { return state->close; }
bool info_refused(Borrowed logger) { return state->info_gate.closed(logger); }

void init_log_lines() {
    State& s = state.emplace();
    s.open = py::text("[");
    s.close = py::text("] ");
    s.info_gate.init();
}

}  // namespace zorvik::skills
