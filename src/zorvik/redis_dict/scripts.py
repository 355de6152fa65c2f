"""The server-side scripts of a RedisDict's atomic operations.

Each script touches one shard (one hash, KEYS[1]), so in a Cluster it runs
on the node that holds that shard's slot; the server runs it whole, with no
other command between its steps, so an operation that reads and then writes
is atomic as one command is, and a client killed meanwhile leaves nothing
half done (the script runs to its end without it). None of them fails
after its first write: a script that fails is not undone.

A hash field holds a key's stored bytes, its value the value's stored bytes.
A script is sent by its SHA-1 (EVALSHA) and sent whole again when the
server does not have it (after a restart, or on a node that never saw it).
"""

import hashlib

__all__ = ["BY_SHA", "COMPARE_AND_SET", "CONTAINS_EACH", "DELETE_EACH", "OPEN", "POP", "POPITEM", "SETDEFAULT",
           "SET_WITH_EXPIRY", "Script"]


class Script:
    __slots__ = ("text", "sha")

    def __init__(self, text: str) -> None:
        self.text = text.encode()
        self.sha = hashlib.sha1(self.text).hexdigest().encode()


# pop(key): the value, removed; nil when absent.
POP = Script("""
local value = redis.call('HGET', KEYS[1], ARGV[1])
if value then redis.call('HDEL', KEYS[1], ARGV[1]) end
return value
""")

# popitem(): {field, value} of some field, removed; nil when the shard is
# empty. HRANDFIELD may name a field that has just expired (HGET then finds
# none): a few more draws find a live one or leave the shard for empty.
POPITEM = Script("""
for _ = 1, 8 do
    local field = redis.call('HRANDFIELD', KEYS[1])
    if not field then return false end
    local value = redis.call('HGET', KEYS[1], field)
    if value then
        redis.call('HDEL', KEYS[1], field)
        return {field, value}
    end
end
return false
""")

# setdefault(key, default): nil when the default was stored, else the value
# that was there.
SETDEFAULT = Script("""
if redis.call('HSETNX', KEYS[1], ARGV[1], ARGV[2]) == 1 then return false end
return redis.call('HGET', KEYS[1], ARGV[1])
""")

# compare_and_set(key, expected, new). ARGV: the field; '1' and the expected
# bytes, or '0' and '' for "absent"; '1' and the new bytes, or '0' and '' to
# remove the field. {1} when it stored, else {0, the value there (nil when
# absent)}, so that a read-modify-write starts over without reading again.
COMPARE_AND_SET = Script("""
local current = redis.call('HGET', KEYS[1], ARGV[1])
local matches
if ARGV[2] == '0' then matches = not current else matches = current == ARGV[3] end
if not matches then return {0, current} end
if ARGV[4] == '0' then
    if current then redis.call('HDEL', KEYS[1], ARGV[1]) end
else
    redis.call('HSET', KEYS[1], ARGV[1], ARGV[5])
end
return {1}
""")

# delete_many's share of a shard: 1 for each field removed, 0 for each absent,
# in order (a field given twice is removed by its first occurrence).
DELETE_EACH = Script("""
local removed = {}
for i = 1, #ARGV do removed[i] = redis.call('HDEL', KEYS[1], ARGV[i]) end
return removed
""")

# contains_many's share of a shard: 1 or 0 for each field, in order.
CONTAINS_EACH = Script("""
local present = {}
for i = 1, #ARGV do present[i] = redis.call('HEXISTS', KEYS[1], ARGV[i]) end
return present
""")

# set(key, value, ttl): the field stored and its deadline set, ARGV[3]
# milliseconds from now, as one step. Sent only to servers that have
# HPEXPIRE (checked first: a script would fail after its HSET).
SET_WITH_EXPIRY = Script("""
redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
redis.call('HPEXPIRE', KEYS[1], ARGV[3], 'FIELDS', 1, ARGV[1])
return 1
""")

# The dictionary's record (KEYS[1], a hash): its number of shards, stored by
# the first process that opens it (ARGV[1]) and read by every other one.
# ARGV[2]: '' opens or creates, 'new' only creates, 'existing' only opens.
# {1, shards} when opened or created; {0, shards} for a dictionary that is
# there already, {0, nil} for one that is not.
OPEN = Script("""
local stored = redis.call('HGET', KEYS[1], 'shards')
if stored then
    if ARGV[2] == 'new' then return {0, stored} end
    return {1, stored}
end
if ARGV[2] == 'existing' then return {0, false} end
redis.call('HSET', KEYS[1], 'shards', ARGV[1])
return {1, ARGV[1]}
""")

BY_SHA = {script.sha: script for script in (POP, POPITEM, SETDEFAULT, COMPARE_AND_SET, DELETE_EACH, CONTAINS_EACH,
                                            SET_WITH_EXPIRY, OPEN)}
