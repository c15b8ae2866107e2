"""Worker bodies for the multi-process halvex_redis tests (run in spawned processes).

Kept free of pytest imports. Each worker returns plain data that the test
checks once every process has finished.
"""

import random
import time

import halvex_redis
import redis

KEYS = ["file:k%d" % i for i in range(12)]
POOL = "pool"  # an inbox that every worker drains concurrently


def agent(i):
    return "w%d" % i


def _parse(messages):
    """(sender, sequence number, is broadcast) of each drained message."""
    out = []
    for sender, _owner, content, _stamp in messages:
        kind, seq = content.split(":")
        out.append((sender, int(seq), kind == "b"))
    return out


def mixed(url, namespace, index, workers, ops, barrier):
    """Claims, renewals, releases, sends, broadcasts and drains in a random mix.

    An occupancy counter per key, kept beside the state on the same server,
    must read 1 right after every granted claim: two live holders of one
    key would show as 2.
    """
    state = halvex_redis.CoordinationState(url, namespace=namespace)
    plain = redis.Redis.from_url(url)
    me = agent(index)
    rng = random.Random(index)
    state.send_message(me, me, "d:0")  # become known before anyone broadcasts
    barrier.wait(120)
    sent = {}   # recipient -> last sequence number sent there
    own, pool_batches = [], []
    overlaps = grants = refusals = 0
    seq = 0
    done = 0
    while done < ops:
        roll = rng.random()
        if roll < 0.35:
            key = rng.choice(KEYS)
            try:
                state.claim_file(me, key[len("file:"):])
            except RuntimeError:
                refusals += 1
                done += 1
                continue
            grants += 1
            if plain.incr(namespace + ":occupancy:" + key) != 1:
                overlaps += 1
            state.renew_claim(me, key)
            plain.decr(namespace + ":occupancy:" + key)
            state.release(me, key)
            done += 3
        elif roll < 0.65:
            seq += 1
            to = POOL if rng.random() < 0.3 else agent(rng.randrange(workers))
            state.send_message(me, to, "d:%d" % seq)
            sent[to] = seq
            done += 1
        elif roll < 0.72:
            seq += 1
            state.broadcast(me, "b:%d" % seq)
            done += 1
        elif roll < 0.86:
            own.extend(_parse(state.drain_inbox(me)))
            done += 1
        else:
            pool_batches.append(_parse(state.drain_inbox(POOL)))
            done += 1
    return {"agent": me, "last_seq": seq, "own": own, "pool_batches": pool_batches,
            "overlaps": overlaps, "grants": grants, "refusals": refusals}


def final_drain(url, namespace, index):
    state = halvex_redis.CoordinationState(url, namespace=namespace)
    return _parse(state.drain_inbox(agent(index))), _parse(state.drain_inbox(POOL))


def through_restart(url, namespace, index, stop):
    """Takes claims and sends messages until `stop` is set, riding out a server restart.

    Returns the sequence numbers acknowledged, those whose call failed with a
    connection error (applied or not: the reply was lost), and the errors seen.
    """
    state = halvex_redis.CoordinationState(url, namespace=namespace)
    me = agent(index)
    acked, unknown, errors = [], [], []
    seq = 0
    while not stop.is_set():
        seq += 1
        try:
            state.claim_task(me, "%s-%d" % (me, seq))
            state.send_message(me, "sink", "d:%d" % seq)
            acked.append(seq)
        except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as err:
            unknown.append(seq)
            errors.append(type(err).__name__)
            time.sleep(0.02)
    return {"agent": me, "acked": acked, "unknown": unknown, "errors": errors}


SHARED = ["s%d" % i for i in range(4)]  # files every chaos worker contends for


