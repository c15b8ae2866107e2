"""The server-side half of halvex_redis: one Lua script per method.

Every script does all of its reads and writes in one atomic run, so no
client-side read-modify-write is needed; times come from the server's TIME
(whole seconds). Redis 5+ replicates script effects, so calling TIME before
writing is allowed. Every key a script touches is passed in KEYS (never built
inside the script), so a cluster can check that they share one slot and route
the call.

Every framed script starts with the same frame:
  KEYS[1]   the record of the caller's lane (`halvex:{ns}:call:<object>.<lane>`).
            A write keeps its call id and reply there for RECORD_TTL seconds,
            and the same id sent again is answered from it instead of running
            again. A lane carries one call at a time, so its next call
            replaces the record: no cleanup is needed.
  ARGV[1]   the call's id, preceded by "<nd>:" when the call confirms nd
            drains. Then KEYS[2] is the pending-batch index (hash: agent ->
            its pending segments), KEYS[3..] the drains' pending lists, and
            ARGV[2..] their call ids, then their agents.
  The call's own keys and arguments follow, from KEYS[k] and ARGV[a].
A read that confirms nothing runs the same body without the frame: ARGV[1]
is its id and its own keys and arguments start at KEYS[1] and ARGV[2].

Every reply starts with the call's id, so the client can tell a reply that
belongs to another call (a connection out of step) from its own; then one of
the codes in CODES, then the values.

Stored forms (all strings binary-safe):
  claims hash   resource key -> "<renewed_at>:<holder>"
  status hash   agent id     -> "0" idle | "1" busy (the keys are the known agents)
  joined list   the known agents in the order they became known, after a
                base: the id of the call that made the first one known (so
                a deleted namespace starts again from a new base)
  owed hash     inbox key    -> broadcasts that agent is owed, each
                "<length>:<stored message>"; moved into the inbox before
                anything else touches it
  inbox list    per agent    -> "<timestamp>,<len(from)>,<from><content>"
  pending list  per agent    -> drained messages not yet confirmed, in segments
                                "<call id> <drained at> <count>;" kept in the index
  log stream    one entry per activity record, never read back, capped
  tokens hash   resource key -> "<token> <granted_at>" of its last grant; kept
                after release, so the key's next grant counts on
  floor         the highest token of the namespace's earlier lives: kept by
                delete_namespace, so a key's new counter starts above it
  seen hash     agent id     -> server seconds of its last call as the acting agent
  waiting hash  inbox key    -> server second until which a wait_inbox waits on it
  wake list     per agent    -> at most one "1", pushed for a waiting agent
                                by the write that fills its inbox (BLPOP target)
"""

from __future__ import annotations

# Seconds a call's record outlives its run; far longer than the client's retries.
RECORD_TTL = 300

# Seconds a claim stays live after it was granted or renewed.
LEASE = 300

# The scripts' reply codes, for Lua and Python alike.
CODES = {
    "DONE": 1,       # the call took effect; values follow
    "HELD": 2,       # a claim is held by someone else: holder
    "NO_CLAIM": 3,   # nothing is stored under the key
    "STALE": 4,      # the client's known agents are of a deleted namespace
    "CYCLE": 5,      # add_task would close a dependency cycle: the cycle (JSON)
    "STARTED": 6,    # add_task on a task held, done or failed: its state
    "UNHELD": 7,     # the task is not the caller's (to finish, or to reset: who failed it)
    "NOT_FAILED": 8,  # reset_task of a task that is not failed
    "BLOCKED": 9,    # complete_task of a task whose dependencies are not all done
    "CLOCK": -1,     # the server's clock reads before 1970: now (the call stopped there)
}

_CONSTANTS = f"local {', '.join(CODES)} = {', '.join(str(v) for v in CODES.values())}\n"

# Pure helpers, shared by the framed scripts and the reads without a frame;
# a script defines only those it uses (each definition costs time per run).
_HELPERS = [("push", r"""
local function push(list, items)
  -- unpack() has a stack limit, so long lists go in chunks.
  for i = 1, #items, 4000 do
    redis.call('RPUSH', list, unpack(items, i, math.min(i + 3999, #items)))
  end
end
"""), ("settle", r"""
-- Moves the broadcasts owed to an inbox into it, so that they come before
-- anything added later.
local function settle(owed, inbox)
  local v = redis.call('HGET', owed, inbox)
  if not v then return end
  local items, pos = {}, 1
  while pos <= #v do
    local colon = string.find(v, ':', pos, true)
    local n = tonumber(string.sub(v, pos, colon - 1))
    items[#items + 1] = string.sub(v, colon + 1, colon + n)
    pos = colon + n + 1
  end
  push(inbox, items)
  redis.call('HDEL', owed, inbox)
end
"""), ("wake", r"""
-- Wakes the waiters on an inbox: one entry in its wake list is enough (a
-- waiter that wakes drains everything and waits again when it finds nothing).
local function wake(waiting, inbox, list, now)
  local w = redis.call('HGET', waiting, inbox)
  if not w then return end
  if tonumber(now) <= tonumber(w) then
    if redis.call('LLEN', list) == 0 then redis.call('RPUSH', list, '1') end
  else
    redis.call('HDEL', waiting, inbox)
  end
end
"""), ("content_size", r"""
-- Bytes of content in a stored message "<timestamp>,<len(from)>,<from><content>".
local function content_size(m)
  local c1 = string.find(m, ',', 1, true)
  local c2 = string.find(m, ',', c1 + 1, true)
  return #m - c2 - tonumber(string.sub(m, c1 + 1, c2 - 1))
end
"""), ("fits", r"""
-- Whether message m fits into a batch of n messages under `limit`
-- ({count, bytes, used}); the first message always fits. Counts it in.
local function fits(limit, n, m)
  if n >= limit.count then return false end
  local size = content_size(m)
  if n > 0 and limit.used + size > limit.bytes then return false end
  limit.used = limit.used + size
  return true
end
"""), ("fill", r"""
-- Appends to batch the oldest messages of list that fit; returns how many
-- it took and whether the batch is full.
local function fill(batch, list, limit)
  local taken = 0
  while true do
    local want = math.min(limit.count - #batch, 1000)
    if want <= 0 then return taken, true end
    local chunk = redis.call('LRANGE', list, taken, taken + want - 1)
    for _, m in ipairs(chunk) do
      if not fits(limit, #batch, m) then return taken, true end
      batch[#batch + 1] = m
      taken = taken + 1
    end
    if #chunk < want then return taken, false end
  end
end
""")]


