// PythonSkillResult and PythonSkillRunner.
#pragma once

#include "module.hpp"

namespace zorvik::skills {

Ref make_result_type();
Ref make_runner_type();

}  // namespace zorvik::skills
