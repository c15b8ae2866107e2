"""The server-side half of halvex_redis: one Lua script per method.

Every script reads the clock with TIME (whole seconds) and does all of its
reads and writes in one atomic run, so no client-side read-modify-write is
needed. Redis 5+ replicates script effects, so calling TIME before writing is
allowed. Every key a script touches is passed in KEYS (never built inside the
script), so a cluster can check that they share one slot and route the call.

Every script starts with the same frame:
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

Stored forms (all strings binary-safe):
  claims hash   resource key -> "<renewed_at>:<holder>"
  status hash   agent id     -> "0" idle | "1" busy (the keys are the known agents)
  agents        a version of the known agents, changed whenever one is added
  inbox list    per agent    -> "<timestamp>,<len(from)>,<from><content>"
  pending list  per agent    -> drained messages not yet confirmed, in segments
                                "<call id> <drained at> <count>;" kept in the index
  log stream    one entry per activity record, never read back, capped
"""

# Seconds a call's record outlives its run; far longer than the client's retries.
RECORD_TTL = 300

# Pure helpers, shared by the framed scripts and the reads without a frame.
_HELPERS = r"""
local function push(list, items)
  -- unpack() has a stack limit, so long lists go in chunks.
  for i = 1, #items, 4000 do
    redis.call('RPUSH', list, unpack(items, i, math.min(i + 3999, #items)))
  end
end

-- Bytes of content in a stored message "<timestamp>,<len(from)>,<from><content>".
local function content_size(m)
  local c1 = string.find(m, ',', 1, true)
  local c2 = string.find(m, ',', c1 + 1, true)
  return #m - c2 - tonumber(string.sub(m, c1 + 1, c2 - 1))
end

-- Whether message m fits into a batch of n messages under `limit`
-- ({count, bytes, used}); the first message always fits. Counts it in.
local function fits(limit, n, m)
  if n >= limit.count then return false end
  local size = content_size(m)
  if n > 0 and limit.used + size > limit.bytes then return false end
  limit.used = limit.used + size
  return true
end

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
"""

_FRAME = _HELPERS + r"""
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

-- A record is "<call id> <code>" or "<call id> <code>=<value>".
local function finish(reply)
  local record = id .. ' ' .. reply[1]
  if reply[2] then record = record .. '=' .. reply[2] end
  redis.call('SET', KEYS[1], record, 'EX', @TTL@)
  return reply
end

local function bump_agents(key)
  -- "<first writer's call id>:<count>": a deleted namespace starts again
  -- from a new base, so a client's cached version never matches a new list.
  local v = redis.call('GET', key)
  if v then
    local base, n = string.match(v, '^(.*):(%d+)$')
    redis.call('SET', key, base .. ':' .. (tonumber(n) + 1))
  else
    redis.call('SET', key, id .. ':1')
  end
end
""".replace("@TTL@", str(RECORD_TTL))

# The start of every write: a repeated call id gets the first run's reply.
_REPLAY = r"""
local done = redis.call('GET', KEYS[1])
if done and string.sub(done, 1, #id + 1) == id .. ' ' then
  done = string.sub(done, #id + 2)
  local eq = string.find(done, '=', 1, true)
  if not eq then return {tonumber(done)} end
  return {tonumber(string.sub(done, 1, eq - 1)), string.sub(done, eq + 1)}
end
"""

# Replies: {1, ...} done, {0, ...} refused, {-1, now} the server's clock reads
# before 1970 (the call stopped there).

# A claim is live while now - renewed_at < 300, the subtraction saturating
# at zero: so now < renewed_at + 300 also covers a clock set back.
# Own KEYS: claims, status, log, agents. ARGV: agent, resource key, log cap.
CLAIM = _FRAME + _REPLAY + r"""
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return finish({-1, now}) end
local claims, status, log = KEYS[k], KEYS[k + 1], KEYS[k + 2]
local agent, key, cap = ARGV[a], ARGV[a + 1], ARGV[a + 2]
local stored = redis.call('HGET', claims, key)
local previous = false
if stored then
  local sep = string.find(stored, ':', 1, true)
  if tonumber(now) < tonumber(string.sub(stored, 1, sep - 1)) + 300 then
    return finish({0, string.sub(stored, sep + 1)})
  end
  previous = string.sub(stored, sep + 1)
end
redis.call('HSET', claims, key, now .. ':' .. agent)
if redis.call('HSET', status, agent, '1') == 1 then bump_agents(KEYS[k + 3]) end
redis.call('XADD', log, 'MAXLEN', '~', cap, '*', 'kind', 'claimed', 'agent', agent, 'key', key,
           'at', now)
if previous then
  redis.call('XADD', log, 'MAXLEN', '~', cap, '*', 'kind', 'released', 'agent', previous,
             'key', key, 'at', now)
end
return finish({1})
"""