def _helpers(code: str) -> str:
    """The helpers that `code` calls, and those they call, in order."""
    used = {name for name, _ in _HELPERS if name + "(" in code}
    for name, source in reversed(_HELPERS):  # a helper calls only earlier ones
        if name in used:
            used.update(other for other, _ in _HELPERS if other + "(" in source)
    return "".join(source for name, source in _HELPERS if name in used)


_FRAME = r"""
local nd, id, k, a = 0, ARGV[1], 2, 2
local index = false  -- the pending-batch index, when the call needs it
local colon = string.find(id, ':', 1, true)
if colon then
  nd, id = tonumber(string.sub(id, 1, colon - 1)), string.sub(id, colon + 1)
  k, a, index = 3 + nd, 2 + 2 * nd, KEYS[2]
end

local function segments(agent)
  local s = {}
  local v = redis.call('HGET', index, agent)
  if v then
    for id, t, n in string.gmatch(v, '(%S+) (%-?%d+) (%d+);') do
      s[#s + 1] = {id, tonumber(t), tonumber(n)}
    end
  end
  return s
end

local function save(agent, s)
  if #s == 0 then
    redis.call('HDEL', index, agent)
    return
  end
  local parts = {}
  for i, g in ipairs(s) do parts[i] = g[1] .. ' ' .. g[2] .. ' ' .. g[3] .. ';' end
  redis.call('HSET', index, agent, table.concat(parts))
end

-- Removes the segments that `wanted` picks from the agent's pending list and
-- returns their messages in order (unless `discard`); the other segments
-- stay, in order.
local function take(list, agent, wanted, discard)
  local s = segments(agent)
  local picked, all = 0, nil
  for _, g in ipairs(s) do
    if wanted(g) then picked = picked + 1 end
  end
  if picked == 0 then return {} end
  if picked == #s and discard then
    redis.call('DEL', list)
    redis.call('HDEL', index, agent)
    return {}
  end
  all = redis.call('LRANGE', list, 0, -1)
  local taken, kept, rest, pos = {}, {}, {}, 0
  for _, g in ipairs(s) do
    local dest = taken
    if not wanted(g) then
      dest = kept
      rest[#rest + 1] = g
    end
    for i = pos + 1, pos + g[3] do dest[#dest + 1] = all[i] end
    pos = pos + g[3]
  end
  redis.call('DEL', list)
  push(list, kept)
  save(agent, rest)
  return taken
end

for i = 1, nd do
  local done = ARGV[1 + i]
  take(KEYS[2 + i], ARGV[1 + nd + i], function(g) return g[1] == done end, true)
end

-- Keeps the reply in the lane's record ("<call id> <code>" or
-- "<call id> <code>=<value>") and returns it.
local function finish(code, value)
  local record = id .. ' ' .. code
  if value then record = record .. '=' .. value end
  redis.call('SET', KEYS[1], record, 'EX', @TTL@)
  return {id, code, value}
end

-- Makes an agent known: its status entry was just created.
local function join(joined, agent)
  if redis.call('LLEN', joined) == 0 then redis.call('RPUSH', joined, id) end
  redis.call('RPUSH', joined, agent)
end
"""

# The start of every write: a repeated call id gets the first run's reply.
_REPLAY = r"""
local done = redis.call('GET', KEYS[1])
if done and string.sub(done, 1, #id + 1) == id .. ' ' then
  done = string.sub(done, #id + 2)
  local eq = string.find(done, '=', 1, true)
  if not eq then return {id, tonumber(done)} end
  return {id, tonumber(string.sub(done, 1, eq - 1)), string.sub(done, eq + 1)}
end
"""

# The clock reading of every write; a clock before 1970 ends the call there.
_NOW = r"""
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return finish(CLOCK, now) end
"""


def _write(body: str) -> str:
    """A write: frame, replay of a repeated id, then the body."""
    return _framed(_REPLAY + body)


def _framed(body: str) -> str:
    code = _fill(_FRAME + body)
    return _CONSTANTS + _helpers(code) + code


def _fill(code: str) -> str:
    return code.replace("@NOW@", _NOW).replace("@TTL@", str(RECORD_TTL)).replace(
        "@LEASE@", str(LEASE))


def _alone(body: str) -> str:
    """A read without the frame: it confirms nothing and needs no record."""
    code = _fill(body)
    return _CONSTANTS + "local id, k, a = ARGV[1], 1, 2\n" + _helpers(code) + code


# A claim is live while now - renewed_at < LEASE, the subtraction saturating
# at zero: so now < renewed_at + LEASE also covers a clock set back.
# Each grant takes the key's next token; a key without a counter (never
# granted, or since the namespace was deleted) starts above the floor.
# Own KEYS: claims, status, log, joined, tokens, floor, seen.
# ARGV: agent, resource key, log cap.
CLAIM = _write(r"""
@NOW@
local claims, status, log = KEYS[k], KEYS[k + 1], KEYS[k + 2]
local agent, key, cap = ARGV[a], ARGV[a + 1], ARGV[a + 2]
local stored = redis.call('HGET', claims, key)
local previous = false
if stored then
  local sep = string.find(stored, ':', 1, true)
  if tonumber(now) < tonumber(string.sub(stored, 1, sep - 1)) + @LEASE@ then
    redis.call('HSET', KEYS[k + 6], agent, now)
    return finish(HELD, string.sub(stored, sep + 1))
  end
  previous = string.sub(stored, sep + 1)
end
redis.call('HSET', claims, key, now .. ':' .. agent)
local token = redis.call('HGET', KEYS[k + 4], key)
if token then
  token = tonumber(string.match(token, '^%d+'))
else
  token = tonumber(redis.call('GET', KEYS[k + 5]) or '0')
end
redis.call('HSET', KEYS[k + 4], key, string.format('%d', token + 1) .. ' ' .. now)
if redis.call('HSET', status, agent, '1') == 1 then join(KEYS[k + 3], agent) end
redis.call('HSET', KEYS[k + 6], agent, now)
redis.call('XADD', log, 'MAXLEN', '~', cap, '*', 'kind', 'claimed', 'agent', agent, 'key', key,
           'at', now)
if previous then
  redis.call('XADD', log, 'MAXLEN', '~', cap, '*', 'kind', 'released', 'agent', previous,
             'key', key, 'at', now)
end
return finish(DONE)
""")

