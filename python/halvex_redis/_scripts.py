"""The server-side half of halvex_redis: one Lua script per method.

Every script reads the clock with TIME (whole seconds) and does all of its
reads and writes in one atomic run, so no client-side read-modify-write is
needed. Redis 5+ replicates script effects, so calling TIME before writing is
allowed.

Stored forms (all strings binary-safe):
  claims hash   resource key -> "<renewed_at>:<holder>"
  status hash   agent id     -> "0" idle | "1" busy (the keys are the known agents)
  inbox list    per agent    -> "<timestamp>,<len(from)>,<from><content>"
  log stream    one entry per activity record, never read back
"""

# A claim is live while now - renewed_at < 300, the subtraction saturating
# at zero: so now < renewed_at + 300 also covers a clock set back.
# KEYS: claims, status, log. ARGV: agent, resource key.
CLAIM = r"""
local now = redis.call('TIME')[1]
local stored = redis.call('HGET', KEYS[1], ARGV[2])
local previous = false
if stored then
  local sep = string.find(stored, ':', 1, true)
  if tonumber(now) < tonumber(string.sub(stored, 1, sep - 1)) + 300 then
    return {0, string.sub(stored, sep + 1)}
  end
  previous = string.sub(stored, sep + 1)
end
redis.call('HSET', KEYS[1], ARGV[2], now .. ':' .. ARGV[1])
redis.call('HSET', KEYS[2], ARGV[1], '1')
redis.call('XADD', KEYS[3], '*', 'kind', 'claimed', 'agent', ARGV[1], 'key', ARGV[2], 'at', now)
if previous then
  redis.call('XADD', KEYS[3], '*', 'kind', 'released', 'agent', previous, 'key', ARGV[2], 'at', now)
end
return {1}
"""

# The holder test shared by renewal and release: {0} when nothing is stored
# under the key, {1, holder} when someone else holds it; else it goes on.
_HOLDER_ONLY = r"""
local stored = redis.call('HGET', KEYS[1], ARGV[2])
if not stored then return {0} end
local holder = string.sub(stored, string.find(stored, ':', 1, true) + 1)
if holder ~= ARGV[1] then return {1, holder} end
"""

# Renewal never takes a claim over and touches neither status nor log.
# KEYS: claims. ARGV: agent, resource key.
RENEW = _HOLDER_ONLY + r"""
redis.call('HSET', KEYS[1], ARGV[2], redis.call('TIME')[1] .. ':' .. holder)
return {2}
"""

# KEYS: claims, status, log. ARGV: agent, resource key.
RELEASE = _HOLDER_ONLY + r"""
redis.call('HDEL', KEYS[1], ARGV[2])
redis.call('HSET', KEYS[2], ARGV[1], '0')
redis.call('XADD', KEYS[3], '*', 'kind', 'released', 'agent', ARGV[1], 'key', ARGV[2],
           'at', redis.call('TIME')[1])
return {2}
"""

# KEYS: status, log, recipient's inbox. ARGV: from, to, content.
SEND = r"""
local now = redis.call('TIME')[1]
redis.call('RPUSH', KEYS[3], now .. ',' .. #ARGV[1] .. ',' .. ARGV[1] .. ARGV[3])
redis.call('HSETNX', KEYS[1], ARGV[2], '0')
redis.call('XADD', KEYS[2], '*', 'kind', 'sent', 'from', ARGV[1], 'to', ARGV[2],
           'content', ARGV[3], 'at', now)
return now
"""

# Inbox keys are built here from the known agents, so they are derived from
# the namespace's own prefix and always share its hash slot.
# KEYS: status, log. ARGV: from, content, inbox key prefix.
BROADCAST = r"""
local now = redis.call('TIME')[1]
redis.call('HSETNX', KEYS[1], ARGV[1], '0')
local message = now .. ',' .. #ARGV[1] .. ',' .. ARGV[1] .. ARGV[2]
for _, agent in ipairs(redis.call('HKEYS', KEYS[1])) do
  redis.call('RPUSH', ARGV[3] .. agent, message)
end
redis.call('XADD', KEYS[2], '*', 'kind', 'broadcast', 'from', ARGV[1], 'content', ARGV[2],
           'at', now)
return now
"""

# KEYS: inbox.
INBOX = r"""
return redis.call('LRANGE', KEYS[1], 0, -1)
"""

# Read and delete in one run: a message lands either before the drain (and
# is returned) or after it (and stays), never both or neither.
# KEYS: inbox.
DRAIN = r"""
local messages = redis.call('LRANGE', KEYS[1], 0, -1)
redis.call('DEL', KEYS[1])
return messages
"""

# KEYS: status. ARGV: agent.
STATUS = r"""
return redis.call('HGET', KEYS[1], ARGV[1])
"""

# Every non-empty inbox belongs to a known agent (a recipient is registered by
# the same script that fills its inbox), so the known agents name them all.
# KEYS: claims, status, log. ARGV: inbox key prefix.
DELETE = r"""
local removed = 0
for _, agent in ipairs(redis.call('HKEYS', KEYS[2])) do
  removed = removed + redis.call('UNLINK', ARGV[1] .. agent)
end
return removed + redis.call('UNLINK', KEYS[1], KEYS[2], KEYS[3])
"""