# The holder test shared by renewal and release: {0} when nothing is stored
# under the key, {1, holder} when someone else holds it; else it goes on.
_HOLDER_ONLY = r"""
local claims, agent, key = KEYS[k], ARGV[a], ARGV[a + 1]
local stored = redis.call('HGET', claims, key)
if not stored then return finish({0}) end
local holder = string.sub(stored, string.find(stored, ':', 1, true) + 1)
if holder ~= agent then return finish({1, holder}) end
"""

# Renewal never takes a claim over and touches neither status nor log.
# Own KEYS: claims. ARGV: agent, resource key.
RENEW = _FRAME + _REPLAY + _HOLDER_ONLY + r"""
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return finish({-1, now}) end
redis.call('HSET', claims, key, now .. ':' .. holder)
return finish({2})
"""

# The clock is read first, so that a clock fault changes nothing.
# Own KEYS: claims, status, log. ARGV: agent, resource key, log cap.
RELEASE = _FRAME + _REPLAY + r"""
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return finish({-1, now}) end
""" + _HOLDER_ONLY + r"""
redis.call('HDEL', claims, key)
redis.call('HSET', KEYS[k + 1], agent, '0')
redis.call('XADD', KEYS[k + 2], 'MAXLEN', '~', ARGV[a + 2], '*', 'kind', 'released',
           'agent', agent, 'key', key, 'at', now)
return finish({2})
"""

# Own KEYS: status, log, recipient's inbox, agents. ARGV: from, to, content, log cap.
SEND = _FRAME + _REPLAY + r"""
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return finish({-1, now}) end
local from, to, content = ARGV[a], ARGV[a + 1], ARGV[a + 2]
redis.call('RPUSH', KEYS[k + 2], now .. ',' .. #from .. ',' .. from .. content)
if redis.call('HSETNX', KEYS[k], to, '0') == 1 then bump_agents(KEYS[k + 3]) end
redis.call('XADD', KEYS[k + 1], 'MAXLEN', '~', ARGV[a + 3], '*', 'kind', 'sent', 'from', from,
           'to', to, 'content', content, 'at', now)
return finish({1, now})
"""

# The client passes the inboxes of the agents it believes known, plus the
# sender's, with the version of that list. When the version is stale the
# script writes nothing and returns {0, version, agents}; the client retries
# with the new list.
# Own KEYS: status, log, agents, inboxes... ARGV: from, content, log cap,
# version, and whether the last inbox key is the sender's own (not listed).
BROADCAST = _FRAME + _REPLAY + r"""
local status, log, agents = KEYS[k], KEYS[k + 1], KEYS[k + 2]
local version = redis.call('GET', agents) or ''
if version ~= ARGV[a + 3] then return {0, version, redis.call('HKEYS', status)} end
local now = redis.call('TIME')[1]
if tonumber(now) < 0 then return finish({-1, now}) end
local from = ARGV[a]
local last = #KEYS
if redis.call('HSETNX', status, from, '0') == 1 then
  bump_agents(agents)
elseif ARGV[a + 4] == '1' then
  last = last - 1  -- the sender was known after all; its inbox is listed
end
local message = now .. ',' .. #from .. ',' .. from .. ARGV[a + 1]
for i = k + 3, last do redis.call('RPUSH', KEYS[i], message) end
redis.call('XADD', log, 'MAXLEN', '~', ARGV[a + 2], '*', 'kind', 'broadcast', 'from', from,
           'content', ARGV[a + 1], 'at', now)
return finish({1, now})
"""

