// Fault injection: every change the core makes to a map, in a child process
// killed at each of its steps in turn (crash_points.hpp), for every step until
// the change completes. After each death the parent, as the next process to
// meet the damage, must find every entry that was there before (and the
// changed one as it was or as it was to be), a sound structure once it has
// taken over the dead child's locks, and a map that goes on working: inserts,
// removes and a doubling of the table. The repair itself is killed at each
// of its steps too.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "map_fixture.hpp"
#include "result_sinks.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/upkeep/map_check.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik::testing {
namespace {

// key -> value; each key's hash is its position in the key's name (below).
using Model = std::map<std::string, std::string>;

// Keys whose hash the test chooses: "k<hash>" or "k<hash>.<n>" hashes to <hash>.
std::string key(std::int64_t hash, int n = 0) { return numbered("k", static_cast<std::uint64_t>(hash)) + (n ? numbered(".", n) : ""); }
// The empty key hashes to 0.
std::int64_t hash_of(const std::string &key) { return key.empty() ? 0 : std::stoll(key.substr(1)); }

void put_all(ConcurrentHashMap_string &map, Model &model, const Model &entries) {
    for (const auto &[k, v] : entries) {
        put(map, k, v, hash_of(k));
        model[k] = v;
    }
}

// The steps a change passes, by name: from a child that runs it whole.
std::vector<std::string> steps_of(const std::function<void()> &change) {
    int channel[2];
    if (pipe(channel) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        crash_points::start_tracing();
        change();
        std::string names;
        for (const char *name : crash_points::stop_tracing()) names += std::string(name) + "\n";
        if (write(channel[1], names.data(), names.size()) < 0) _exit(3);
        _exit(0);
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
    close(channel[0]);
    EXPECT_EQ(wait_exit_status(child), 0) << "the change, run whole, failed";
    std::vector<std::string> names;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        names.push_back(text.substr(at, end - at));
    }
    return names;
}

// Runs `change` in a child that kills itself at its k-th step. True when the
// child was killed there; false when it finished first.
bool killed_at(std::uint64_t k, const std::function<void()> &change) {
    const pid_t child = fork();
    if (child == 0) {
        try {
            crash_points::start_tracing();
            crash_points::kill_at(k);
            change();
        } catch (const std::exception &e) {
            // Which steps it passed before the failure: the failure's place.
            std::string passed;
            for (const char *name : crash_points::stop_tracing()) passed += std::string("\n  ") + name;
            std::fprintf(stderr, "the child armed for step %llu threw \"%s\" after:%s\n",
                         static_cast<unsigned long long>(k), e.what(), passed.c_str());
            _exit(2);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return true;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the change failed at step " << k;
    return false;
}

// Takes every bucket's lock once (the table in force, and the new half of an
// expansion in progress), the allocator's and the doubling's: what a dead process held is
// taken over, and what it left half done repaired.
void touch_everything(ConcurrentHashMap_string &map) {
    MapState &m = *map.internals();
    const std::uint64_t chunks = m.chunks_in_use();
    const bool published = chunks < m.reachable_chunks && m.table_entry(chunks) > 1;
    const std::uint64_t buckets = m.bucket_chunk_size * chunks * (published ? 2 : 1);
    for (std::uint64_t i = 0; i < buckets; ++i) lock_bucket_at(m, m.bucket_at(i));
    unallocated_bytes(m.base);
    SegmentLockGuard expansion(m.expansion_lock_word, kExpansionLockName);
    if (char *growth = m.growth_lock_word()) SegmentLockGuard taken(growth, kGrowthLockName);
}

// Steps after which the count of entries may be one off: a death between a
// list's commit and the change of the shared count (two separate words) is
// taken as counted.
bool count_may_be_off_after(const std::string &step) {
    return step == "append: committed" || step == "remove: committed" || step == "remove: places settled" ||
           step == "repair of a remove: committed" || step == "repair of a remove: places settled";
}

struct Change {
    const char *name;
    MapShape shape;
    // Builds the state before the change (on a fresh map, in the parent).
    std::function<void(ConcurrentHashMap_string &, Model &)> prepare;
    // The change, run in a child; and its effect on the model.
    std::function<void(ConcurrentHashMap_string &)> change;
    std::function<void(Model &)> effect;
};

class CrashTest : public MapTest {
protected:
    void SetUp() override {
        timing_ = lock_wait_timing();
        // Every death here leaves a lock for the parent to take over: look at
        // holders at once rather than after the production 200 ms.
        set_lock_wait_timing({std::chrono::milliseconds(2), std::chrono::milliseconds(2), timing_.unnamed_holder_patience});
    }
    void TearDown() override { set_lock_wait_timing(timing_); }

    LockWaitTiming timing_;

    // The map in `change`'s state before the change, and its model.
    std::unique_ptr<ConcurrentHashMap_string> prepared(const Change &change, Model &model) {
        auto map = create(change.shape);
        model.clear();
        change.prepare(*map, model);
        return map;
    }

    // What the parent checks after a death at `step` (the model before and
    // after the change): every entry readable as it was or was to be; after
    // taking everything over, a sound structure; then the map goes on.
    void check_after_death(ConcurrentHashMap_string &map, const Model &before, const Model &after,
                           const std::string &where, const std::string &step, bool repair_was_killed) {
        std::set<std::string> keys;
        for (const auto &entry : before) keys.insert(entry.first);
        for (const auto &entry : after) keys.insert(entry.first);
        for (const std::string &k : keys) {
            const auto found = fetch(map, k, hash_of(k));
            const auto was = before.count(k) ? std::optional<std::string>(before.at(k)) : std::nullopt;
            const auto is = after.count(k) ? std::optional<std::string>(after.at(k)) : std::nullopt;
            ASSERT_TRUE(found == was || found == is) << where << ": key " << k << " reads "
                                                     << found.value_or("(absent)");
        }
        touch_everything(map);
        MapCheck check = check_map(*map.internals());
        ASSERT_TRUE(check.faults.empty() && check.held_locks.empty() && check.pending_intents == 0)
            << where << ": " << check.describe();
        const auto off = static_cast<std::int64_t>(check.entry_count) - static_cast<std::int64_t>(check.entries);
        // A repair killed after its own commit leaves the same ambiguity.
        const bool may_be_off = count_may_be_off_after(step) || repair_was_killed;
        ASSERT_TRUE(off == 0 || (may_be_off && (off == 1 || off == -1)))
            << where << ": " << check.describe();

        // Life goes on: new keys in every bucket, a remove, and the table doubles.
        Model now;
        for (const std::string &k : keys) {
            if (auto value = fetch(map, k, hash_of(k))) now[k] = *value;
        }
        for (int i = 0; i < 8; ++i) {
            const std::string k = key(i, 900 + i);
            put(map, k, std::string(i * 5, 'n'), i);
            now[k] = std::string(i * 5, 'n');
        }
        if (!now.empty()) {
            ASSERT_TRUE(erase(map, now.begin()->first, hash_of(now.begin()->first))) << where;
            now.erase(now.begin());
        }
        const std::uint64_t chunks = map.chunks_in_use();
        map.python_expansion_helper(2 * chunks);
        ASSERT_GT(map.chunks_in_use(), chunks) << where << ": the table did not double";
        for (const auto &[k, v] : now) ASSERT_EQ(fetch(map, k, hash_of(k)), v) << where << ": key " << k;
        check = check_map(*map.internals());
        const auto still_off = static_cast<std::int64_t>(check.entry_count) - static_cast<std::int64_t>(check.entries);
        ASSERT_TRUE(check.faults.empty() && check.held_locks.empty() && check.pending_intents == 0 &&
                    check.marked_buckets == 0 && check.expansion_workers == 0 && !check.expansion_in_progress &&
                    still_off == off)
            << where << ", after going on: " << check.describe();
        ASSERT_EQ(check.entries, now.size()) << where;
    }

    // Kills `change` at each of its steps, then checks; and for every death
    // that left a change in progress, kills the repair (a get of each key,
    // which takes the locks over) at each of its steps too.
    void kill_at_every_step(const Change &change) {
        Model before;
        auto probe = prepared(change, before);
        const std::vector<std::string> steps = steps_of([&] { change.change(*probe); });
        probe.reset();
        unlink(path.c_str());
        ASSERT_FALSE(steps.empty()) << change.name;
        for (std::uint64_t k = 1;; ++k) {
            Model model;
            auto map = prepared(change, model);
            Model after = model;
            change.effect(after);
            const std::string where = std::string(change.name) + ", killed at step " + std::to_string(k) + " (" +
                                      (k <= steps.size() ? steps[k - 1] : "past the end") + ")";
            if (!killed_at(k, [&] { change.change(*map); })) {
                EXPECT_GT(k, steps.size()) << change.name << ": the change ended before its last step";
                break;
            }
            ASSERT_LE(k, steps.size()) << where;
            const std::string step = steps[k - 1];
            // The repair, killed in turn: on this state, each step of it.
            const MapCheck left = check_map(*map->internals());
            bool repair_was_killed = false;
            if (left.pending_intents != 0) {
                // Each repair killed at a later step than the one before it,
                // on what the one before left, until one finishes.
                const auto repair = [&] {
                    for (const auto &[k2, v2] : after) fetch(*map, k2, hash_of(k2));
                    for (const auto &[k2, v2] : model) fetch(*map, k2, hash_of(k2));
                };
                for (std::uint64_t j = 1; killed_at(j, repair); ++j) {
                    repair_was_killed = true;
                    ASSERT_LT(j, 1000u) << where << ": the repair never ends";
                }
            }
            check_after_death(*map, model, after, where, step, repair_was_killed);
            map.reset();
            unlink(path.c_str());
            if (HasFatalFailure()) return;
        }
    }
};

// ---- the changes -------------------------------------------------------------------

// 4 buckets (hash mod 4), 8-byte data chunks: keys and values span chunks.
const MapShape kSmall{2, 64, 1 << 22, 3};

const std::string kLong(40, 'L');

TEST_F(CrashTest, EveryStepOfAnAppend) {
    const std::vector<Change> changes = {
        {"first entry of a bucket", kSmall, [](auto &map, Model &m) { put_all(map, m, {{key(0), "zero"}}); },
         [](auto &map) { put(map, key(1), kLong, 1); }, [](Model &m) { m[key(1)] = kLong; }},
        {"append into a free place", kSmall, [](auto &map, Model &m) { put_all(map, m, {{key(0), "zero"}}); },
         [](auto &map) { put(map, key(4), kLong, 4); }, [](Model &m) { m[key(4)] = kLong; }},
        {"append that needs an entry chunk", kSmall,
         [](auto &map, Model &m) { put_all(map, m, {{key(0), "zero"}, {key(4), "four"}}); },
         [](auto &map) { put(map, key(8), kLong, 8); }, [](Model &m) { m[key(8)] = kLong; }},
        {"append with an empty key and value", kSmall, [](auto &map, Model &m) { put_all(map, m, {{key(0), "zero"}}); },
         [](auto &map) { put(map, "", "", 0); }, [](Model &m) { m[""] = ""; }},
    };
    for (const Change &change : changes) {
        kill_at_every_step(change);
        if (HasFatalFailure()) return;
    }
}

TEST_F(CrashTest, EveryStepOfAReplace) {
    auto prepare = [](auto &map, Model &m) {
        put_all(map, m, {{key(0), "zero"}, {key(4), std::string(20, 'f')}, {key(8), ""}});
    };
    const std::vector<Change> changes = {
        {"replace by a longer value", kSmall, prepare, [](auto &map) { put(map, key(4), kLong, 4); },
         [](Model &m) { m[key(4)] = kLong; }},
        {"replace by a shorter value", kSmall, prepare, [](auto &map) { put(map, key(4), "s", 4); },
         [](Model &m) { m[key(4)] = "s"; }},
        {"replace by an empty value", kSmall, prepare, [](auto &map) { put(map, key(4), "", 4); },
         [](Model &m) { m[key(4)] = ""; }},
        {"replace of an empty value", kSmall, prepare, [](auto &map) { put(map, key(8), kLong, 8); },
         [](Model &m) { m[key(8)] = kLong; }},
    };
    for (const Change &change : changes) {
        kill_at_every_step(change);
        if (HasFatalFailure()) return;
    }
}

TEST_F(CrashTest, EveryStepOfARemove) {
    auto three = [](auto &map, Model &m) {
        put_all(map, m, {{key(0), "zero"}, {key(4), std::string(20, 'f')}, {key(8), kLong}, {key(1), "one"}});
    };
    const std::vector<Change> changes = {
        {"remove of the first of three (the last moves into its place)", kSmall, three,
         [](auto &map) { erase(map, key(0), 0); }, [](Model &m) { m.erase(key(0)); }},
        {"remove of the last of three (its entry chunk goes)", kSmall, three, [](auto &map) { erase(map, key(8), 8); },
         [](Model &m) { m.erase(key(8)); }},
        {"remove of a bucket's only entry", kSmall, three, [](auto &map) { erase(map, key(1), 1); },
         [](Model &m) { m.erase(key(1)); }},
    };
    for (const Change &change : changes) {
        kill_at_every_step(change);
        if (HasFatalFailure()) return;
    }
}

// The operations with a result make their changes by the steps of an
// append, a replace and a remove (no sequence of writes of their own): one
// change of each kind, each from a different operation, and the walks that
// remove (take_any, clear), killed at every step like the plain ones.
TEST_F(CrashTest, EveryStepOfAnOperationWithAResult) {
    auto three = [](auto &map, Model &m) {
        put_all(map, m, {{key(0), "zero"}, {key(4), std::string(20, 'f')}, {key(8), kLong}, {key(1), "one"}});
    };
    const std::vector<Change> changes = {
        {"insert_if_absent of a new key", kSmall, three,
         [](auto &map) {
             StringSink existing;
             map.insert_if_absent(key(12), kLong, 12, existing);
         },
         [](Model &m) { m[key(12)] = kLong; }},
        {"compare_and_set that replaces", kSmall, three,
         [](auto &map) { map.compare_and_set(key(4), 4, std::string(20, 'f'), std::string_view(kLong)); },
         [](Model &m) { m[key(4)] = kLong; }},
        {"compare_and_set that removes", kSmall, three,
         [](auto &map) { map.compare_and_set(key(4), 4, std::string(20, 'f'), std::nullopt); },
         [](Model &m) { m.erase(key(4)); }},
        {"take", kSmall, three,
         [](auto &map) {
             StringSink value;
             map.take(key(0), 0, value);
         },
         [](Model &m) { m.erase(key(0)); }},
        {"take_any (bucket 0's first entry)", kSmall, three,
         [](auto &map) {
             EntriesSink taken(true, true);
             std::uint64_t cursor = 0;
             map.take_any(cursor, taken);
         },
         [](Model &m) { m.erase(key(0)); }},
        {"clear", kSmall, three, [](auto &map) { map.clear(); }, [](Model &m) { m.clear(); }},
    };
    for (const Change &change : changes) {
        kill_at_every_step(change);
        if (HasFatalFailure()) return;
    }
}

// Entries in every bucket of a table of 4, some that move and some that stay
// in a split, one bucket long enough that its partner needs a chunk of its own.
void spread_entries(ConcurrentHashMap_string &map, Model &m) {
    Model entries;
    for (std::int64_t h : {0, 4, 8, 12, 16, 20, 1, 5, 2, 3, 7, 11}) entries[key(h)] = std::string(h % 13, 'v') + "!";
    put_all(map, m, entries);
}

// 4 buckets that may double up to 16 times, and a load rule that the prepared
// entries do not pass yet (12 entries in 4 buckets: up to 8 before it asks).
const MapShape kGrowing{2, 64, 1 << 22, 3};

TEST_F(CrashTest, EveryStepOfAnExpansion) {
    const std::vector<Change> changes = {
        {"expansion on request", kGrowing, spread_entries, [](auto &map) { map.python_expansion_helper(2); },
         [](Model &) {}},
        {"insert that passes the load rule and doubles the table", kGrowing, spread_entries,
         [](auto &map) { put(map, key(24), kLong, 24); }, [](Model &m) { m[key(24)] = kLong; }},
    };
    for (const Change &change : changes) {
        kill_at_every_step(change);
        if (HasFatalFailure()) return;
    }
}

// An expansion whose participant died right after splitting bucket 0: the
// bucket is split (its partner holds the moved entries), the others are not,
// and the dead participant's locks wait to be taken over.
void expansion_stopped_after_one_split(ConcurrentHashMap_string &map, Model &m) {
    spread_entries(map, m);
    const std::vector<std::string> steps = steps_of([&] { map.python_expansion_helper(2); });
    const auto split = std::find(steps.begin(), steps.end(), "split: done, old list not given back");
    ASSERT_NE(split, steps.end());
    ASSERT_TRUE(killed_at(static_cast<std::uint64_t>(split - steps.begin()) + 1, [&] { map.python_expansion_helper(2); }));
    touch_everything(map);
}

TEST_F(CrashTest, EveryStepOfAChangeDuringAStoppedExpansion) {
    const std::vector<Change> changes = {
        {"insert into a split bucket's partner", kGrowing, expansion_stopped_after_one_split,
         [](auto &map) { put(map, key(28), kLong, 28); }, [](Model &m) { m[key(28)] = kLong; }},
        {"insert into a split bucket", kGrowing, expansion_stopped_after_one_split,
         [](auto &map) { put(map, key(32), kLong, 32); }, [](Model &m) { m[key(32)] = kLong; }},
        {"insert into a bucket not split yet", kGrowing, expansion_stopped_after_one_split,
         [](auto &map) { put(map, key(9), kLong, 9); }, [](Model &m) { m[key(9)] = kLong; }},
        {"replace of a moved entry", kGrowing, expansion_stopped_after_one_split,
         [](auto &map) { put(map, key(4), "new", 4); }, [](Model &m) { m[key(4)] = "new"; }},
        {"remove of a moved entry", kGrowing, expansion_stopped_after_one_split,
         [](auto &map) { erase(map, key(12), 12); }, [](Model &m) { m.erase(key(12)); }},
        {"the expansion finished by another participant", kGrowing, expansion_stopped_after_one_split,
         [](auto &map) { map.python_expansion_helper(2); }, [](Model &) {}},
    };
    for (const Change &change : changes) {
        kill_at_every_step(change);
        if (HasFatalFailure()) return;
    }
}

// The chunk table's pages are reserved page by page (a new map stays small),
// each before its first store: a claimer killed right after its marker, the
// one slot it has written, leaves the pages of every slot the expansion goes
// on to write (the new chunks' and the ender's marker) backed, so that a full
// file system refuses the claim instead of raising SIGBUS at a later store.
TEST_F(CrashTest, ChunkTableSlotsAreBackedBeforeTheExpansionWritesThem) {
    // One bucket per chunk, a table of 2^16 slots (512 KiB); doubled empty to
    // 8192 chunks, whose expansion writes slots 8193 .. 16384, 64 KiB and more
    // into the table, past what the allocator's windows around it cover.
    const MapShape shape{0, 1 << 16, 1 << 24, 3};
    constexpr std::uint64_t kChunks = 8192;
    const auto grown = [&] {
        auto map = create(shape);
        while (map->chunks_in_use() < kChunks) map->python_expansion_helper(2 * map->chunks_in_use());
        return map;
    };
    auto probe = grown();
    const std::vector<std::string> steps = steps_of([&] { probe->python_expansion_helper(2 * kChunks); });
    probe.reset();
    unlink(path.c_str());
    const auto marker = std::find(steps.begin(), steps.end(), "claim: marker set");
    ASSERT_NE(marker, steps.end());

    auto map = grown();
    // The file's allocated bytes (st_blocks: fallocate counts there on every
    // file system that has it, tmpfs too, where lseek shows no data).
    const auto allocated = [&] {
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
    };
    {
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const int probe_error = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1) == 0 ? 0 : errno;
        close(fd);
        if (probe_error == EOPNOTSUPP) GTEST_SKIP() << "the file system cannot reserve blocks";
    }
    const std::uint64_t before = allocated();
    ASSERT_TRUE(killed_at(static_cast<std::uint64_t>(marker - steps.begin()) + 1,
                          [&] { map->python_expansion_helper(2 * kChunks); }));
    // Slots kChunks + 1 .. 2 kChunks: 64 KiB less the page they share with
    // slot kChunks, which the previous expansion's ender wrote. Nothing else
    // was allocated before the marker.
    EXPECT_GE(allocated() - before, kChunks * sizeof(Offset) - 4096)
        << "the table's pages were not reserved before the claim's first store";
}

// Threads of one process meet what two killed children left (an append and a
// remove, each killed after its intent was set, their locks held): one thread
// takes each lock over and repairs it (the append undone, the remove
// finished), and every thread's work stands.
TEST_F(CrashTest, ThreadsMeetTheDamageTogether) {
    constexpr int kThreads = 4;
    constexpr std::int64_t kKeysPerThread = 40;
    // Each change killed at the step it reaches on a map prepared alike (the
    // steps are traced on a map of their own, which the traced run changes).
    const auto kill_after = [&](const char *step, const std::function<void(ConcurrentHashMap_string &)> &change,
                                ConcurrentHashMap_string &map) {
        Model unused;
        auto probe = create(kSmall);
        spread_entries(*probe, unused);
        const std::vector<std::string> steps = steps_of([&] { change(*probe); });
        const auto at = std::find(steps.begin(), steps.end(), step);
        ASSERT_NE(at, steps.end()) << step;
        ASSERT_TRUE(killed_at(static_cast<std::uint64_t>(at - steps.begin()) + 1, [&] { change(map); })) << step;
    };
    Model model;
    auto map = create(kSmall);
    spread_entries(*map, model);
    kill_after("append: intent set", [](auto &m) { put(m, key(24), kLong, 24); }, *map);
    kill_after("remove: last entry copied", [](auto &m) { erase(m, key(1), 1); }, *map);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::int64_t i = 0; i < kKeysPerThread; ++i) {
                const std::int64_t hash = i * kThreads + t;
                put(*map, key(hash, 1000 + t), std::to_string(i), hash);
                if (fetch(*map, key(hash, 1000 + t), hash) != std::to_string(i)) wrong++;
                for (const auto &[k, v] : model) {
                    if (fetch(*map, k, hash_of(k)) != v && k != key(1)) wrong++;
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(fetch(*map, key(24), 24), std::nullopt) << "an append killed before its commit did not happen";
    EXPECT_EQ(fetch(*map, key(1), 1), std::nullopt) << "a remove killed after its intent was set is finished";
    const MapCheck check = check_map(*map->internals());
    EXPECT_TRUE(check.faults.empty() && check.held_locks.empty() && check.pending_intents == 0) << check.describe();
}

}  // namespace
}  // namespace zorvik::testing