# All or none of several claims, each as CLAIM grants it: HELD "<n>:<holder>"
# for the first of them held live (its place in ARGV), else DONE
# "<now> <token>,<token>...". Own KEYS as CLAIM's. ARGV: agent, log cap, keys.
CLAIM_MANY = _write(r"""
@NOW@
local claims, status, log = KEYS[k], KEYS[k + 1], KEYS[k + 2]
local agent, cap = ARGV[a], ARGV[a + 1]
local stored = {}
for i = a + 2, #ARGV do
  local v = redis.call('HGET', claims, ARGV[i])
  if v then
    local sep = string.find(v, ':', 1, true)
    if tonumber(now) < tonumber(string.sub(v, 1, sep - 1)) + @LEASE@ then
      redis.call('HSET', KEYS[k + 6], agent, now)
      return finish(HELD, (i - a - 1) .. ':' .. string.sub(v, sep + 1))
    end
    stored[i] = string.sub(v, sep + 1)
  end
end
local floor = tonumber(redis.call('GET', KEYS[k + 5]) or '0')
local tokens = {}
for i = a + 2, #ARGV do
  local key = ARGV[i]
  redis.call('HSET', claims, key, now .. ':' .. agent)
  local token = redis.call('HGET', KEYS[k + 4], key)
  token = (token and tonumber(string.match(token, '^%d+')) or floor) + 1
  redis.call('HSET', KEYS[k + 4], key, string.format('%d', token) .. ' ' .. now)
  tokens[#tokens + 1] = string.format('%d', token)
  redis.call('XADD', log, 'MAXLEN', '~', cap, '*', 'kind', 'claimed', 'agent', agent, 'key', key,
             'at', now)
  if stored[i] then
    redis.call('XADD', log, 'MAXLEN', '~', cap, '*', 'kind', 'released', 'agent', stored[i],
               'key', key, 'at', now)
  end
end
if redis.call('HSET', status, agent, '1') == 1 then join(KEYS[k + 3], agent) end
redis.call('HSET', KEYS[k + 6], agent, now)
return finish(DONE, now .. ' ' .. table.concat(tokens, ','))
""")

# The holder test of renewal and release, before the clock is read for a
# change: NO_CLAIM when nothing is stored under the key, HELD when someone
# else holds it. A refused call still counts as the agent's last call
# (@SEEN@: the seen hash).
_HOLDER_ONLY = r"""
local claims, agent, key = KEYS[k], ARGV[a], ARGV[a + 1]
local stored = redis.call('HGET', claims, key)
local holder = stored and string.sub(stored, string.find(stored, ':', 1, true) + 1)
if holder ~= agent then
  local t = redis.call('TIME')[1]
  if tonumber(t) >= 0 then redis.call('HSET', @SEEN@, agent, t) end
  if not stored then return finish(NO_CLAIM) end
  return finish(HELD, holder)
end
"""

# Renewal never takes a claim over and touches neither status nor log.
# Own KEYS: claims, seen. ARGV: agent, resource key.
RENEW = _write(_HOLDER_ONLY.replace("@SEEN@", "KEYS[k + 1]") + r"""
@NOW@
redis.call('HSET', claims, key, now .. ':' .. holder)
redis.call('HSET', KEYS[k + 1], agent, now)
return finish(DONE)
""")

# The clock is read before anything changes, so a clock fault changes nothing.
# Own KEYS: claims, status, log, seen. ARGV: agent, resource key, log cap.
RELEASE = _write(_HOLDER_ONLY.replace("@SEEN@", "KEYS[k + 3]") + r"""
@NOW@
redis.call('HDEL', claims, key)
redis.call('HSET', KEYS[k + 1], agent, '0')
redis.call('HSET', KEYS[k + 3], agent, now)
redis.call('XADD', KEYS[k + 2], 'MAXLEN', '~', ARGV[a + 2], '*', 'kind', 'released',
           'agent', agent, 'key', key, 'at', now)
return finish(DONE)
""")

# Own KEYS: status, log, recipient's inbox, joined, owed, seen, waiting,
# recipient's wake list. ARGV: from, to, content, log cap.
SEND = _write(r"""
@NOW@
local from, to, content = ARGV[a], ARGV[a + 1], ARGV[a + 2]
settle(KEYS[k + 4], KEYS[k + 2])
redis.call('RPUSH', KEYS[k + 2], now .. ',' .. #from .. ',' .. from .. content)
wake(KEYS[k + 6], KEYS[k + 2], KEYS[k + 7], now)
if redis.call('HSETNX', KEYS[k], to, '0') == 1 then join(KEYS[k + 3], to) end
redis.call('HSET', KEYS[k + 5], from, now)
redis.call('XADD', KEYS[k + 1], 'MAXLEN', '~', ARGV[a + 3], '*', 'kind', 'sent', 'from', from,
           'to', to, 'content', content, 'at', now)
return finish(DONE, now)
""")

