// The operator's functions on a file by its path (upkeep.hpp), each an
// attach (operator_attach.hpp) and the walk it asks for.
#include "zorvik/core/upkeep/upkeep.hpp"

#include <memory>
#include <string>

#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/upkeep/entry_stream.hpp"
#include "zorvik/core/upkeep/map_check.hpp"
#include "zorvik/core/upkeep/map_survey.hpp"
#include "zorvik/core/upkeep/operator_attach.hpp"
#include "zorvik/core/upkeep/stored_entry.hpp"

namespace zorvik {
namespace {

// "; the N entries before it are loaded, nothing after them": how far a
// load that failed came.
std::string loaded_before(std::uint64_t entries) {
    return "; the " + std::to_string(entries) + " entries before it are loaded, nothing after them";
}

// Progress of a load is told once per this many entries.
constexpr std::uint64_t kLoadProgressStep = std::uint64_t{1} << 16;

}  // namespace

MapCheck check_map_file(const std::string &path, const Progress &progress, bool live) {
    std::unique_ptr<MapState> state = open_for_inspection(path);
    return check_map(*state, nullptr, progress, live);
}

MapSurvey survey_map_file(const std::string &path, const Progress &progress) {
    std::unique_ptr<MapState> state = open_for_inspection(path);
    MapState &m = *state;
    MapSurvey survey;
    ChunkMarks reached;
    survey.check = check_map(m, &reached, progress);
    survey.space = measure_space(m, reached);
    // A structure with faults is mended before the reclaim, which may cut
    // or copy chains: what it then gives back cannot be told from here.
    if (!survey.check.faults.empty()) survey.space.reclaimable = 0;
    survey.bucket_chunk_size = m.bucket_chunk_size;
    survey.bucket_chunk_number = m.bucket_chunk_number;
    survey.chunks_in_use = m.chunks_in_use();
    survey.reachable_chunks = m.reachable_chunks;
    survey.data_chunk_size = m.data_chunk_size;
    if (m.cache != nullptr) {
        survey.cache_settings = m.cache_settings;
        survey.cache_stats = m.cache_stats();
    }
    return survey;
}

std::vector<HeldLock> held_locks_in_map_file(const std::string &path, const Progress &progress) {
    std::unique_ptr<MapState> state = open_for_inspection(path);
    return held_locks(*state, progress);
}

std::uint64_t visit_map_file(const std::string &path, const std::function<bool(const StoredEntry &)> &visit,
                             const Progress &progress) {
    struct Enough {};
    std::unique_ptr<MapState> state = open_for_inspection(path);
    std::uint64_t visits = 0;
    try {
        for_each_entry(
            *state,
            [&](const StoredEntry &entry) {
                ++visits;
                if (visit(entry)) throw Enough{};
            },
            progress);
    } catch (const Enough &) {
    }
    return visits;
}

std::uint64_t dump_map_file(const std::string &path, const std::function<void(const char *, std::size_t)> &sink,
                            const Progress &progress) {
    std::unique_ptr<MapState> state = open_for_inspection(path);
    MapState &m = *state;
    DumpShape shape{m.bucket_chunk_size, m.bucket_chunk_number, memory_manager(m.base)->capacity - kFirstChunk,
                    m.data_chunk_size};
    if (m.cache != nullptr) shape.cache = m.cache_settings;
    DumpWriter writer(sink, shape);
    for_each_entry(m, [&](const StoredEntry &entry) { writer.entry(entry); }, progress);
    writer.finish();
    return writer.entries();
}

std::string create_map_file(const std::string &directory, const MapArguments &arguments) {
    check_arguments(arguments);
    std::string path;
    create_map(arguments, path, directory.c_str());
    return path;
}

DumpShape read_dump_shape(const std::function<std::size_t(char *, std::size_t)> &source) {
    return DumpReader(source).shape();
}

std::uint64_t load_map_file(const std::string &path, const std::function<std::size_t(char *, std::size_t)> &source,
                            const Progress &progress) {
    // The stream's header is read first: what is not a dump is refused before
    // the file is touched.
    DumpReader reader(source);
    std::unique_ptr<MapState> state = attach_map(path);
    StoredEntry entry;
    std::uint64_t expired = 0;
    try {
        while (reader.next(entry)) {
            try {
                if (!insert_stored(*state, entry)) ++expired;
            } catch (const WaitAbandoned &) {
                throw;  // the host is shutting down: left as it is
            } catch (const std::runtime_error &e) {
                // A full segment or file system: say how far the load came.
                throw std::runtime_error(e.what() + loaded_before(reader.entries() - 1 - expired));
            }
            if (progress && reader.entries() % kLoadProgressStep == 0) progress(reader.entries(), 0);
        }
    } catch (const DumpStreamError &e) {
        throw std::invalid_argument(e.what() + loaded_before(reader.entries() - expired));
    }
    return reader.entries() - expired;
}

std::uint64_t copy_map_file(const std::string &source, const std::string &target, const Progress &progress) {
    std::unique_ptr<MapState> from = open_for_inspection(source);
    std::unique_ptr<MapState> to = attach_map(target);
    std::uint64_t expired = 0;
    const std::uint64_t visited = for_each_entry(
        *from, [&](const StoredEntry &entry) { expired += insert_stored(*to, entry) ? 0 : 1; }, progress);
    return visited - expired;
}

void arm_crash_points(std::uint64_t steps, int signal) { crash_points::kill_at(steps, signal); }

}  // namespace zorvik
