#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FileTail.h"

using vsim::FileTail;

namespace {

std::string temp_path()
{
    const char* dir = getenv("TMPDIR");
    return std::string(dir && dir[0] ? dir : "/tmp") + "/FileTailTest." + std::to_string(getpid());
}

void append(const std::string& path, const std::string& text, bool truncate = false)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | (truncate ? O_TRUNC : 0), 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(FileTail, FollowsAppendsLineByLine)
{
    std::string path = temp_path();
    unlink(path.c_str());
    FileTail tail(path);
    EXPECT_EQ(tail.lines(), Lines{});  // not there yet
    append(path, "stop dhcpcd_eth1\nsettings get");
    EXPECT_EQ(tail.lines(), Lines{"stop dhcpcd_eth1"});
    EXPECT_EQ(tail.lines(), Lines{});
    append(path, " system user_rotation\n\nsync\n");
    EXPECT_EQ(tail.lines(), (Lines{"settings get system user_rotation", "", "sync"}));
    append(path, "no line feed");
    EXPECT_EQ(tail.lines(true), Lines{"no line feed"});
    EXPECT_EQ(tail.lines(true), Lines{});
    unlink(path.c_str());
}

TEST(FileTail, ARewrittenFileIsFollowedFromItsStart)
{
    std::string path = temp_path();
    append(path, "one\ntwo\nthree\n", true);
    FileTail tail(path);
    EXPECT_EQ(tail.lines().size(), 3u);
    append(path, "new\n", true);
    EXPECT_EQ(tail.lines(), Lines{"new"});
    unlink(path.c_str());
}

TEST(FileTail, OverlongLinesAreCutIntoPieces)
{
    std::string path = temp_path();
    std::string big(FileTail::MAX_LINE * 2 + 10, 'x');
    append(path, big + "\n", true);
    FileTail tail(path);
    Lines got = tail.lines();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].size(), size_t(FileTail::MAX_LINE));
    EXPECT_EQ(got[1].size(), size_t(FileTail::MAX_LINE));
    EXPECT_EQ(got[2], std::string(10, 'x'));
    unlink(path.c_str());
}
