#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "StatusWatch.h"

using vsim::StatusWatch;

namespace {

std::string temp_dir()
{
    const char* dir = getenv("TMPDIR");
    std::string templ = std::string(dir && dir[0] ? dir : "/tmp") + "/StatusWatchTest.XXXXXX";
    char buf[256];
    snprintf(buf, sizeof(buf), "%s", templ.c_str());
    return mkdtemp(buf) ? buf : "";
}

void put(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0777);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

}  // namespace

namespace {

std::vector<std::string> shown(StatusWatch& watch, const std::string& dir)
{
    std::vector<std::string> seen;
    for (const auto& x : watch.changes())
        seen.push_back(x.path.substr(dir.size()) + (x.removed ? " removed" : " = " + x.text));
    return seen;
}

using Seen = std::vector<std::string>;

}  // namespace

TEST(StatusWatch, ReportsWritesRenamesAndRemovalsWithContent)
{
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    StatusWatch watch(dir);
    ASSERT_TRUE(watch.ok());
    EXPECT_EQ(shown(watch, dir), Seen{});

    put(dir + "/mcu", "1.2.3");
    EXPECT_EQ(shown(watch, dir), Seen{"/mcu = 1.2.3"});
    put(dir + "/mcu", "1.2.3");  // the same content again is news all the same
    EXPECT_EQ(shown(watch, dir), Seen{"/mcu = 1.2.3"});
    put(dir + "/.radio", "<x/>");
    ASSERT_EQ(rename((dir + "/.radio").c_str(), (dir + "/radio.xml").c_str()), 0);
    EXPECT_EQ(shown(watch, dir), (Seen{"/.radio = ", "/.radio removed", "/radio.xml = <x/>"}));
    ASSERT_EQ(unlink((dir + "/mcu").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);  // directories are no status files
    EXPECT_EQ(shown(watch, dir), Seen{"/mcu removed"});

    rmdir((dir + "/sub").c_str());
    unlink((dir + "/radio.xml").c_str());
    rmdir(dir.c_str());
}

TEST(StatusWatch, ContentIsCut)
{
    std::string dir = temp_dir();
    StatusWatch watch(dir);
    put(dir + "/big", std::string(StatusWatch::MAX_TEXT + 100, 'a'));
    std::vector<vsim::StatusChange> c = watch.changes();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].text.size(), size_t(StatusWatch::MAX_TEXT));
    unlink((dir + "/big").c_str());
    rmdir(dir.c_str());
}

TEST(StatusWatch, AMissingDirectoryIsNotOk)
{
    StatusWatch watch("/nonexistent/var/etc");
    EXPECT_FALSE(watch.ok());
    EXPECT_TRUE(watch.changes().empty());
}
