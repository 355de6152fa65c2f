// A native kill storm: worker processes insert, replace, remove and read their
// own keys in tight loops (so that most kills land inside the core), by the
// plain operations, by those with a result (compare-and-set,
// insert-if-absent, take) and by a batch's store, an expander process asks
// for doublings and walks the table as an iterator does, and the parent kills a random one of
// them with SIGKILL every few milliseconds and starts a replacement. Every
// worker journals its acknowledged operations in memory shared with the
// parent; afterwards every acknowledged write must read back, the map must be
// sound once every lock was taken, and it must go on (inserts, a doubling).
//
// The seed is printed; ZORVIK_STORM_SEED=<n> repeats a storm's choices, and
// ZORVIK_SOAK_KILLS=<n> goes on with further storms until n kills. It prints
// the kills that struck a lock holder and how long the recoveries from
// ended holders took (from a waiter's meeting with the lock to its release).
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "map_fixture.hpp"
#include "result_sinks.hpp"
#include "zorvik/core/map/bucket_lock.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/upkeep/map_check.hpp"
#include "zorvik/core/segment/spin_lock.hpp"

namespace zorvik::testing {
namespace {

constexpr int kWorkers = 3;
constexpr std::uint64_t kKeysPerWorker = 200;
constexpr std::uint64_t kRecords = 1 << 20;  // per worker and storm: far more than a storm acknowledges
constexpr int kKillsPerStorm = 200;

// A worker's journal, in memory shared with the parent: its acknowledged
// operations (key, version; a negative version is a remove) and the one it
// is in, sealed by a check word written last.
struct WorkerJournal {
    std::uint64_t acked;
    std::int64_t flight_index, flight_key, flight_version;
    std::uint64_t flight_check;
    std::uint64_t mismatches;  // gets that disagreed with the model
    struct Record {
        std::int64_t key, version;
    } records[kRecords];
};

// Volatile accesses: the parent reads what a killed process wrote, and the
// order of a worker's stores is what a kill can cut.
template <class T>
void set(T &field, T value) {
    *const_cast<volatile T *>(&field) = value;
}
template <class T>
T get_(const T &field) {
    return *const_cast<const volatile T *>(&field);
}

// A process's recovery times since it started (recovery_times() less what it
// inherited), published after each of its operations into one of two slots
// and then named by `current`, so that a kill never leaves a torn copy named.
struct RecoveryMailbox {
    RecoveryTimes slots[2];
    std::uint64_t current;
};

struct SharedState {
    std::uint64_t stop;
    WorkerJournal workers[kWorkers];
    RecoveryMailbox recoveries[kWorkers + 1];  // the workers', then the expander's
    std::uint64_t walk_failures;              // the expander's walks that failed
};

RecoveryTimes since(const RecoveryTimes &now, const RecoveryTimes &start) {
    RecoveryTimes delta = now;
    delta.count -= start.count;
    delta.total_us -= start.total_us;
    for (std::size_t k = 0; k < RecoveryTimes::kBuckets; ++k) delta.under_ms[k] -= start.under_ms[k];
    return delta;
}

void add(RecoveryTimes &total, const RecoveryTimes &more) {
    total.count += more.count;
    total.total_us += more.total_us;
    total.max_us = std::max(total.max_us, more.max_us);
    for (std::size_t k = 0; k < RecoveryTimes::kBuckets; ++k) total.under_ms[k] += more.under_ms[k];
}

// Publishes this process's recoveries when they changed.
void publish(RecoveryMailbox &mailbox, const RecoveryTimes &start) {
    const RecoveryTimes now = since(recovery_times(), start);
    const std::uint64_t current = get_(mailbox.current);
    if (mailbox.slots[current % 2].count == now.count) return;
    mailbox.slots[(current + 1) % 2] = now;
    asm volatile("" ::: "memory");
    set(mailbox.current, current + 1);
}

// What a process that has ended published last.
RecoveryTimes collect(RecoveryMailbox &mailbox) {
    const RecoveryTimes last = mailbox.slots[get_(mailbox.current) % 2];
    mailbox = RecoveryMailbox{};
    return last;
}

std::uint64_t seal(std::int64_t index, std::int64_t key, std::int64_t version) {
    return static_cast<std::uint64_t>(index * 31 + key * 7 + version) ^ 0x5EA1EDF117ull;
}

std::int64_t key_hash(std::int64_t key) { return static_cast<std::int64_t>(static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull); }
std::string key_name(std::int64_t key) { return numbered("key", static_cast<std::uint64_t>(key)); }
std::string value_for(std::int64_t key, std::int64_t version) {
    std::string value = numbered("v", static_cast<std::uint64_t>(key)) + numbered(".", static_cast<std::uint64_t>(version));
    value.append(static_cast<std::size_t>((key * 7 + version * 13) % 97 + (version % 17 == 0 ? 400 : 0)), 'x');
    return value;
}

using Model = std::map<std::int64_t, std::string>;

struct WorkerState {
    Model model;
    std::map<std::int64_t, std::int64_t> versions;
};

WorkerState rebuild(const WorkerJournal &journal) {
    WorkerState state;
    for (std::uint64_t n = 0; n < get_(journal.acked); ++n) {
        const auto &record = journal.records[n];
        if (record.version < 0) {
            state.model.erase(record.key);
        } else {
            state.model[record.key] = value_for(record.key, record.version);
        }
        state.versions[record.key] = std::max(state.versions[record.key], std::abs(record.version));
    }
    return state;
}

void acknowledge(WorkerJournal &journal, std::int64_t key, std::int64_t version) {
    const std::uint64_t n = get_(journal.acked);
    journal.records[n] = {key, version};
    set(journal.acked, n + 1);
}

// The operation a killed worker was in: acknowledged when the map says it
// was done (a killed operation may be done or not).
void settle(ConcurrentHashMap_string &map, WorkerJournal &journal) {
    const std::int64_t index = get_(journal.flight_index), key = get_(journal.flight_key),
                       version = get_(journal.flight_version);
    if (get_(journal.flight_check) != seal(index, key, version) ||
        static_cast<std::uint64_t>(index) != get_(journal.acked)) {
        return;
    }
    const auto found = fetch(map, key_name(key), key_hash(key));
    if (version < 0 ? !found.has_value() : found == value_for(key, version)) acknowledge(journal, key, version);
}

[[noreturn]] void run_worker(ConcurrentHashMap_string &map, SharedState &shared, int worker, std::uint64_t seed) {
    WorkerJournal &journal = shared.workers[worker];
    const RecoveryTimes inherited = recovery_times();
    settle(map, journal);
    WorkerState state = rebuild(journal);
    std::mt19937_64 random(seed);
    const auto first = static_cast<std::int64_t>(worker * kKeysPerWorker);
    while (get_(shared.stop) == 0 && get_(journal.acked) < kRecords) {
        const std::int64_t key = first + static_cast<std::int64_t>(random() % kKeysPerWorker);
        const unsigned roll = random() % 100;
        if (roll < 30) {
            const auto found = fetch(map, key_name(key), key_hash(key));
            const auto expected = state.model.count(key) ? std::optional<std::string>(state.model[key]) : std::nullopt;
            if (found != expected) set(journal.mismatches, get_(journal.mismatches) + 1);
            continue;
        }
        const std::int64_t version = (state.versions[key] + 1) * (roll < 80 ? 1 : -1);
        const auto n = static_cast<std::int64_t>(get_(journal.acked));
        set(journal.flight_index, n);
        set(journal.flight_key, key);
        set(journal.flight_version, version);
        set(journal.flight_check, seal(n, key, version));
        // The operations with a result as well as the plain ones: each must
        // agree with the model (only this worker changes its keys).
        const std::string name = key_name(key);
        const auto present = state.model.find(key);
        bool agreed = true;
        if (version > 0) {
            const std::string value = value_for(key, version);
            if (roll < 45) {
                const std::optional<std::string_view> expected =
                    present == state.model.end() ? std::nullopt : std::optional<std::string_view>(present->second);
                agreed = map.compare_and_set(name, key_hash(key), expected, std::string_view(value));
            } else if (roll < 55 && present == state.model.end()) {
                StringSink existing;
                agreed = map.insert_if_absent(name, value, key_hash(key), existing);
            } else if (roll < 65) {
                // A batch's store: its chains taken and filled for the group
                // before the bucket's lock, then linked in.
                const BatchItem item{name, value, key_hash(key)};
                map.insert_many(std::span(&item, 1));
            } else {
                put(map, name, value, key_hash(key));
            }
            state.model[key] = value;
        } else {
            if (roll < 90) {
                StringSink taken;
                agreed = map.take(name, key_hash(key), taken) == (present != state.model.end()) &&
                         (present == state.model.end() || taken.bytes == present->second);
            } else {
                erase(map, name, key_hash(key));
            }
            state.model.erase(key);
        }
        if (!agreed) set(journal.mismatches, get_(journal.mismatches) + 1);
        acknowledge(journal, key, version);
        state.versions[key] = std::abs(version);
        publish(shared.recoveries[worker], inherited);
    }
    _exit(0);
}

[[noreturn]] void run_expander(const std::string &path, SharedState &shared, std::uint64_t seed) {
    const RecoveryTimes inherited = recovery_times();
    std::mt19937_64 random(seed);
    auto map = std::make_unique<ConcurrentHashMap_string>(
        const_cast<std::string &>(path), kAttachArguments.bucket_chunk_size_exponent,
        kAttachArguments.bucket_chunk_number, kAttachArguments.size, kAttachArguments.string_chunk_size_exponent);
    while (get_(shared.stop) == 0) {
        const std::uint64_t chunks = map->chunks_in_use();
        try {
            if (chunks < 64) map->python_expansion_helper(2 * chunks);
        } catch (const std::exception &) {
        }
        // A whole walk of the table, as an iterator makes it, through whatever
        // the kills left: it must never fail.
        try {
            std::uint64_t cursor = 0;
            do {
                EntriesSink sink(true, false);
                cursor = map->scan(cursor, sink, 4);
            } while (cursor != 0);
        } catch (const std::exception &) {
            set(shared.walk_failures, get_(shared.walk_failures) + 1);
        }
        publish(shared.recoveries[kWorkers], inherited);
        usleep(static_cast<useconds_t>(random() % 20000));
    }
    _exit(0);
}

struct StormResult {
    std::uint64_t kills = 0, acknowledged = 0, lost = 0, mismatches = 0, walk_failures = 0;
    std::uint64_t kills_holding_a_lock = 0;  // the victim's id was in a lock word when it died
    std::int64_t count_off = 0;
    RecoveryTimes recoveries;  // every process's, the parent's clean-up's too
};

// Whether `pid` is named in a lock word of the map (read while others work:
// each word is read atomically, and a stale read only miscounts).
bool holds_a_lock(MapState &m, pid_t pid) {
    if (allocator_lock_holder(allocator_lock_word(m.base)) == pid || segment_lock_holder(m.expansion_lock_word) == pid) {
        return true;
    }
    const std::uint64_t chunks = m.chunks_in_use();
    const bool published = chunks < m.reachable_chunks && m.table_entry(chunks) > 1;
    for (std::uint64_t i = 0; i < m.bucket_chunk_size * chunks * (published ? 2 : 1); ++i) {
        if (segment_lock_holder(lock_word(m.bucket_at(i))) == pid) return true;
    }
    return false;
}

class KillStorm : public MapTest {
protected:
    void SetUp() override {
        timing_ = lock_wait_timing();
        // Kills come every few milliseconds here: takeovers after 10 ms, not
        // the production 200 ms, keep the workers working.
        // ZORVIK_STORM_PRODUCTION_TIMING=1 keeps the production timing, to
        // measure the recoveries as a program would see them.
        const char *production = std::getenv("ZORVIK_STORM_PRODUCTION_TIMING");
        if (production == nullptr || std::string(production) != "1") {
            set_lock_wait_timing(
                {std::chrono::milliseconds(10), std::chrono::milliseconds(5), timing_.unnamed_holder_patience});
        }
    }
    void TearDown() override { set_lock_wait_timing(timing_); }

