"""The behaviour classes are named as classes written in Python are."""

import pytest

from zorvik.core import tier_chooser
from zorvik.skills import skill_engine

CLASSES = [
    (skill_engine, "ZorvikContext", lambda cls: cls("demo")),
    (skill_engine, "PythonSkillRunner", lambda cls: cls()),
    (tier_chooser, "TierChooser", lambda cls: cls()),
]


@pytest.mark.parametrize("module, name, make", CLASSES, ids=[c[1] for c in CLASSES])
def test_messages_and_names(module, name, make):
    cls = getattr(module, name)
    obj = make(cls)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, module.__name__)
    assert repr(cls) == f"<class '{module.__name__}.{name}'>"
    with pytest.raises(AttributeError) as missing:
        obj.browser_scroll
    assert str(missing.value) == f"'{name}' object has no attribute 'browser_scroll'"
    with pytest.raises(TypeError) as not_callable:
        obj()
    assert str(not_callable.value) == f"'{name}' object is not callable"
