#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/exchange/scratch_dir.hpp"

namespace zolt {
namespace {

using testing::FileSizeLimit;
using testing::ScratchDir;

TEST(ReadWholeFile, GivesEveryByteIncludingZerosAndBreaks) {
    ScratchDir dir;
    const std::string content("a\r\n\0b\nc\xA1\xA1", 9);
    dir.put("list.txt", content);
    std::string bytes = "stale";
    const FileResult result = read_whole_file(dir.path("list.txt"), bytes);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(bytes, content);

    dir.put("empty.txt", "");
    EXPECT_TRUE(read_whole_file(dir.path("empty.txt"), bytes).ok);
    EXPECT_EQ(bytes, "");
}

TEST(ReadWholeFile, FailsWithAReasonAndNoBytesForWhatIsNoReadableFile) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path("folder"));
    ASSERT_EQ(mkfifo(dir.path("pipe").c_str(), 0600), 0);  // must not wait for a writer
    // Sparse, so it costs no disk; too long for a text's length, refused before reading.
    dir.put("huge.txt", "");
    std::filesystem::resize_file(dir.path("huge.txt"), std::uintmax_t{1} << 31);
    for (const std::string name : {"missing.txt", "folder", "pipe", "huge.txt", ""}) {
        SCOPED_TRACE(name);
        std::string bytes = "stale";
        const FileResult result = read_whole_file(name.empty() ? "" : dir.path(name), bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.error.empty());
        EXPECT_EQ(bytes, "");
    }
}

// Another program that locks the file for writing may be half-way through it.
TEST(ReadWholeFile, RefusesAFileLockedByAWriter) {
    ScratchDir dir;
    dir.put("list.txt", "A\r\nB\r\n");
    const std::string path = dir.path("list.txt");
    std::string bytes;
    {
        const int writer = open(path.c_str(), O_RDWR);
        ASSERT_EQ(flock(writer, LOCK_EX), 0);
        EXPECT_FALSE(read_whole_file(path, bytes).ok);
        close(writer);
    }
    {
        const int writer = open(path.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(fcntl(writer, F_OFD_SETLK, &lock), 0);
        EXPECT_FALSE(read_whole_file(path, bytes).ok);
        close(writer);
    }
    {
        // Other readers are no obstacle.
        const int reader = open(path.c_str(), O_RDONLY);
        ASSERT_EQ(flock(reader, LOCK_SH), 0);
        EXPECT_TRUE(read_whole_file(path, bytes).ok);
        EXPECT_EQ(bytes, "A\r\nB\r\n");
        close(reader);
    }
}

TEST(WriteWholeFile, CreatesThenReplacesLeavingOnlyTheTarget) {
    ScratchDir dir;
    const std::string path = dir.path("out.txt");
    ASSERT_TRUE(write_whole_file(path, "first, longer content\r\n").ok);
    EXPECT_EQ(dir.get("out.txt"), "first, longer content\r\n");
    chmod(path.c_str(), 0640);

    ASSERT_TRUE(write_whole_file(path, "B\r\n").ok);
    EXPECT_EQ(dir.get("out.txt"), "B\r\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.txt"});
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(WriteWholeFile, ThroughALinkReplacesTheFileItNames) {
    ScratchDir dir;
    dir.put("real.txt", "old");
    std::filesystem::create_symlink(dir.path("real.txt"), dir.path("link.txt"));
    ASSERT_TRUE(write_whole_file(dir.path("link.txt"), "new").ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("link.txt")));
    EXPECT_EQ(dir.get("real.txt"), "new");
}

TEST(WriteWholeFile, FailureLeavesAnEarlierFileWholeAndNothingBehind) {
    ScratchDir dir;
    dir.put("out.txt", "earlier\r\n");
    std::filesystem::create_directory(dir.path("folder"));
    const std::string big(64 * 1024, 'x');
    struct Case {
        const char* what;
        std::string path;
        bool limit_size;
    };
    const Case cases[] = {
        {"target is a folder", dir.path("folder"), false},
        {"parent folder missing", dir.path("nowhere/out.txt"), false},
        {"disk fills part way", dir.path("out.txt"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileResult result;
        if (c.limit_size) {
            FileSizeLimit limit(1024);
            result = write_whole_file(c.path, big);
        } else {
            result = write_whole_file(c.path, big);
        }
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.error.empty());
        EXPECT_EQ(dir.get("out.txt"), "earlier\r\n");
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"folder", "out.txt"}));
    }
}

// The rename would succeed with only the folder's permission; the file's own must count.
TEST(WriteWholeFile, LeavesAReadOnlyFileAlone) {
    ScratchDir dir;
    dir.put("out.txt", "earlier\r\n");
    chmod(dir.path("out.txt").c_str(), 0444);
    chmod(dir.path("").c_str(), 0777);
    const pid_t child = fork();
    if (child == 0) {
        // Root may write anything: act as an ordinary user.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        _exit(write_whole_file(dir.path("out.txt"), "new").ok ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dir.get("out.txt"), "earlier\r\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.txt"});
}

TEST(ProgramDirectory, HoldsTheRunningProgramWithoutATrailingSeparator) {
    const Path dir = program_directory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    const auto program = std::filesystem::read_symlink("/proc/self/exe").filename();
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / program));
}

}  // namespace
}  // namespace zolt
