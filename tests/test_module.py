import halvex_core
from halvex_core import CoordinationState


def test_module_contents():
    assert halvex_core.__all__ == ["CoordinationState"]
    assert halvex_core.__doc__ == ""
    assert CoordinationState.__module__ == "builtins"
    assert CoordinationState.__qualname__ == "CoordinationState"
    assert halvex_core.__file__.endswith("halvex_core.abi3.so")