# The client passes the inboxes of the agents it knows (the first `known`
# entries of the joined list), plus the sender's when it is not among them.
# Agents that became known since (newcomers) are owed the message: it waits
# in the owed hash and moves into their inbox before anything else touches
# it, so the broadcast reaches exactly the agents known when it runs, in one
# run. The reply adds the joined list's length and the newcomers, for the
# client's next broadcast. A list of a deleted namespace (another base) gets
# STALE, the current list and no write.
# A waiting newcomer's wake list is not among the keys: such a broadcast
# gets STALE too, before any write, and comes again with the full list.
# Own KEYS: status, log, joined, owed, seen, waiting, then the inboxes, then
# their wake lists in the same order. ARGV: from, content, log cap, base,
# known, whether the last inbox key is the sender's own (not among the
# known), the inbox key prefix.
BROADCAST = _write(r"""
local status, log, joined, owed = KEYS[k], KEYS[k + 1], KEYS[k + 2], KEYS[k + 3]
local waiters, first = KEYS[k + 5], k + 6
local n = (#KEYS - first + 1) / 2
local from, content, own = ARGV[a], ARGV[a + 1], ARGV[a + 5] == '1'
local base = redis.call('LINDEX', joined, 0) or ''
if base ~= ARGV[a + 3] then
  return {id, STALE, base, redis.call('LRANGE', joined, 1, -1)}
end
@NOW@
local known = tonumber(ARGV[a + 4])
local live = false  -- the inboxes waited on, when any
if redis.call('HLEN', waiters) > 0 then
  live = {}
  local flat = redis.call('HGETALL', waiters)
  for i = 1, #flat, 2 do
    if tonumber(now) <= tonumber(flat[i + 1]) then live[flat[i]] = true end
  end
  for _, agent in ipairs(redis.call('LRANGE', joined, math.max(known, 1), -1)) do
    if live[ARGV[a + 6] .. agent] and not (own and agent == from) then
      return {id, STALE, base, redis.call('LRANGE', joined, 1, -1)}
    end
  end
end
if redis.call('HSETNX', status, from, '0') == 1 then join(joined, from) end
local newcomers = redis.call('LRANGE', joined, math.max(known, 1), -1)
local message = now .. ',' .. #from .. ',' .. from .. content
if redis.call('HLEN', owed) > 0 then
  local waiting = {}
  for _, inbox in ipairs(redis.call('HKEYS', owed)) do waiting[inbox] = true end
  for i = first, first + n - 1 do
    if waiting[KEYS[i]] then settle(owed, KEYS[i]) end
  end
end
for i = first, first + n - 1 do
  redis.call('RPUSH', KEYS[i], message)
  if live and live[KEYS[i]] and redis.call('LLEN', KEYS[i + n]) == 0 then
    redis.call('RPUSH', KEYS[i + n], '1')
  end
end
redis.call('HSET', KEYS[k + 4], from, now)
local entry = #newcomers > 0 and #message .. ':' .. message
for _, agent in ipairs(newcomers) do
  if not (own and agent == from) then
    local inbox = ARGV[a + 6] .. agent
    redis.call('HSET', owed, inbox, (redis.call('HGET', owed, inbox) or '') .. entry)
  end
end
redis.call('XADD', log, 'MAXLEN', '~', ARGV[a + 2], '*', 'kind', 'broadcast', 'from', from,
           'content', content, 'at', now)
local reply = finish(DONE, now)
if base == '' then base = redis.call('LINDEX', joined, 0) end
reply[4] = base
reply[5] = newcomers
return reply
""")

# Unconfirmed drained messages first, then the inbox. Replies
# {id, DONE, left, messages}. Own KEYS: inbox, pending list, owed, seen.
# ARGV: agent. The batch form takes ARGV count, bytes, agent: at most count
# messages and bytes of content.
_SEEN = r"""
local now = redis.call('TIME')[1]
if tonumber(now) >= 0 then redis.call('HSET', KEYS[k + 3], ARGV[@AGENT@], now) end
"""
_INBOX = _SEEN.replace("@AGENT@", "a") + r"""
settle(KEYS[k + 2], KEYS[k])
local batch = redis.call('LRANGE', KEYS[k + 1], 0, -1)
for _, m in ipairs(redis.call('LRANGE', KEYS[k], 0, -1)) do batch[#batch + 1] = m end
return {id, DONE, 0, batch}
"""
_INBOX_BATCH = _SEEN.replace("@AGENT@", "a + 2") + r"""
settle(KEYS[k + 2], KEYS[k])
local limit = {count = tonumber(ARGV[a]), bytes = tonumber(ARGV[a + 1]), used = 0}
local waiting = redis.call('LLEN', KEYS[k + 1]) + redis.call('LLEN', KEYS[k])
local batch = {}
local _, full = fill(batch, KEYS[k + 1], limit)
if not full then fill(batch, KEYS[k], limit) end
return {id, DONE, waiting - #batch, batch}
"""
INBOX = _framed(_INBOX)
INBOX_ALONE = _alone(_INBOX)
INBOX_BATCH = _framed(_INBOX_BATCH)
INBOX_BATCH_ALONE = _alone(_INBOX_BATCH)

