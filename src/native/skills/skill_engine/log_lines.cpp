// The pieces of a log line: the time stamp of a log entry and joining texts.
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

struct State {
    Ref open;   // "["
    Ref close;  // "] "
    TimePrefix time_prefix;
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

void init_log_lines() {
    State& s = state.emplace();
    s.open = py::text("[");
    s.close = py::text("] ");
}

}  // namespace zorvik::skills
