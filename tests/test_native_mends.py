"""Faults of the native module that once hid behind memory exhaustion and
an old interpreter's type flags.

The drain under a signal and the release under a clock fault are covered
where their kind is: test_messaging.py and test_clock.py.
"""

import sys

import pytest

from _support import last_line_value, run_child


def test_class_has_the_method_cache_flag():
    """3.8 and 3.9 give a type an attribute-cache tag only with
    Py_TPFLAGS_HAVE_VERSION_TAG, which the 3.10+ headers leave out of the
    default flags."""
    from halvex_core import CoordinationState
    CoordinationState().status("agent")
    assert CoordinationState.__flags__ & (1 << 18)
    if sys.version_info < (3, 10):  # and a lookup got the type its tag
        assert CoordinationState.__flags__ & (1 << 19)


def test_call_that_took_effect_never_raises_memory_error():
    """Several allocations in a row fail from the one that makes the result:
    raising PanicException must need none of them, else the caller reads
    MemoryError ("nothing changed") and a retry duplicates the message or
    meets its own claim. Windows end before the call returns: past it, the
    interpreter's own tracebacks turn anything into MemoryError."""
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("_testcapi.set_nomemory is not available")
    out, stderr = run_child("""
import _testcapi
from halvex_core import CoordinationState
from _support import holder_of

def unhook():
    while True:
        try:
            return _testcapi.remove_mem_hooks()
        except MemoryError:
            pass

def attempt(act, k, width):
    s = CoordinationState()
    _testcapi.set_nomemory(k, k + width)
    try:
        act(s)
        unhook()
        return "ok", s
    except BaseException as e:
        unhook()
        return type(e).__name__, s

CASES = {
    "send_message": (lambda s: s.send_message("a", "b", "text"), lambda s: len(s.inbox("b")) == 1),
    "broadcast": (lambda s: s.broadcast("a", "text"), lambda s: len(s.inbox("a")) == 1),
    "claim_file": (lambda s: s.claim_file("agent-a", "p"), lambda s: holder_of(s, "file:p") == "agent-a"),
}
bad, panics = [], 0
for name, (act, applied) in CASES.items():
    # From the first allocation whose failure comes after the operation.
    first = next(k for k in range(80) if attempt(act, k, 1)[0] == "PanicException")
    for k in range(first, first + 8):
        for width in range(1, 5):
            kind, s = attempt(act, k, width)
            panics += kind == "PanicException"
            if kind == "MemoryError" and applied(s):
                bad.append((name, k, width))
print(repr((bad, panics)))
""")
    bad, panics = last_line_value(out)
    assert bad == [] and panics > 0
    assert "Python API call failed" in stderr


_ALLOCATOR_CHILD = """
import ctypes, gc, queue, threading
from halvex_core import CoordinationState

libc = ctypes.CDLL(None)


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


try:
    libc.mallinfo2.restype = MallInfo2
except AttributeError:
    print(repr("no mallinfo2"))
    raise SystemExit(0)


def in_use():
    # Bytes handed out by malloc, small chunks and mapped ones alike.
    gc.collect()
    m = libc.mallinfo2()
    return m.uordblks + m.hblkhd


libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]
probe = in_use()
block = libc.malloc(1 << 20)
grew = in_use() - probe
libc.free(block)
if grew < 1 << 20:  # another allocator stands in (a sanitizer's)
    print(repr("statistics do not follow malloc"))
    raise SystemExit(0)


class Worker(threading.Thread):
    # Runs the jobs it is handed, then waits for the next: an idle thread.
    def __init__(self):
        super().__init__(daemon=True)
        self.jobs, self.done = queue.Queue(), queue.Queue()
        self.start()

    def run(self):
        for job in iter(self.jobs.get, None):
            self.done.put(job())

    def do(self, job):
        self.jobs.put(job)
        return self.done.get()


def fill(s, n):
    for i in range(n):
        s.send_message("sender", "w", "message %06d of a long enough run" % i)


N = 200_000
worker = Worker()
figures = {}

base = in_use()
s = CoordinationState()
fill(s, N)
before_drain = in_use()
assert worker.do(lambda: len(s.drain_inbox("w"))) == N
idle = in_use()
worker.do(lambda: s.status("x"))  # the worker's next call, on any method
figures["freed by the next call"] = idle - in_use()

fill(s, N)
assert worker.do(lambda: len(s.drain_inbox("w"))) == N
held_while_idle = in_use()
del s  # freed while the worker keeps its drain's copies
figures["left after the object"] = in_use() - base
figures["object with its log"] = held_while_idle - base

# Small drains: one idle thread each, none calling again.
objects = []
for _ in range(50):
    objects.append(CoordinationState())
    fill_to = objects[-1]
    for i in range(1000):
        fill_to.send_message("sender", "w", "small %d" % i)
workers = [Worker() for _ in objects]
before_small = in_use()
for w, o in zip(workers, objects):
    assert w.do(lambda o=o: len(o.drain_inbox("w"))) == 1000
figures["freed by 50 small drains"] = before_small - in_use()
print(repr(figures))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads glibc's mallinfo2")
def test_drain_copies_are_freed_by_the_next_call_and_with_their_object():
    """The copies a drain keeps past its call, measured with the allocator's
    own statistics: a drain of 2*10^5 messages holds its 8-byte handles only
    until the thread's next call, and nothing of the object is held after it
    is freed while the draining thread idles; a small drain keeps nothing."""
    out, _ = run_child(_ALLOCATOR_CHILD, timeout=120)
    figures = last_line_value(out)
    if isinstance(figures, str):
        pytest.skip(figures)
    n = 200_000
    # The drained handles: one pointer per message, at least.
    assert figures["freed by the next call"] >= 8 * n
    # The object held its messages (tens of MB); none of it stays.
    assert figures["object with its log"] > 60 * n
    assert figures["left after the object"] < 8 * n // 4
    # 50 drains of 1000 handles (8 KB each) freed before they returned.
    assert figures["freed by 50 small drains"] >= 50 * 8 * 1000 // 2
    print(figures)