# Moves the inbox into a pending segment of this call and returns it; the
# client's next call confirms it (drops the segment). Segments of this
# object's earlier unanswered drains, and segments left unconfirmed for
# `handover` seconds (their drainer died), are taken over first. With a
# limit (the batch form), at most count messages and bytes of content go:
# what was taken over and does not fit goes back to the head of the inbox.
# Replies {id, DONE, left, messages, how many of them were taken over, how
# many wait in the inbox (left but for other drains' unconfirmed batches)}.
# Own KEYS: inbox, pending list, pending index, owed, seen; a wait adds
# waiting and the agent's wake list.
# ARGV: agent, count, bytes (0 for all), seconds to wait (0: none), handover,
# own ids...
#
# A wait is a drain that, when it finds nothing, notes in the same run that
# the inbox is waited on (so a message landing after this check wakes it)
# and empties the wake list (a stale entry: whatever it announced is gone).
_DRAIN = r"""
local inbox, list, agent = KEYS[k], KEYS[k + 1], ARGV[a]
index = KEYS[k + 2]
local over = 0
local function reply(batch)
  return {id, DONE, @LEFT@, batch, math.min(over, #batch), redis.call('LLEN', inbox)}
end
local done = redis.call('GET', KEYS[1])
if done and string.sub(done, 1, #id + 1) == id .. ' ' then
  -- A retry: the batch of the first run, unless it was taken over since.
  local pos = 0
  for _, g in ipairs(segments(agent)) do
    if g[1] == id then return reply(redis.call('LRANGE', list, pos, pos + g[3] - 1)) end
    pos = pos + g[3]
  end
  return reply({})
end
settle(KEYS[k + 3], inbox)
local now = tonumber(redis.call('TIME')[1])
if now >= 0 then redis.call('HSET', KEYS[k + 4], agent, now) end
local count, bytes = tonumber(ARGV[a + 1]), tonumber(ARGV[a + 2])
local handover = tonumber(ARGV[a + 4])
local mine = {}
for i = a + 5, #ARGV do mine[ARGV[i]] = true end
local batch = take(list, agent, function(g) return mine[g[1]] or now >= g[2] + handover end)
over = #batch
local rest = segments(agent)
if count == 0 and #batch == 0 and #rest == 0 then
  batch = redis.call('LRANGE', inbox, 0, -1)
  if #batch > 0 then redis.call('RENAME', inbox, list) end
elseif count == 0 then
  local fresh = redis.call('LRANGE', inbox, 0, -1)
  if #fresh > 0 then redis.call('DEL', inbox) end
  for _, m in ipairs(fresh) do batch[#batch + 1] = m end
  push(list, batch)
else
@LIMITED@
end
if #batch > 0 then
  rest[#rest + 1] = {id, now, #batch}
  save(agent, rest)
@WAIT@
end
redis.call('SET', KEYS[1], id .. ' ' .. DONE, 'EX', @TTL@)
return reply(batch)
"""
_WAIT = r"""
elseif tonumber(ARGV[a + 3]) > 0 then
  local until_ = now + tonumber(ARGV[a + 3])
  local w = redis.call('HGET', KEYS[k + 5], inbox)
  if not w or tonumber(w) < until_ then redis.call('HSET', KEYS[k + 5], inbox, until_) end
  redis.call('DEL', KEYS[k + 6])"""
_UNLIMITED = _DRAIN.replace("@LIMITED@", "  error('no limit')").replace("@LEFT@", "0")
DRAIN = _framed(_UNLIMITED.replace("@WAIT@", ""))
WAIT = _framed(_UNLIMITED.replace("@WAIT@", _WAIT))
_LIMITED = _DRAIN.replace(
    "@LEFT@", "redis.call('LLEN', inbox) + redis.call('LLEN', list) - #batch").replace(
    "@LIMITED@", r"""
  local limit = {count = count, bytes = bytes, used = 0}
  local n = 0
  while n < #batch and fits(limit, n, batch[n + 1]) do n = n + 1 end
  if n < #batch then
    for i = #batch, n + 1, -1 do redis.call('LPUSH', inbox, batch[i]) end
    for i = #batch, n + 1, -1 do batch[i] = nil end
  else
    local taken = fill(batch, inbox, limit)
    if taken > 0 then redis.call('LTRIM', inbox, taken, -1) end
  end
  push(list, batch)""")
DRAIN_BATCH = _framed(_LIMITED.replace("@WAIT@", ""))
WAIT_BATCH = _framed(_LIMITED.replace("@WAIT@", _WAIT))

# Drops one pending segment (a batch held until acknowledged) of the agent.
# Replies {id, DONE, messages dropped}. Own KEYS: pending list, pending index.
# ARGV: agent, the segment's call id.
ACKNOWLEDGE = _framed(r"""
index = KEYS[k + 1]
local agent, wanted, n = ARGV[a], ARGV[a + 1], 0
for _, g in ipairs(segments(agent)) do
  if g[1] == wanted then n = g[3] end
end
if n > 0 then take(KEYS[k], agent, function(g) return g[1] == wanted end, true) end
return {id, DONE, n}
""")

# Own KEYS: status. ARGV: agent.
_STATUS = r"""
return {id, DONE, redis.call('HGET', KEYS[k], ARGV[a])}
"""
STATUS = _framed(_STATUS)
STATUS_ALONE = _alone(_STATUS)

# Only the frame: sends the confirmations the object owes.
CONFIRM = _framed(r"""
return {id, DONE}
""")

# The views read the clock like the writes: a clock before 1970 is the same fault.
_READ_NOW = r"""
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return {id, CLOCK, now} end
"""

# One stored claim with its token entry. Replies {id, DONE, now, stored
# claim or nil, token entry or nil}. Own KEYS: claims, tokens. ARGV: key.
_LEASE = _READ_NOW + r"""
return {id, DONE, now, redis.call('HGET', KEYS[k], ARGV[a]),
        redis.call('HGET', KEYS[k + 1], ARGV[a])}
"""
LEASE_READ = _framed(_LEASE)
LEASE_ALONE = _alone(_LEASE)

# The claims stored under several keys at once. Replies {id, DONE, now,
# {claim or false, ...}, {token entry or false, ...}}. Own KEYS: claims,
# tokens. ARGV: the keys.
_LEASE_MANY = _READ_NOW + r"""
local wanted = {}
for i = a, #ARGV do wanted[#wanted + 1] = ARGV[i] end
if #wanted == 0 then return {id, DONE, now, {}, {}} end
return {id, DONE, now, redis.call('HMGET', KEYS[k], unpack(wanted)),
        redis.call('HMGET', KEYS[k + 1], unpack(wanted))}
"""
LEASE_MANY = _framed(_LEASE_MANY)
LEASE_MANY_ALONE = _alone(_LEASE_MANY)

# The stored claims whose key starts with the prefix. Replies {id, DONE,
# now, {key, claim, token entry or nil, ...}}. Own KEYS: claims, tokens.
# ARGV: prefix.
_LEASES = _READ_NOW + r"""
local prefix, out = ARGV[a], {}
local flat = redis.call('HGETALL', KEYS[k])
for i = 1, #flat, 2 do
  if string.sub(flat[i], 1, #prefix) == prefix then
    out[#out + 1] = flat[i]
    out[#out + 1] = flat[i + 1]
    out[#out + 1] = redis.call('HGET', KEYS[k + 1], flat[i]) or ''
  end
end
return {id, DONE, now, out}
"""
LEASES = _framed(_LEASES)
LEASES_ALONE = _alone(_LEASES)

