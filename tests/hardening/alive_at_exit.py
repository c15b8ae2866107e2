"""A program whose state is still alive when it exits, for the leak checkers.

Objects holding messages (direct, broadcast, drained: a drained message is
then held by the activity log alone) stay reachable at exit from a module
global and from a daemon thread that is still waiting, and that thread
keeps the copies of a large drain. LeakSanitizer and valgrind must find
nothing lost: everything is reachable through aligned pointers.

    python alive_at_exit.py
"""

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

started = threading.Event()


def daemon():
    state = CoordinationState()
    populate(state, 3000)
    for i in range(5000):
        state.send_message("sender", "bulk", "bulk message %d" % i)
    state.drain_inbox("bulk")  # large: its copies stay with this thread
    started.set()
    threading.Event().wait()  # alive, holding `state`, until the process ends


threading.Thread(target=daemon, daemon=True).start()
started.wait(60)
print("alive at exit: 2 objects with messages, one in a waiting daemon thread")
