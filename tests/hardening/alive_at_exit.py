"""A program whose state is still alive when it exits, for the leak checkers.

Objects holding messages (direct, broadcast, drained: a drained message is
then held by the activity log alone) stay alive to the end in a module
global and in a daemon thread that is still waiting, and that thread keeps
the copies of a large drain. LeakSanitizer and valgrind must find nothing
of ours lost: everything is reachable through aligned pointers.

Valgrind checks at the real exit. Under LeakSanitizer the program runs the
end-of-process check itself, on its last line: the interpreter's
finalization drops module globals, and from 3.11 a thread's frames live in
memory that LeakSanitizer does not scan, so at the real exit an object held
by a daemon thread alone looks lost whatever the module does.

    python alive_at_exit.py
"""

import ctypes
import threading

from halvex_core import CoordinationState


def populate(state, n):
    for i in range(n):
        state.send_message("agent-%d" % (i % 7), "agent-%d" % (i % 5), "direct message %d" % i)
        if i % 10 == 0:
            state.broadcast("agent-%d" % (i % 3), "broadcast message %d" % i)
        if i % 3 == 0:
            state.claim_file("agent-%d" % (i % 4), "src/file-%d.py" % i)
    # Drained: from here on only the activity log holds these messages.
    for i in range(0, 5, 2):
        state.drain_inbox("agent-%d" % i)


KEPT_GLOBAL = CoordinationState()
populate(KEPT_GLOBAL, 3000)
ALIVE = [KEPT_GLOBAL]

started = threading.Event()


def send_bulk(state, n):
    for i in range(n):
        state.send_message("sender", "bulk", "bulk message %d" % i)


def daemon():
    # Its frame holds nothing the globals do not: see above.
    state = CoordinationState()
    forever = threading.Event()
    ALIVE.extend((state, forever))
    populate(state, 3000)
    send_bulk(state, 5000)
    state.drain_inbox("bulk")  # large: its copies stay with this thread
    started.set()
    forever.wait()  # alive, holding `state`, until the process ends


threading.Thread(target=daemon, daemon=True).start()
started.wait(60)
print("alive at exit: 2 objects with messages, one in a waiting daemon thread")
try:
    leak_check = ctypes.CDLL(None).__lsan_do_leak_check
except AttributeError:
    pass  # not under LeakSanitizer
else:
    leak_check()  # the end-of-process check, now; it does not run again