# Every known agent with its status, messages waiting (owed broadcasts
# included), pending drained messages, live claims and last call. The client
# passes the inbox and pending list of each agent it knows, in the joined
# list's order; a list that differs from the server's (another base, or
# agents that joined since) gets STALE and the server's list instead.
# Replies {id, DONE, {{agent, status, inbox, pending, leases, seen}, ...}}.
# Own KEYS: status, joined, claims, seen, owed, then per agent its inbox and
# pending list. ARGV: base, known.
_AGENTS = r"""
local status, joined, claims, seen, owed = KEYS[k], KEYS[k + 1], KEYS[k + 2], KEYS[k + 3],
  KEYS[k + 4]
local base = redis.call('LINDEX', joined, 0) or ''
local names = redis.call('LRANGE', joined, 1, -1)
if base ~= ARGV[a] or #names ~= math.max(tonumber(ARGV[a + 1]) - 1, 0) then
  return {id, STALE, base, names}
end
""" + _READ_NOW + r"""
now = tonumber(now)
local held = {}
local flat = redis.call('HGETALL', claims)
for i = 1, #flat, 2 do
  local sep = string.find(flat[i + 1], ':', 1, true)
  if now < tonumber(string.sub(flat[i + 1], 1, sep - 1)) + @LEASE@ then
    local holder = string.sub(flat[i + 1], sep + 1)
    held[holder] = (held[holder] or 0) + 1
  end
end
local out = {}
for i, agent in ipairs(names) do
  local inbox = KEYS[k + 3 + 2 * i]
  local waiting = redis.call('LLEN', inbox)
  local v = redis.call('HGET', owed, inbox)
  local pos = 1
  while v and pos <= #v do
    local colon = string.find(v, ':', pos, true)
    pos = colon + tonumber(string.sub(v, pos, colon - 1)) + 1
    waiting = waiting + 1
  end
  out[i] = {agent, redis.call('HGET', status, agent) or '0', waiting,
            redis.call('LLEN', KEYS[k + 4 + 2 * i]), held[agent] or 0,
            redis.call('HGET', seen, agent)}
end
return {id, DONE, out}
"""
AGENTS = _framed(_AGENTS)
AGENTS_ALONE = _alone(_AGENTS)

# Releases every claim the agent holds, expired ones included, each as
# RELEASE does (status idle, one record each, in key order). Replies with
# the keys, each "<length>:<key>", so a repeated call gets them from the record.
# Own KEYS: claims, status, log, seen. ARGV: agent, log cap.
RELEASE_ALL = _write(r"""
@NOW@
local claims, agent = KEYS[k], ARGV[a]
local mine = {}
local flat = redis.call('HGETALL', claims)
for i = 1, #flat, 2 do
  local v = flat[i + 1]
  if string.sub(v, string.find(v, ':', 1, true) + 1) == agent then mine[#mine + 1] = flat[i] end
end
table.sort(mine)
local parts = {}
for i, key in ipairs(mine) do
  redis.call('HDEL', claims, key)
  redis.call('XADD', KEYS[k + 2], 'MAXLEN', '~', ARGV[a + 1], '*', 'kind', 'released',
             'agent', agent, 'key', key, 'at', now)
  parts[i] = #key .. ':' .. key
end
if #mine > 0 then redis.call('HSET', KEYS[k + 1], agent, '0') end
redis.call('HSET', KEYS[k + 3], agent, now)
return finish(DONE, table.concat(parts))
""")

# The client passes every inbox and pending list of the agents it knows, with
# the base and length of its list. Everything of the namespace in KEYS goes;
# the reply names the agents that became known since (or all, for a list of
# another base), whose keys the client deletes next with DELETE_REST. The
# floor stays: it rises to the highest token granted, so that no key's
# token is ever granted again.
# Own KEYS: floor, claims, status, log, joined, pending index, owed, tokens,
# seen, waiting, then per agent its inbox, pending list and wake list.
# ARGV: base, known.
DELETE = _write(r"""
local joined, floor = KEYS[k + 4], KEYS[k]
local top = tonumber(redis.call('GET', floor) or '0')
for _, v in ipairs(redis.call('HVALS', KEYS[k + 7])) do
  top = math.max(top, tonumber(string.match(v, '^%d+')))
end
if top > 0 then redis.call('SET', floor, string.format('%d', top)) end
k = k + 1  -- the floor stays
local known = 1
if (redis.call('LINDEX', joined, 0) or '') == ARGV[a] then
  known = math.max(tonumber(ARGV[a + 1]), 1)
end
local newcomers = redis.call('LRANGE', joined, known, -1)
local removed = 0
for i = k, #KEYS, 1000 do
  removed = removed + redis.call('UNLINK', unpack(KEYS, i, math.min(i + 999, #KEYS)))
end
local reply = finish(DONE, removed)
reply[4] = newcomers
return reply
""")

# Own KEYS: the keys of agents that became known during a delete. ARGV: none.
DELETE_REST = _write(r"""
local removed = 0
for i = k, #KEYS, 1000 do
  removed = removed + redis.call('UNLINK', unpack(KEYS, i, math.min(i + 999, #KEYS)))
end
return finish(DONE, removed)
""")


