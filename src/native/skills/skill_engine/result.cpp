#include "runner.hpp"

namespace zorvik::skills {

Ref make_result_type() { return py::none(); }

}  // namespace zorvik::skills