    StormResult run_storm(std::uint64_t seed);

    LockWaitTiming timing_;
};

StormResult KillStorm::run_storm(std::uint64_t seed) {
    StormResult result;
    auto *shared = static_cast<SharedState *>(
        mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) throw std::runtime_error("mmap failed");
    // 4 buckets that double, with 8-byte data chunks: values span many chunks.
    auto map = create({2, 1 << 10, 1 << 26, 3});
    std::mt19937_64 random(seed);
    auto start = [&](int role) {
        const std::uint64_t child_seed = random();
        const pid_t pid = fork();
        if (pid == 0) {
            if (role == kWorkers) run_expander(path, *shared, child_seed);
            run_worker(*map, *shared, role, child_seed);
        }
        return pid;
    };
    std::map<pid_t, int> roles;
    for (int role = 0; role <= kWorkers; ++role) roles[start(role)] = role;
    for (; result.kills < kKillsPerStorm; ++result.kills) {
        usleep(static_cast<useconds_t>(500 + random() % 8000));
        auto victim = roles.begin();
        std::advance(victim, static_cast<long>(random() % roles.size()));
        const auto [pid, role] = *victim;
        roles.erase(victim);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        if (holds_a_lock(*map->internals(), pid)) ++result.kills_holding_a_lock;
        add(result.recoveries, collect(shared->recoveries[role]));
        roles[start(role)] = role;
    }
    set(shared->stop, std::uint64_t{1});
    for (const auto &[pid, role] : roles) waitpid(pid, nullptr, 0);
    for (int role = 0; role <= kWorkers; ++role) add(result.recoveries, collect(shared->recoveries[role]));
    result.walk_failures = get_(shared->walk_failures);
    const RecoveryTimes parent_before = recovery_times();

    // Every acknowledged write reads back.
    for (int worker = 0; worker < kWorkers; ++worker) {
        WorkerJournal &journal = shared->workers[worker];
        settle(*map, journal);
        const WorkerState state = rebuild(journal);
        result.acknowledged += journal.acked;
        result.mismatches += journal.mismatches;
        for (std::uint64_t k = 0; k < kKeysPerWorker; ++k) {
            const auto key = static_cast<std::int64_t>(worker * kKeysPerWorker + k);
            const auto found = fetch(*map, key_name(key), key_hash(key));
            const auto expected = state.model.count(key) ? std::optional<std::string>(state.model.at(key)) : std::nullopt;
            if (found != expected) ++result.lost;
        }
    }
    // Sound once every lock was taken; and it goes on: inserts, a doubling.
    MapState &m = *map->internals();
    for (std::uint64_t i = 0; i < m.bucket_chunk_size * m.chunks_in_use() * 2; ++i) {
        if ((i >> m.bucket_shift) < m.reachable_chunks && m.table_entry(i >> m.bucket_shift) > 1) {
            lock_bucket_at(m, m.bucket_at(i));
        }
    }
    const std::uint64_t chunks = map->chunks_in_use();
    for (int i = 0; i < 50; ++i) put(*map, numbered("after", static_cast<std::uint64_t>(i)), "a", i);
    map->python_expansion_helper(2 * map->chunks_in_use());
    EXPECT_GT(map->chunks_in_use(), chunks) << "seed " << seed << ": the table did not grow";
    const MapCheck check = check_map(m);
    EXPECT_TRUE(check.faults.empty() && check.held_locks.empty() && check.pending_intents == 0 &&
                check.marked_buckets == 0 && check.expansion_workers == 0 && !check.expansion_in_progress)
        << "seed " << seed << ": " << check.describe();
    result.count_off = static_cast<std::int64_t>(check.entry_count) - static_cast<std::int64_t>(check.entries);
    add(result.recoveries, since(recovery_times(), parent_before));
    munmap(shared, sizeof(SharedState));
    map.reset();
    unlink(path.c_str());
    return result;
}

TEST_F(KillStorm, EveryAcknowledgedWriteSurvivesAndTheMapGoesOn) {
    const char *seed_text = std::getenv("ZORVIK_STORM_SEED");
    const std::uint64_t seed = seed_text ? std::strtoull(seed_text, nullptr, 10) : std::random_device{}();
    const char *soak_text = std::getenv("ZORVIK_SOAK_KILLS");
    const std::uint64_t soak = soak_text ? std::strtoull(soak_text, nullptr, 10) : 0;
    std::printf("native kill storm seed: %llu (ZORVIK_STORM_SEED to repeat)\n", static_cast<unsigned long long>(seed));
    StormResult total;
    int storms = 0;
    do {
        const StormResult result = run_storm(seed + static_cast<std::uint64_t>(storms++));
        total.kills += result.kills;
        total.acknowledged += result.acknowledged;
        total.lost += result.lost;
        total.mismatches += result.mismatches;
        total.walk_failures += result.walk_failures;
        total.count_off += std::abs(result.count_off);
        total.kills_holding_a_lock += result.kills_holding_a_lock;
        add(total.recoveries, result.recoveries);
        EXPECT_EQ(result.lost + result.mismatches + result.walk_failures, 0u)
            << "seed " << seed + static_cast<std::uint64_t>(storms - 1) << ": lost " << result.lost << ", wrong "
            << result.mismatches << ", failed walks " << result.walk_failures;
        if (HasFailure()) break;
    } while (total.kills < soak);
    std::printf("native kill storms: %d, kills %llu (%llu holding a lock), acknowledged %llu, lost %llu, wrong results %llu, "
                "failed walks %llu, count off %lld\n",
                storms, static_cast<unsigned long long>(total.kills),
                static_cast<unsigned long long>(total.kills_holding_a_lock),
                static_cast<unsigned long long>(total.acknowledged),
                static_cast<unsigned long long>(total.lost), static_cast<unsigned long long>(total.mismatches),
                static_cast<unsigned long long>(total.walk_failures), static_cast<long long>(total.count_off));
    const RecoveryTimes &r = total.recoveries;
    std::printf("recoveries from ended holders (met to let go): %llu, mean %.1f ms, max %.1f ms; under",
                static_cast<unsigned long long>(r.count),
                r.count ? static_cast<double>(r.total_us) / 1000.0 / static_cast<double>(r.count) : 0.0,
                static_cast<double>(r.max_us) / 1000.0);
    for (std::size_t k = 0; k < RecoveryTimes::kBuckets; ++k) {
        if (r.under_ms[k] != 0) std::printf(" %llu ms: %llu,", 1ull << k, static_cast<unsigned long long>(r.under_ms[k]));
    }
    std::printf("\n");
}

}  // namespace
}  // namespace zorvik::testing
