#include "names.hpp"

#include "error.hpp"

namespace zorvik::py {

ZORVIK_DEFINE_NAMES(ZORVIK_NAMES)

}  // namespace zorvik::py