# Unconfirmed drained messages first, then the inbox; at most ARGV count
# messages and bytes of content (0: no limit). Returns {left, messages}.
# Own KEYS: inbox, pending list. ARGV: count, bytes.
_INBOX_BODY = r"""
local count, bytes = tonumber(ARGV[a]), tonumber(ARGV[a + 1])
local waiting = redis.call('LLEN', KEYS[k + 1]) + redis.call('LLEN', KEYS[k])
local batch = {}
if count == 0 then
  batch = redis.call('LRANGE', KEYS[k + 1], 0, -1)
  for _, m in ipairs(redis.call('LRANGE', KEYS[k], 0, -1)) do batch[#batch + 1] = m end
else
  local limit = {count = count, bytes = bytes, used = 0}
  local _, full = fill(batch, KEYS[k + 1], limit)
  if not full then fill(batch, KEYS[k], limit) end
end
return {waiting - #batch, batch}
"""
INBOX = _FRAME + _INBOX_BODY

# Moves the inbox into a pending segment of this call and returns it; the
# client's next call confirms it (drops the segment). Segments of this
# object's earlier unanswered drains, and segments left unconfirmed for
# `handover` seconds (their drainer died), are taken over first. With a
# limit (count > 0), at most count messages and bytes of content go: what
# was taken over and does not fit goes back to the head of the inbox.
# Returns {left, messages}.
# Own KEYS: inbox, pending list, pending index.
# ARGV: agent, count, bytes, handover, own ids...
DRAIN = _FRAME + r"""
local inbox, list, agent = KEYS[k], KEYS[k + 1], ARGV[a]
index = KEYS[k + 2]
local function left(n)
  return redis.call('LLEN', inbox) + redis.call('LLEN', list) - n
end
local done = redis.call('GET', KEYS[1])
if done and string.sub(done, 1, #id + 1) == id .. ' ' then
  -- A retry: the batch of the first run, unless it was taken over since.
  local pos = 0
  for _, g in ipairs(segments(agent)) do
    if g[1] == id then return {left(g[3]), redis.call('LRANGE', list, pos, pos + g[3] - 1)} end
    pos = pos + g[3]
  end
  return {left(0), {}}
end
local now = tonumber(redis.call('TIME')[1])
local count, bytes = tonumber(ARGV[a + 1]), tonumber(ARGV[a + 2])
local handover = tonumber(ARGV[a + 3])
local mine = {}
for i = a + 4, #ARGV do mine[ARGV[i]] = true end
local batch = take(list, agent, function(g) return mine[g[1]] or now >= g[2] + handover end)
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
  push(list, batch)
end
if #batch > 0 then
  rest[#rest + 1] = {id, now, #batch}
  save(agent, rest)
end
redis.call('SET', KEYS[1], id .. ' 0', 'EX', @TTL@)
return {left(#batch), batch}
""".replace("@TTL@", str(RECORD_TTL))

# Own KEYS: status. ARGV: agent.
STATUS = _FRAME + r"""
return redis.call('HGET', KEYS[k], ARGV[a])
"""

# The reads without the frame, for calls that confirm nothing: reads need
# no record, as sending one twice changes nothing.
# KEYS: inbox, pending list. ARGV: count, bytes.
INBOX_ONLY = "local k, a = 1, 1\n" + _HELPERS + _INBOX_BODY

# Only the frame: sends the confirmations the object owes.
CONFIRM = _FRAME + r"""
return 1
"""

# KEYS: status. ARGV: agent.
STATUS_ONLY = r"""
return redis.call('HGET', KEYS[1], ARGV[1])
"""

# As broadcast, the client passes every known agent's inbox and pending list;
# a stale version returns {0, version, agents} and deletes nothing.
# Own KEYS: claims, status, log, agents, pending index, then per agent its
# inbox and pending list. ARGV: version.
DELETE = _FRAME + _REPLAY + r"""
local version = redis.call('GET', KEYS[k + 3]) or ''
if version ~= ARGV[a] then return {0, version, redis.call('HKEYS', KEYS[k + 1])} end
local removed = 0
for i = k, #KEYS, 1000 do
  removed = removed + redis.call('UNLINK', unpack(KEYS, i, math.min(i + 999, #KEYS)))
end
return finish({1, removed})
"""
