import gc
import os
import sys
import weakref

import pytest

import halvex_core
from halvex_core import CoordinationState

from _support import METHODS, run_child

EM_DASH = "\u2014"

DOCS = {
    "claim_file": (
        "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
        "already holds it. Returns the claiming agent's id back on success " + EM_DASH + "\n"
        "a no-op value, useful mainly to confirm the call didn't raise."
    ),
    "claim_task": None,
    "release": (
        'Releases a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`.\n'
        "Only the holder may release it."
    ),
    "renew_claim": (
        'Renews a claim keyed by e.g. `"file:src/lib.rs"` or `"task:phase-7"`,\n'
        "extending its lease so a long-running task isn't lost to the TTL.\n"
        "Only the holder may renew."
    ),
    "send_message": None,
    "broadcast": None,
    "inbox": (
        "Pending messages for `agent_id`, oldest first. Does not clear them " + EM_DASH + "\n"
        "use `drain_inbox` for that."
    ),
    "drain_inbox": None,
    "status": 'One of `"idle"`, `"busy"`, `"completed"`, `"error"`.',
}


def test_module_contents():
    assert halvex_core.__all__ == ["CoordinationState"]
    assert halvex_core.__doc__ == ""
    assert halvex_core.CoordinationState is CoordinationState
    assert CoordinationState.__module__ == "builtins"
    assert CoordinationState.__name__ == "CoordinationState"
    assert CoordinationState.__qualname__ == "CoordinationState"
    assert CoordinationState.__doc__ == ""
    # The stable-ABI file name: Windows has a single suffix for every version.
    stable = "halvex_core.pyd" if sys.platform == "win32" else "halvex_core.abi3.so"
    assert os.path.basename(halvex_core.__file__) == stable
    # No module-level functions, and the fault type is not exported.
    public = {n for n in vars(halvex_core) if not n.startswith("__")}
    assert public == {"CoordinationState"}


def test_class_has_exactly_the_nine_methods():
    own = {n for n in vars(CoordinationState) if not n.startswith("__")}
    assert own == set(METHODS)


@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_doc_and_text_signature(name):
    method = getattr(CoordinationState, name)
    assert method.__doc__ == DOCS[name]
    assert method.__text_signature__ == "($self, %s)" % ", ".join(METHODS[name])


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "CoordinationState.__new__() takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, "CoordinationState.__new__() takes 0 positional arguments but 2 were given"),
    ((1,), {"x": 1}, "CoordinationState.__new__() takes 0 positional arguments but 1 was given"),
    ((), {"x": 1}, "CoordinationState.__new__() got an unexpected keyword argument 'x'"),
])
def test_constructor_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CoordinationState(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_instances_are_independent():
    a, b = CoordinationState(), CoordinationState()
    a.claim_file("agent-a", "p")
    a.send_message("x", "agent-b", "hi")
    assert b.claim_file("agent-z", "p") == "agent-z"
    assert b.status("agent-a") == "idle"
    assert b.inbox("agent-b") == []


def test_class_is_final_and_closed():
    with pytest.raises(TypeError):
        type("Sub", (CoordinationState,), {})
    s = CoordinationState()
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(AttributeError):
        s.status = lambda agent_id: "busy"
    assert not hasattr(s, "__dict__")
    # Instances hold no Python objects, so the collector does not track them.
    assert not gc.is_tracked(s)
    with pytest.raises(TypeError):
        weakref.ref(s)


def test_instances_own_a_reference_to_the_class():
    before = sys.getrefcount(CoordinationState)
    objs = [CoordinationState() for _ in range(1000)]
    assert sys.getrefcount(CoordinationState) == before + 1000
    for o in objs[:10]:
        o.claim_file("a", "p")
        o.send_message("a", "b", "c")
    del objs, o
    assert sys.getrefcount(CoordinationState) == before


def test_second_initialisation_is_refused():
    out, _ = run_child("""
import sys
import halvex_core
first = halvex_core
cls = first.CoordinationState
del sys.modules["halvex_core"]
results = []
for attempt in range(2):
    try:
        import halvex_core
        results.append("imported")
    except ImportError as e:
        results.append((type(e).__name__, e.args))
s = cls()
results.append(s.claim_file("agent-a", "p"))
results.append(first.CoordinationState is cls)
results.append(first.__all__)
results.append("halvex_core" in sys.modules)
print(repr(results))
""")
    message = ("PyO3 modules compiled for CPython 3.8 or older may only be "
               "initialized once per interpreter process")
    assert out.strip() == repr([
        ("ImportError", (message,)),
        ("ImportError", (message,)),
        "agent-a",
        True,
        ["CoordinationState"],
        False,
    ])
