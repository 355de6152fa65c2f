// Checked stress test: several processes, each with several threads, allocate
// and free chunks directly and through their process's two pools, all on one
// segment. Every worker tags what it holds with its own id and checks the tag
// before it lets go, so a chunk handed to two holders at once is caught; at the
// end every chunk ever carved must lie on exactly one free list.
//
// The seed is printed; ZORVIK_STRESS_SEED=<n> repeats a run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/alloc/chunk_pool.hpp"

namespace zorvik {
namespace {

using testing::ScratchSegment;

constexpr int kProcesses = 3;
constexpr int kThreads = 2;
constexpr int kOperations = 20000;
constexpr std::uint8_t kDataSize = 32;
constexpr std::uint64_t kTagAt = 8;  // tags sit behind the first 8 data bytes, which frees overwrite

struct HeldChunk {
    char *data;
    std::uint64_t tag;
};

struct HeldLinks {
    ChunkPool *pool;
    Chain chain;
    std::vector<std::pair<char *, std::uint64_t>> payload_tags;  // payload data, tag
};

class Worker {
public:
    Worker(Allocator base, ChunkPool &entries, ChunkPool &data, std::uint64_t id, std::uint64_t seed)
        : base_(base), pools_{&entries, &data}, id_(id), random_(seed) {}

    // Returns the number of faults seen.
    int run() {
        for (int i = 0; i < kOperations && faults_ == 0; ++i) {
            unsigned choice = pick(10);
            if (choice < 3) {
                allocate();
            } else if (choice < 6) {
                for (unsigned k = pick(3) + 1; k > 0 && !held_.empty(); --k) free_one(pick(held_.size()));
            } else if (choice < 8) {
                take();
            } else if (!links_.empty()) {
                give_back(pick(links_.size()));
            }
        }
        while (!held_.empty()) free_one(held_.size() - 1);
        while (!links_.empty()) give_back(links_.size() - 1);
        return faults_;
    }

private:
    unsigned pick(std::size_t bound) { return static_cast<unsigned>(random_() % bound); }
    std::uint64_t next_tag() { return id_ << 40 | ++sequence_; }

    void fault(const std::string &what) {
        if (faults_++ == 0) std::cerr << "worker " << id_ << ": " << what << std::endl;
    }

    void tag(char *data, std::uint64_t value) { write_u64(data + kTagAt, value); }
    bool tag_is(const char *data, std::uint64_t value) { return read_u64(data + kTagAt) == value; }

    void allocate() {
        static constexpr std::uint8_t kSizes[] = {kLinkChunkSize, kDataSize, kEntryChunkSize};
        const std::uint8_t size = kSizes[pick(3)];
        const std::uint64_t count = pick(4) + 1;
        char *header = allocate_chunks(base_, count, size);
        if (header == nullptr) return fault("allocation failed");
        for (std::uint64_t i = 0; i < count; ++i) {
            if (chunk_size_at(header) != size || chunk_span_at(header) != chunk_span(size)) {
                return fault("handed a chunk of the wrong size");
            }
            Offset next = read_u64(chunk_data(header));
            HeldChunk chunk{chunk_data(header), next_tag()};
            tag(chunk.data, chunk.tag);
            held_.push_back(chunk);
            header = base_ + next;
        }
    }

    void free_one(std::size_t index) {
        HeldChunk chunk = held_[index];
        held_[index] = held_.back();
        held_.pop_back();
        if (!tag_is(chunk.data, chunk.tag)) return fault("a held chunk was handed to someone else");
        if (!free_chunk(base_, chunk.data)) fault("free refused");
    }

    void take() {
        ChunkPool *pool = pools_[pick(2)];
        const std::uint64_t n = pick(8) + 1;
        HeldLinks held{pool, pool->take(n), {}};
        const bool sound = held.chain.for_each_piece(n * pool->payload_size(), [&](const ChainPiece &piece) {
            if (chunk_size_at(piece.bytes - 2) != pool->payload_size()) return false;
            std::uint64_t value = next_tag();
            tag(piece.bytes, value);
            held.payload_tags.emplace_back(piece.bytes, value);
            return true;
        });
        if (!sound) return fault("pool payload of the wrong size");
        links_.push_back(std::move(held));
    }

    void give_back(std::size_t index) {
        HeldLinks held = std::move(links_[index]);
        links_[index] = std::move(links_.back());
        links_.pop_back();
        for (auto &[payload, value] : held.payload_tags) {
            if (!tag_is(payload, value)) return fault("a pool payload was handed to someone else");
        }
        held.pool->give_back(held.chain);
    }

    Allocator base_;
    ChunkPool *pools_[2];
    std::uint64_t id_;
    std::mt19937_64 random_;
    std::uint64_t sequence_ = 0;
    int faults_ = 0;
    std::vector<HeldChunk> held_;
    std::vector<HeldLinks> links_;
};

// One process: its two pools, shared by its threads, destroyed at the end.
int run_process(Allocator base, int process, std::uint64_t seed) {
    std::atomic<int> faults{0};
    {
        const ChunkArea area(base);
        ChunkPool entries(area, kEntryChunkSize, ChunkPool::Payloads::zeroed);
        ChunkPool data(area, kDataSize, ChunkPool::Payloads::kept);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            const std::uint64_t id = static_cast<std::uint64_t>(process * kThreads + t + 1);
            threads.emplace_back([&, id] {
                try {
                    Worker worker(base, entries, data, id, seed + id);
                    faults += worker.run();
                } catch (const std::exception &e) {
                    std::cerr << "worker " << id << " threw: " << e.what() << std::endl;
                    ++faults;
                }
            });
        }
        for (std::thread &thread : threads) thread.join();
    }
    return faults.load();
}

std::uint64_t stress_seed() {
    if (const char *given = std::getenv("ZORVIK_STRESS_SEED")) return std::strtoull(given, nullptr, 10);
    return std::random_device{}();
}

TEST(Stress, ProcessesAndThreadsNeverShareOrLoseAChunk) {
    const std::uint64_t seed = stress_seed();
    std::cout << "stress seed: " << seed << " (ZORVIK_STRESS_SEED to repeat)" << std::endl;
    RecordProperty("seed", std::to_string(seed));
    ScratchSegment segment(32u << 20, kDataSize);
    Allocator base = segment.base();

    testing::StartGate gate;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            gate.wait();
            _exit(run_process(base, p, seed) == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    gate.open();
    for (pid_t child : children) EXPECT_EQ(testing::wait_exit_status(child), 0) << "seed " << seed;

    testing::Audit audit = testing::audit_chunks(base);
    ASSERT_TRUE(audit.faults.empty()) << audit.faults.front() << " (seed " << seed << ")";
    EXPECT_EQ(audit.free.size(), audit.carved.size()) << "chunks lost (seed " << seed << ")";
    EXPECT_GT(audit.carved.size(), 0u);
    EXPECT_EQ(*allocator_lock_word(base), 0u);
}

}  // namespace
}  // namespace zorvik