# The task graph. Stored forms:
#   tasks hash      task id -> JSON {title, added, seq, waiting (dependencies
#                   not done), state (0 open, 1 done, 2 failed), finisher,
#                   outcome, deps}
#   dependants hash "<task id>\n#" -> how many tasks depend on it;
#                   "<task id>\n<k>" -> JSON list of the k-th hundred of them
#   ready zset      open tasks with no dependency left, scored by seq: what
#                   claim_next reads, and all it reads when one is free
#   open zset       open tasks by seq; open_ids: the same ids at score 0, so
#                   that a prefix counts by ZLEXCOUNT
#   task_waiters    zset: a waiting claim_next's id -> server second it waits until
#   task_wake list  an entry per live waiter, pushed when a task becomes ready
# The claim of a task is its "task:<id>" claim, granted as CLAIM grants.
# Own KEYS (every task script): Keys.graph()'s order.
_GRAPH = r"""
local G = {tasks = KEYS[k], deps = KEYS[k + 1], ready = KEYS[k + 2], open = KEYS[k + 3],
  ids = KEYS[k + 4], seq = KEYS[k + 5], waiters = KEYS[k + 6], wake = KEYS[k + 7],
  claims = KEYS[k + 8], tokens = KEYS[k + 9], floor = KEYS[k + 10], status = KEYS[k + 11],
  joined = KEYS[k + 12], seen = KEYS[k + 13], log = KEYS[k + 14]}

local function task(id)
  local v = redis.call('HGET', G.tasks, id)
  return v and cjson.decode(v)
end

-- The live holder of the task's claim and when its lease ends, or false.
local function holder_of(id, now)
  local stored = redis.call('HGET', G.claims, 'task:' .. id)
  if not stored then return false end
  local sep = string.find(stored, ':', 1, true)
  local ends = tonumber(string.sub(stored, 1, sep - 1)) + @LEASE@
  if tonumber(now) < ends then return string.sub(stored, sep + 1), ends end
  return false
end

local function word(id, t, now)
  if t.state == 1 then return 'done' end
  if t.state == 2 then return 'failed' end
  if holder_of(id, now) then return 'held' end
  if t.waiting > 0 then return 'blocked' end
  return 'ready'
end

local function view(id, t, now)
  local waits = {}
  if t.waiting > 0 then
    for _, d in ipairs(t.deps) do
      local o = task(d)
      if not o or o.state ~= 1 then waits[#waits + 1] = d end
    end
  end
  local tk = redis.call('HGET', G.tokens, 'task:' .. id)
  local w = word(id, t, now)
  local holder = cjson.null
  if w == 'held' then holder = holder_of(id, now)
  elseif t.finisher and w ~= 'ready' and w ~= 'blocked' then holder = t.finisher end
  return {id = id, title = t.title, state = w, holder = holder,
          token = tk and tonumber(string.match(tk, '^%d+')) or 0, waits = waits,
          outcome = t.outcome or '', deps = t.deps, added = t.added, seq = t.seq}
end

-- Wakes every live waiter: one entry each in the wake list.
local function wake_tasks(now)
  redis.call('ZREMRANGEBYSCORE', G.waiters, '-inf', '(' .. now)
  local n = math.min(redis.call('ZCARD', G.waiters), 1000)
  for _ = redis.call('LLEN', G.wake) + 1, n do redis.call('RPUSH', G.wake, '1') end
end
"""

# ARGV: agent, task id, title, dependencies. DONE: the task (JSON).
ADD_TASK = _write(_GRAPH + r"""
@NOW@
local agent, id, title = ARGV[a], ARGV[a + 1], ARGV[a + 2]
redis.call('HSET', G.seen, agent, now)
local t = task(id)
local known, new = {}, {}
if t then for _, d in ipairs(t.deps) do known[d] = true end end
for i = a + 3, #ARGV do
  if not known[ARGV[i]] then new[#new + 1] = ARGV[i] end
end
if t then
  if #new == 0 and title == t.title then return finish(DONE, cjson.encode(view(id, t, now))) end
  local w = word(id, t, now)
  if w == 'held' or w == 'done' or w == 'failed' then return finish(STARTED, w) end
end
-- Depth first over what the new dependencies depend on: reaching the task
-- closes a cycle, named from the task round to itself.
local parent, stack = {}, {}
for _, d in ipairs(new) do
  if d == id then return finish(CYCLE, cjson.encode({id, id})) end
  if not parent[d] then
    parent[d] = id
    stack[#stack + 1] = d
  end
end
while #stack > 0 do
  local node = table.remove(stack)
  local o = task(node)
  if o then
    for _, nxt in ipairs(o.deps) do
      if nxt == id then
        local path, n = {}, node
        while n ~= id do
          table.insert(path, 1, n)
          n = parent[n]
        end
        table.insert(path, 1, id)
        path[#path + 1] = id
        return finish(CYCLE, cjson.encode(path))
      end
      if not parent[nxt] then
        parent[nxt] = node
        stack[#stack + 1] = nxt
      end
    end
  end
end
local unfinished = 0
for _, d in ipairs(new) do
  local o = task(d)
  if not o or o.state ~= 1 then unfinished = unfinished + 1 end
  -- In chunks of 100, so that adding a dependant costs the same however
  -- many the task has.
  local n = redis.call('HINCRBY', G.deps, d .. '\n#', 1)
  local field = d .. '\n' .. math.floor((n - 1) / 100)
  local list = redis.call('HGET', G.deps, field)
  list = list and cjson.decode(list) or {}
  list[#list + 1] = id
  redis.call('HSET', G.deps, field, cjson.encode(list))
end
if t then
  t.title = title
  t.waiting = t.waiting + unfinished
  for _, d in ipairs(new) do t.deps[#t.deps + 1] = d end
  if t.waiting > 0 then redis.call('ZREM', G.ready, id) end
else
  local seq = redis.call('INCR', G.seq)
  t = {title = title, added = tonumber(now), waiting = unfinished, state = 0, outcome = '',
       deps = new, seq = seq}
  redis.call('ZADD', G.open, seq, id)
  redis.call('ZADD', G.ids, 0, id)
  if unfinished == 0 then
    redis.call('ZADD', G.ready, seq, id)
    wake_tasks(now)
  end
end
redis.call('HSET', G.tasks, id, cjson.encode(t))
return finish(DONE, cjson.encode(view(id, t, now)))
""")

