"""Native functions carry their annotations as text, as functions whose
annotations are strings do."""

import pytest

from zorvik.core import tier_chooser as router
from zorvik.skills import skill_engine as engine

CASES = [
    (engine.PythonSkillRunner.run,
     {"skill_name": "str", "params": "dict[str, Any]", "script_path": "str | None", "return": "PythonSkillResult"}),
    (engine.ZorvikContext.log, {"message": "str", "return": "None"}),
    (engine.ZorvikContext.browser_click, {"selector": "str", "timeout": "float", "return": "None"}),
    (engine.ZorvikContext.save_state, {"key": "str", "return": "None"}),
    (engine.ZorvikContext.llm_json, {"prompt": "str", "system": "str", "return": "dict"}),
    (router.classify_complexity, {"prompt": "str", "tool_count": "int", "return": "Complexity"}),
    (router.TierChooser.select_for_worker, {"task_description": "str", "model_key": "str | None", "return": "ModelSpec"}),
    (router.TierChooser._is_available, {"spec": "ModelSpec", "return": "bool"}),
    (router.ModelRoutingConfig.from_dict, {"data": "dict[str, Any]", "return": "ModelRoutingConfig"}),
]


@pytest.mark.parametrize("function, expected", CASES, ids=[c[0].__qualname__ for c in CASES])
def test_annotations_are_the_declared_texts(function, expected):
    assert function.__annotations__ == expected
