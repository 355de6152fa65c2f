// The shared segment: file length, the bytes of a new segment, attaching,
// clean failure, the Segment's lifetime, and the error text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "scratch_segment.hpp"
#include "zorvik/core/alloc/allocator.hpp"
#include "zorvik/core/segment/error_text.hpp"
#include "zorvik/core/segment/host.hpp"
#include "zorvik/core/segment/segment.hpp"

namespace zorvik {
namespace {

using testing::ScratchSegment;
using testing::ScratchTmpdir;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::vector<unsigned char> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string error_text() {
    const char *text = last_error();
    return text ? text : "";
}

// ---- file length ----------------------------------------------------------------

struct LengthCase {
    std::uint64_t size;
    bool fits;
    std::uint64_t length;
};

class MappedLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(MappedLength, IsSizePlusHeadersRoundedUpToAPage) {
    if (system_page_size() != 4096) GTEST_SKIP() << "cases are written for 4096-byte pages";
    const LengthCase &c = GetParam();
    std::uint64_t length = 0;
    ASSERT_EQ(segment_mapped_length(c.size, length), c.fits);
    if (c.fits) {
        EXPECT_EQ(length, c.length);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Segment, MappedLength,
    ::testing::Values(LengthCase{1, true, 4096}, LengthCase{4008, true, 4096}, LengthCase{4009, true, 8192},
                      LengthCase{650000000, true, 650002432},
                      LengthCase{kMax - 4095 - 88, true, kMax - 4095},  // the largest page multiple
                      LengthCase{kMax - 4095 - 87, false, 0}, LengthCase{kMax - 87, false, 0},
                      LengthCase{kMax, false, 0}));

TEST(SegmentFile, LengthIsTheRoundedSize) {
    if (system_page_size() != 4096) GTEST_SKIP() << "cases are written for 4096-byte pages";
    for (auto [size, length] : {std::pair<std::uint64_t, off_t>{4008, 4096}, {4009, 8192}}) {
        ScratchSegment segment(size);
        struct stat info;
        ASSERT_EQ(stat(segment.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_size, length) << "size " << size;
        EXPECT_EQ(segment.segment().mapped_length(), static_cast<std::uint64_t>(length));
    }
}

// ---- a new segment ----------------------------------------------------------------

void put_u64(std::vector<unsigned char> &bytes, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

TEST(SegmentFile, NewSegmentHeaderBytes) {
    ScratchTmpdir tmpdir;
    ScratchSegment segment(4008, 32);

    // Written through the file, not the view: the view is shared with it.
    std::vector<unsigned char> expected(4096, 0);
    put_u64(expected, 0, 4096);       // mapped_length
    put_u64(expected, 8, 4008 + 64);  // requested_capacity
    put_u64(expected, 24, 4008 + 64); // capacity
    put_u64(expected, 32, 64);        // offset
    expected[40] = 32;                // chunk_size
    expected[51] = 178;               // entry list
    expected[52] = 176;
    expected[61] = 18;                // link list
    expected[62] = 16;
    expected[71] = 34;                // data list
    expected[72] = 32;
    EXPECT_EQ(file_bytes(segment.path()), expected);

    // The base is 24 bytes into a page-aligned view.
    auto view = reinterpret_cast<std::uintptr_t>(segment.base()) - 24;
    EXPECT_EQ(view % system_page_size(), 0u);

    // The file: in $TMPDIR, named mm<pid> and six more characters, mode 0600,
    // and the path given back is canonical.
    char *canonical = realpath(tmpdir.path().c_str(), nullptr);
    ASSERT_NE(canonical, nullptr);
    std::string canonical_prefix = std::string(canonical) + "/mm" + std::to_string(host::own_pid());
    free(canonical);
    EXPECT_EQ(segment.path().substr(0, canonical_prefix.size()), canonical_prefix);
    EXPECT_EQ(segment.path().size(), canonical_prefix.size() + 6);
    struct stat info;
    ASSERT_EQ(stat(segment.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(tmpdir.entries().size(), 1u);
}

TEST(SegmentFile, EmptyTmpdirMeansTmp) {
    ScratchTmpdir restore;
    setenv("TMPDIR", "", 1);
    ScratchSegment segment(100);
    char *canonical = realpath("/tmp", nullptr);
    ASSERT_NE(canonical, nullptr);
    std::string expected = std::string(canonical) + "/mm" + std::to_string(host::own_pid());
    free(canonical);
    EXPECT_EQ(segment.path().substr(0, expected.size()), expected);
}

TEST(SegmentFile, DataChunkSizeByteIsWrittenAsGiven) {
    // The data list's first byte is chunk_size + 2 taken in 8 bits.
    ScratchSegment segment(4008, 255);
    EXPECT_EQ(segment.manager()->chunk_size, 255);
    EXPECT_EQ(segment.manager()->data_list.span, 1);
    EXPECT_EQ(segment.manager()->data_list.chunk_size, 255);
}

// ---- attaching ------------------------------------------------------------------------

TEST(SegmentAttach, SeesTheSameContentsAndWritesNothing) {
    std::string path;
    std::vector<unsigned char> before;
    {
        ScratchSegment creator(4008, 32);
        char *block = allocate_block(creator.base(), 100);
        ASSERT_NE(block, nullptr);
        std::memcpy(block, "kept across processes", 22);
        Segment second = Segment::attach(creator.path().c_str(), 1);  // a second live view of the same file
        ASSERT_TRUE(second);
        std::memcpy(second.base() + (block - creator.base()) + 30, "both ways", 10);
        EXPECT_STREQ(block + 30, "both ways");
        second.close();

        // Keep the file past the fixture by linking it under a second name.
        path = creator.path() + ".kept";
        ASSERT_EQ(link(creator.path().c_str(), path.c_str()), 0);
        before = file_bytes(creator.path());
    }
    Segment attached = Segment::attach(path.c_str(), before.size());
    Allocator base = attached.base();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(attached.mapped_length(), before.size());
    EXPECT_EQ(std::memcmp(base - 24, before.data(), before.size()), 0);
    EXPECT_EQ(file_bytes(path), before) << "attaching wrote into the file";

    // Marking the attach writes mapped_length and requested_capacity only.
    attached.mark_attached(5000);
    std::vector<unsigned char> expected = before;
    put_u64(expected, 0, before.size());
    put_u64(expected, 8, 5000 + 64);
    EXPECT_EQ(file_bytes(path), expected);

    attached.close();
    EXPECT_EQ(attached.base(), nullptr);
    EXPECT_EQ(attached.file(), -1);
    struct stat info;
    EXPECT_EQ(stat(path.c_str(), &info), 0) << "closing removed the file";
    unlink(path.c_str());
}

struct AttachFailure {
    const char *name;
    std::function<std::string(const std::string &dir)> make;  // returns the path to attach to
    int error;
    const char *text;
    Segment::Fault fault;
};

class SegmentAttachFailure : public ::testing::TestWithParam<AttachFailure> {};

TEST_P(SegmentAttachFailure, FailsCleanly) {
    const AttachFailure &c = GetParam();
    ScratchTmpdir dir;
    std::string path = c.make(dir.path());
    const auto entries = dir.entries();
    const int descriptors = testing::open_descriptor_count();

    errno = 0;
    Segment::Fault fault = Segment::Fault::none;
    Segment segment = Segment::attach(path.c_str(), 100, &fault);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(error_text(), c.text);
    EXPECT_EQ(fault, c.fault);
    EXPECT_FALSE(segment);
    EXPECT_EQ(segment.base(), nullptr);
    EXPECT_EQ(segment.file(), -1);
    EXPECT_EQ(testing::open_descriptor_count(), descriptors) << "a descriptor leaked";
    EXPECT_EQ(dir.entries(), entries) << "an attach removed or created a file";
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        EXPECT_LE(info.st_size, 99) << "file was lengthened";
    }
}

std::string make_empty_file(const std::string &dir) {
    std::string path = dir + "/empty";
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    return path;
}

std::string make_fifo(const std::string &dir) {
    std::string path = dir + "/fifo";
    mkfifo(path.c_str(), 0600);
    return path;
}

// Shorter than the 100 bytes the attaches below ask for.
std::string make_short_file(const std::string &dir) {
    std::string path = dir + "/short";
    std::ofstream(path, std::ios::binary) << std::string(99, 'x');
    return path;
}

INSTANTIATE_TEST_SUITE_P(
    Segment, SegmentAttachFailure,
    ::testing::Values(
        AttachFailure{"missing", [](const std::string &dir) { return dir + "/missing"; }, ENOENT,
                      "mm:core: failed to create memory file (No such file or directory)",
                      Segment::Fault::unreachable_path},
        AttachFailure{"directory", [](const std::string &dir) { return dir; }, EISDIR,
                      "mm:core: failed to create memory file (Is a directory)", Segment::Fault::not_regular_file},
        AttachFailure{"empty", make_empty_file, EINVAL,
                      "mm:core: failed to open map view of file error: 22 (Invalid argument)",
                      Segment::Fault::too_short},
        AttachFailure{"shorter_than_asked", make_short_file, EINVAL,
                      "mm:core: failed to open map view of file error: 22 (Invalid argument)",
                      Segment::Fault::too_short},
        AttachFailure{"fifo", make_fifo, EINVAL,
                      "mm:core: failed to open map view of file error: 22 (Invalid argument)",
                      Segment::Fault::not_regular_file},
        AttachFailure{"device", [](const std::string &) { return std::string("/dev/null"); }, EINVAL,
                      "mm:core: failed to open map view of file error: 22 (Invalid argument)",
                      Segment::Fault::not_regular_file}),
    [](const ::testing::TestParamInfo<AttachFailure> &info) { return std::string(info.param.name); });

// ---- failed creation ----------------------------------------------------------------------

// Restores a resource limit and the SIGXFSZ disposition on scope exit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &old_);
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = old_;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit old_{};
    sighandler_t old_handler_;
};

struct CreateFailure {
    const char *name;
    std::uint64_t size;
    std::function<void(ScratchTmpdir &)> arrange;
    rlim_t file_size_limit;
    int error;
    const char *text;
};

class SegmentCreateFailure : public ::testing::TestWithParam<CreateFailure> {};

TEST_P(SegmentCreateFailure, FailsCleanlyAndLeavesNoFile) {
    const CreateFailure &c = GetParam();
    ScratchTmpdir dir;
    c.arrange(dir);
    const int descriptors = testing::open_descriptor_count();
    errno = 0;
    Segment segment;
    {
        FileSizeLimit limit(c.file_size_limit);
        segment = Segment::create(c.size);
    }
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(error_text(), c.text);
    EXPECT_FALSE(segment);
    EXPECT_EQ(segment.base(), nullptr);
    EXPECT_EQ(testing::open_descriptor_count(), descriptors) << "a descriptor leaked";
    EXPECT_TRUE(dir.entries().empty()) << "a failed creation left its file";
}

INSTANTIATE_TEST_SUITE_P(
    Segment, SegmentCreateFailure,
    ::testing::Values(
        CreateFailure{"no_such_tmpdir", 4096, [](ScratchTmpdir &dir) { setenv("TMPDIR", (dir.path() + "/gone").c_str(), 1); },
                      RLIM_INFINITY, ENOENT, "mm:core: failed to generate memory file name (No such file or directory)"},
        CreateFailure{"file_too_large", 1 << 20, [](ScratchTmpdir &) {}, 65536, EFBIG,
                      "mm:core: failed to write memory file, last error: 27 (File too large)"},
        CreateFailure{"length_overflows", kMax - 87, [](ScratchTmpdir &) {}, RLIM_INFINITY, EFBIG,
                      "mm:core: failed to write memory file, last error: 27 (File too large)"},
        CreateFailure{"length_past_off_t", kMax / 2 + 1, [](ScratchTmpdir &) {}, RLIM_INFINITY, EFBIG,
                      "mm:core: failed to write memory file, last error: 27 (File too large)"}),
    [](const ::testing::TestParamInfo<CreateFailure> &info) { return std::string(info.param.name); });

TEST(SegmentCreate, SizeZeroIsRefusedWithoutText) {
    ScratchTmpdir dir;
    record_error(kSegmentError, "earlier text");
    errno = 0;
    EXPECT_FALSE(Segment::create(0));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(error_text(), "mm:core: earlier text");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(SegmentCreate, FailedMappingRemovesTheFile) {
    // A mapping larger than the address space left under RLIMIT_AS fails after
    // the file was made and lengthened; run in a child so that the limit does
    // not reach the rest of the tests. Exit codes name what went wrong.
    ScratchTmpdir dir;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (256u << 20);
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
        if (Segment::create(std::uint64_t{1} << 40)) _exit(11);
        if (errno != ENOMEM) _exit(12);
        if (error_text() != "mm:core: failed to open map view of file error: 12 (Cannot allocate memory)") _exit(13);
        if (!dir.entries().empty()) _exit(14);
        _exit(0);
    }
    int status = testing::wait_exit_status(child);
    if (status == 11) GTEST_SKIP() << "a 1 TiB mapping fit under the limit";
    EXPECT_EQ(status, 0);
}

// ---- lifetime ------------------------------------------------------------------------------

// A Segment owns its view and descriptor alone: a move hands them over and
// leaves nothing behind to close twice. A new file goes with its Segment
// unless kept.
TEST(SegmentLifetime, MovesOwnershipAndRemovesANewFileUnlessKept) {
    ScratchTmpdir dir;
    const int descriptors = testing::open_descriptor_count();
    std::string kept_path;
    {
        Segment made = Segment::create(4096);
        ASSERT_TRUE(made);
        const int fd = made.file();
        Segment moved = std::move(made);
        EXPECT_FALSE(made);
        EXPECT_EQ(made.file(), -1);
        made = Segment{};  // closing the moved-from one closes nothing
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the descriptor went with the moved-from Segment";
        EXPECT_EQ(moved.file(), fd);
        std::memcpy(moved.base() + 100, "still mapped", 13);
        kept_path = moved.path();
        moved.keep_file();
    }
    EXPECT_EQ(testing::open_descriptor_count(), descriptors) << "a descriptor leaked";
    ASSERT_EQ(dir.entries().size(), 1u) << "a kept file stays";
    unlink(kept_path.c_str());
    {
        Segment dropped = Segment::create(4096);
        ASSERT_TRUE(dropped);
        EXPECT_EQ(dir.entries().size(), 1u);
    }
    EXPECT_TRUE(dir.entries().empty()) << "a new file not kept is removed with its Segment";
    EXPECT_EQ(testing::open_descriptor_count(), descriptors);
}

// ---- error text -----------------------------------------------------------------------------

struct ErrorCase {
    const char *name;
    unsigned kind;
    std::size_t message_length;  // of 'x's
    int error;
    std::string suffix;  // expected text after the prefix and the message
    std::size_t kept;    // how many 'x's survive (SIZE_MAX: all)
};

class ErrorText : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorText, IsPrefixMessageAndErrnoCutAt1024) {
    const ErrorCase &c = GetParam();
    std::string message(c.message_length, 'x');
    errno = c.error;
    record_error(c.kind, message.c_str());
    EXPECT_EQ(errno, c.error) << "recording changed errno";
    std::string prefix = (c.kind & kAllocatorError) ? "mm:alloc: " : "mm:core: ";
    std::size_t kept = c.kept == SIZE_MAX ? c.message_length : c.kept;
    EXPECT_EQ(error_text(), prefix + std::string(kept, 'x') + c.suffix);
    EXPECT_LE(error_text().size(), 1024u);
}

// "No such file or directory" is 25 characters; "mm:core: " is 9.
INSTANTIATE_TEST_SUITE_P(
    Segment, ErrorText,
    ::testing::Values(
        ErrorCase{"core_with_errno", kSegmentError | kAppendErrno, 3, ENOENT, " (No such file or directory)", SIZE_MAX},
        ErrorCase{"errno_zero_adds_nothing", kSegmentError | kAppendErrno, 3, 0, "", SIZE_MAX},
        ErrorCase{"no_errno_bit", kSegmentError, 3, ENOENT, "", SIZE_MAX},
        ErrorCase{"alloc_prefix", kAllocatorError, 3, ENOMEM, "", SIZE_MAX},
        ErrorCase{"alloc_wins_over_core", kAllocatorError | kSegmentError | kAppendErrno, 3, ENOENT,
                  " (No such file or directory)", SIZE_MAX},
        ErrorCase{"message_cut", kSegmentError | kAppendErrno, 2000, ENOENT, "", 1015},
        ErrorCase{"message_fills_text", kSegmentError | kAppendErrno, 1015, ENOENT, "", SIZE_MAX},
        // 1022 characters: no room for " (", the errno text is cut to 2.
        ErrorCase{"no_room_for_open", kSegmentError | kAppendErrno, 1013, ENOENT, "No", SIZE_MAX},
        // 1021 characters: " (" fits, one character of the errno text, no ")".
        ErrorCase{"open_but_no_close", kSegmentError | kAppendErrno, 1012, ENOENT, " (N", SIZE_MAX},
        // 996 + 2 + 25 = 1023 characters: above 1022, so no ")".
        ErrorCase{"errno_text_whole_no_close", kSegmentError | kAppendErrno, 987, ENOENT,
                  " (No such file or directory", SIZE_MAX},
        // 994 + 2 + 25 = 1021 characters: ")" fits.
        ErrorCase{"close_fits", kSegmentError | kAppendErrno, 985, ENOENT, " (No such file or directory)",
                  SIZE_MAX}),
    [](const ::testing::TestParamInfo<ErrorCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorvik
