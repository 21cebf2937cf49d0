#include "runner.hpp"

namespace zorvik::skills {

Ref make_runner_type() { return py::none(); }

}  // namespace zorvik::skills