def chaos(state, direct, namespace, index, rounds, barrier):
    """Claims, sends, broadcasts and drains through a faulty connection.

    Every call must succeed (its retries ride out the faults) and mean what
    it says: a fresh task is always granted, a refusal never names the caller
    itself, and an occupancy mark set on a direct connection right after
    every granted claim of a shared file is never someone else's. Returns what was sent and
    drained, for the test to add up.
    """
    try:
        return _chaos(state, direct, namespace, index, rounds, barrier)
    except BaseException:
        barrier.abort()  # the others stop waiting for this one
        raise


def _chaos(state, direct, namespace, index, rounds, barrier):
    me = agent(index)
    rng = random.Random(index)
    state.send_message(me, me, "d:0")  # become known before anyone broadcasts
    barrier.wait(60)
    sent, got = [], []
    overlaps = 0
    for seq in range(1, rounds + 1):
        state.claim_task(me, "%s-%d" % (me, seq))
        shared = rng.choice(SHARED)
        try:
            state.claim_file(me, shared)
        except RuntimeError as err:
            assert not str(err).startswith(me + " "), err
        else:
            # Set idempotently: `direct` may retry a lost reply.
            mark = "%s:occupancy:%s" % (namespace, shared)
            overlaps += not (direct.set(mark, me, nx=True) or direct.get(mark) == me.encode())
            direct.delete(mark)
            state.release(me, "file:" + shared)
        roll = rng.random()
        if roll < 0.6:
            to = agent(rng.randrange(barrier.parties))
            state.send_message(me, to, "d:%d" % seq)
            sent.append((to, seq, False))
        elif roll < 0.7:
            state.broadcast(me, "b:%d" % seq)
            sent.append((None, seq, True))
        else:
            got.extend(_parse(state.drain_inbox(me)))
    barrier.wait(120)  # everything is sent
    while True:
        batch = state.drain_inbox(me)
        if not batch:
            break
        got.extend(_parse(batch))
    return {"agent": me, "sent": sent, "got": got, "overlaps": overlaps}


# An object made before fork, used by the forked children (set by the test).
INHERITED = None


def forked_child(index, files):
    """Claims every shared file and sends a numbered message per file, with
    the object inherited from the parent."""
    me = agent(index)
    granted, acked = [], []
    for n, name in enumerate(files):
        try:
            INHERITED.claim_file(me, name)
            granted.append(name)
        except RuntimeError as err:
            assert not str(err).startswith(me + " "), err
        INHERITED.send_message(me, "sink", "d:%d" % n)
        acked.append(n)
    drained = _parse(INHERITED.drain_inbox(me))
    INHERITED.status(me)  # confirms the drain
    return {"agent": me, "granted": granted, "acked": acked, "drained": drained}


def joiner(url, namespace, stop, joined):
    """Makes one new agent known every 10 ms until `stop` is set."""
    state = halvex_redis.CoordinationState(url, namespace=namespace)
    n = 0
    while not stop.is_set():
        state.send_message("joiner", "new-%d" % n, "hello")
        n += 1
        joined.value = n
        time.sleep(0.01)
    return n


def fenced(url, namespace, me, barrier, tokens, go, results):
    """Claims file:p until granted (racing the other worker), reports the
    token it got, then waits for `go` and checks its token right before a
    pretended write."""
    state = halvex_redis.CoordinationState(url, namespace=namespace)
    barrier.wait(60)
    while True:
        try:
            state.claim_file(me, "p")
            break
        except RuntimeError:
            time.sleep(0.005)
    token = state.lease("file:p").token
    tokens.put((me, token))
    go.wait(60)
    try:
        results.put((me, token, state.check_lease(me, "file:p", token)))
    except RuntimeError as error:
        results.put((me, token, str(error)))


def send_later(url, namespace, delay, to, content, broadcast=False):
    """Sends (or broadcasts) one message after `delay` seconds, from a process of its own."""
    state = halvex_redis.CoordinationState(url, namespace=namespace)
    time.sleep(delay)
    if broadcast:
        return state.broadcast("sender", content)[3]
    return state.send_message("sender", to, content)[3]