# The oldest ready task under the prefix that nobody holds live, claimed as
# CLAIM claims. Reads the ready set only (up to the first free task). When
# none: registers the waiter (for `register` seconds, 0: not) and replies
# why: open tasks counted, the oldest one and what it waits for, and the
# earliest end of a lease on a ready task. ARGV: agent, prefix, log cap,
# register, waiter id. DONE: JSON {task = ...} or the why's parts.
CLAIM_NEXT = _write(_GRAPH + r"""
@NOW@
local agent, prefix, cap = ARGV[a], ARGV[a + 1], ARGV[a + 2]
local register, waiter = tonumber(ARGV[a + 3]), ARGV[a + 4]
redis.call('HSET', G.seen, agent, now)
local expiry, start = false, 0
while true do
  local chunk = redis.call('ZRANGE', G.ready, start, start + 99)
  for _, id in ipairs(chunk) do
    if string.sub(id, 1, #prefix) == prefix then
      local holder, ends = holder_of(id, now)
      if not holder then
        local key = 'task:' .. id
        local stored = redis.call('HGET', G.claims, key)
        local previous = stored and string.sub(stored, string.find(stored, ':', 1, true) + 1)
        redis.call('HSET', G.claims, key, now .. ':' .. agent)
        local token = redis.call('HGET', G.tokens, key)
        token = (token and tonumber(string.match(token, '^%d+'))
                 or tonumber(redis.call('GET', G.floor) or '0')) + 1
        redis.call('HSET', G.tokens, key, string.format('%d', token) .. ' ' .. now)
        if redis.call('HSET', G.status, agent, '1') == 1 then join(G.joined, agent) end
        redis.call('XADD', G.log, 'MAXLEN', '~', cap, '*', 'kind', 'claimed', 'agent', agent,
                   'key', key, 'at', now)
        if previous then
          redis.call('XADD', G.log, 'MAXLEN', '~', cap, '*', 'kind', 'released',
                     'agent', previous, 'key', key, 'at', now)
        end
        redis.call('ZREM', G.waiters, waiter)
        return finish(DONE, cjson.encode({task = view(id, task(id), now)}))
      end
      if not expiry or ends < expiry then expiry = ends end
    end
  end
  if #chunk < 100 then break end
  start = start + 100
end
if register > 0 then redis.call('ZADD', G.waiters, tonumber(now) + register, waiter) end
local out = {now = tonumber(now), expiry = expiry or cjson.null}
if prefix == '' then
  out.n = redis.call('ZCARD', G.open)
else
  out.n = redis.call('ZLEXCOUNT', G.ids, '[' .. prefix, '(' .. prefix .. '\255')
end
local first = nil
for _, id in ipairs(redis.call('ZRANGE', G.open, 0, 999)) do
  if string.sub(id, 1, #prefix) == prefix then
    first = id
    break
  end
end
if first then
  out.first = first
  local holder, ends = holder_of(first, now)
  if holder then
    out.holder, out['until'] = holder, ends
  else
    local waits = view(first, task(first), now).waits
    table.sort(waits)
    local d = waits[1]
    if d then
      out.dep = d
      local o = task(d)
      local h, e = holder_of(d, now)
      if not o then out.what = 'not added'
      elseif h and o.state == 0 then out.what, out.dep_holder, out.dep_until = 'held', h, e
      else out.what = word(d, o, now) end
    end
  end
end
return finish(DONE, cjson.encode(out))
""")

# complete_task (state 1, status word 2) and fail_task (2, 3). ARGV: agent,
# task id, outcome, state, status word, log cap. DONE: the task (JSON).
FINISH_TASK = _write(_GRAPH + r"""
@NOW@
local agent, id, outcome = ARGV[a], ARGV[a + 1], ARGV[a + 2]
local state, w, cap = tonumber(ARGV[a + 3]), ARGV[a + 4], ARGV[a + 5]
redis.call('HSET', G.seen, agent, now)
local t = task(id)
if not t then return finish(NO_CLAIM) end
local key = 'task:' .. id
local stored = redis.call('HGET', G.claims, key)
local holder = stored and string.sub(stored, string.find(stored, ':', 1, true) + 1)
if t.state ~= 0 or holder ~= agent then return finish(UNHELD) end
if state == 1 and t.waiting > 0 then return finish(BLOCKED) end
redis.call('HDEL', G.claims, key)
redis.call('HSET', G.status, agent, w)
redis.call('XADD', G.log, 'MAXLEN', '~', cap, '*', 'kind', 'released', 'agent', agent,
           'key', key, 'at', now)
t.state, t.finisher, t.outcome = state, agent, outcome
redis.call('HSET', G.tasks, id, cjson.encode(t))
redis.call('ZREM', G.ready, id)
redis.call('ZREM', G.open, id)
redis.call('ZREM', G.ids, id)
if state == 1 then
  local count, woke = tonumber(redis.call('HGET', G.deps, id .. '\n#') or '0'), false
  for c = 0, math.floor((count - 1) / 100) do
    local list = redis.call('HGET', G.deps, id .. '\n' .. c)
    for _, d in ipairs(list and cjson.decode(list) or {}) do
      local o = task(d)
      o.waiting = o.waiting - 1
      redis.call('HSET', G.tasks, d, cjson.encode(o))
      if o.waiting == 0 and o.state == 0 then
        redis.call('ZADD', G.ready, o.seq, d)
        woke = true
      end
    end
  end
  if woke then wake_tasks(now) end
end
return finish(DONE, cjson.encode(view(id, t, now)))
""")

# ARGV: agent, task id. DONE: the task (JSON); UNHELD: who failed it.
RESET_TASK = _write(_GRAPH + r"""
@NOW@
local agent, id = ARGV[a], ARGV[a + 1]
redis.call('HSET', G.seen, agent, now)
local t = task(id)
if not t then return finish(NO_CLAIM) end
if t.state ~= 2 then return finish(NOT_FAILED) end
if t.finisher ~= agent then return finish(UNHELD, t.finisher) end
t.state, t.finisher, t.outcome = 0, nil, ''
redis.call('HSET', G.tasks, id, cjson.encode(t))
redis.call('ZADD', G.open, t.seq, id)
redis.call('ZADD', G.ids, 0, id)
if t.waiting == 0 then
  redis.call('ZADD', G.ready, t.seq, id)
  wake_tasks(now)
end
return finish(DONE, cjson.encode(view(id, t, now)))
""")

# Every task under the prefix. Replies {id, DONE, JSON list}. ARGV: prefix.
_TASKS = _READ_NOW + _GRAPH + r"""
local prefix, out = ARGV[a], {}
local flat = redis.call('HGETALL', G.tasks)
for i = 1, #flat, 2 do
  if string.sub(flat[i], 1, #prefix) == prefix then
    out[#out + 1] = view(flat[i], cjson.decode(flat[i + 1]), now)
  end
end
return {id, DONE, cjson.encode(out)}
"""
TASKS = _framed(_TASKS)
TASKS_ALONE = _alone(_TASKS)
