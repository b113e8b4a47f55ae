#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Profile.h"

using vsim::Profile;

namespace {

// A profile directory of its own for each test, removed afterwards.
class ProfileDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tmp = getenv("TMPDIR");
        char templ[256];
        snprintf(templ, sizeof(templ), "%s/ProfileTest.XXXXXX", tmp && tmp[0] ? tmp : "/tmp");
        ASSERT_NE(mkdtemp(templ), nullptr);
        m_dir = templ;
        put("profile", "title  A test terminal\nmcu /dev/ttyS3   # the MCU\n");
        put("cpuinfo", "Hardware\t: Rockchip RK3288\n");
        put("interfaces", "eth0 192.168.12.100/24 192.168.12.40/24\n");
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void put(const std::string& rel, const std::string& text, int mode = 0644)
    {
        std::string path = m_dir + "/" + rel;
        for (size_t i = m_dir.size() + 1; i < path.size(); i++)
            if (path[i] == '/')
                mkdir(path.substr(0, i).c_str(), 0755);
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        fputs(text.c_str(), f);
        fclose(f);
        chmod(path.c_str(), mode);
    }

    std::string m_dir;
};

}  // namespace

TEST_F(ProfileDir, ReadsTheTerminalDescriptionAndItsFiles)
{
    put("vesko/bin/limit", "975\n");
    put("vesko/bin/mme", "#!/bin/sh\n", 0755);
    put("vesko/cfg/sys.xml", "<sys><talk><server>192.168.12.40</server></talk></sys>");
    put("README.md", "notes for people\n");
    put("vesko/cfg/sys.xml~", "an editor's backup\n");
    Profile p;
    std::string error;
    ASSERT_TRUE(p.load(m_dir, &error)) << error;
    EXPECT_EQ(p.title, "A test terminal");
    EXPECT_EQ(p.mcu_port, "/dev/ttyS3");
    EXPECT_EQ(p.limit, 975);
    EXPECT_TRUE(p.w350);
    EXPECT_EQ(p.cpuinfo, "Hardware\t: Rockchip RK3288\n");
    ASSERT_EQ(p.interfaces.size(), 1u);
    EXPECT_EQ(p.interfaces[0].name, "eth0");
    EXPECT_EQ(p.interfaces[0].address, "192.168.12.100/24");
    EXPECT_EQ(p.interfaces[0].peer, "192.168.12.40/24");
    EXPECT_TRUE(p.interfaces[0].carrier);
    ASSERT_EQ(p.files.size(), 3u);  // sorted walk; the profile's own files stay out
    EXPECT_EQ(p.files[0].path, "/vesko/bin/limit");
    EXPECT_EQ(p.files[0].mode, 0644);
    EXPECT_EQ(p.files[1].path, "/vesko/bin/mme");
    EXPECT_EQ(p.files[1].mode, 0755);
    EXPECT_EQ(p.files[2].path, "/vesko/cfg/sys.xml");
    EXPECT_TRUE(p.warnings.empty());
    EXPECT_EQ(p.options().interfaces.size(), 1u);
    EXPECT_EQ(p.options().cpuinfo, p.cpuinfo);
}

TEST_F(ProfileDir, TheVariantFollowsTheLimitFileLikeTheTerminal)
{
    struct Case {
        const char* limit;
        bool w350;
    } cases[] = {{"970\n", true}, {"989", true}, {"969", false}, {"990", false}, {"0", false}, {"junk", false}};
    for (const Case& c : cases) {
        put("vesko/bin/limit", c.limit);
        Profile p;
        std::string error;
        ASSERT_TRUE(p.load(m_dir, &error)) << error;
        EXPECT_EQ(p.w350, c.w350) << c.limit;
    }
    unlink((m_dir + "/vesko/bin/limit").c_str());
    Profile p;
    std::string error;
    ASSERT_TRUE(p.load(m_dir, &error)) << error;
    EXPECT_FALSE(p.w350);
}

TEST_F(ProfileDir, InterfaceOptionsAndAbsentAddresses)
{
    put("interfaces", "# comment\n\neth0 192.168.12.100/24 192.168.12.40/24 02:11:22:33:44:55\n"
                      "wlan0 - 10.0.0.1/24 nocarrier\n");
    Profile p;
    std::string error;
    ASSERT_TRUE(p.load(m_dir, &error)) << error;
    ASSERT_EQ(p.interfaces.size(), 2u);
    EXPECT_EQ(p.interfaces[0].mac, "02:11:22:33:44:55");
    EXPECT_EQ(p.interfaces[1].address, "");
    EXPECT_EQ(p.interfaces[1].peer, "10.0.0.1/24");
    EXPECT_FALSE(p.interfaces[1].carrier);
}

TEST_F(ProfileDir, RefusesWhatCannotBeUsedWithAClearReason)
{
    struct Case {
        const char* file;
        const char* text;
        const char* reason;
    } cases[] = {
        {"interfaces", "eth0 192.168.12.100/24\n", "interfaces:1"},
        {"interfaces", "eth0 192.168.12.300/24 -\n", "192.168.12.300/24"},
        {"interfaces", "eth0 192.168.12.100 -\n", "prefix length"},
        {"interfaces", "eth0 - - 02:11:22:33:44\n", "MAC"},
        {"interfaces", "eth0;rm - -\n", "interface name"},
        {"interfaces", "eth0 - -\neth0 - -\n", "twice"},
        {"profile", "colour blue\n", "unknown key"},
        {"profile", "mcu ttyS3\n", "mcu"},
        {"profile", "mcu /dev/../etc/passwd\n", "mcu"},
        {"stray.txt", "x", "directories"},
    };
    for (const Case& c : cases) {
        SetUp();
        put(c.file, c.text);
        Profile p;
        std::string error;
        EXPECT_FALSE(p.load(m_dir, &error)) << c.file << ": " << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        TearDown();
    }
}

TEST_F(ProfileDir, MissingPiecesAndOddFilesAreRefused)
{
    Profile p;
    std::string error;
    EXPECT_FALSE(p.load(m_dir + "/nowhere", &error));
    EXPECT_NE(error.find("no profile"), std::string::npos) << error;

    ASSERT_EQ(symlink("/etc/passwd", (m_dir + "/vesko").c_str()), 0);
    EXPECT_FALSE(p.load(m_dir, &error));
    EXPECT_NE(error.find("plain files"), std::string::npos) << error;
    unlink((m_dir + "/vesko").c_str());

    unlink((m_dir + "/cpuinfo").c_str());
    EXPECT_FALSE(p.load(m_dir, &error));
    EXPECT_NE(error.find("cpuinfo"), std::string::npos) << error;
}

TEST_F(ProfileDir, WarnsWhenTheServerIsNotOnTheLan)
{
    put("vesko/cfg/sys.xml", "<sys><talk><server>10.1.1.1</server></talk></sys>");
    Profile p;
    std::string error;
    ASSERT_TRUE(p.load(m_dir, &error)) << error;
    EXPECT_EQ(p.server, "10.1.1.1");
    ASSERT_EQ(p.warnings.size(), 1u);
    EXPECT_NE(p.warnings[0].find("10.1.1.1"), std::string::npos);
}

// The shipped profiles are what a newcomer gets: a door station and an indoor unit on
// a family with an MCU link, an indoor unit on one without, the server on the LAN.
TEST(ShippedProfiles, DoorAndIndoorAreThereAndConsistent)
{
    struct Case {
        const char* name;
        bool w350;
        int limit;
        const char* mcu;
        const char* family;
    } cases[] = {{"door", true, 970, "/dev/ttyS3", "RK3288"},
                 {"indoor", false, 0, "/dev/ttyS3", "RK3288"},
                 {"indoor-rk3368", false, 0, "", "RK3368"}};
    for (const Case& c : cases) {
        Profile p;
        std::string error;
        ASSERT_TRUE(p.load(c.name, &error)) << c.name << ": " << error;
        EXPECT_EQ(p.w350, c.w350) << c.name;
        EXPECT_EQ(p.limit, c.limit) << c.name;
        EXPECT_EQ(p.mcu_port, c.mcu) << c.name;
        EXPECT_NE(p.cpuinfo.find(c.family), std::string::npos) << c.name;
        EXPECT_TRUE(p.warnings.empty()) << c.name << ": " << p.warnings[0];
        EXPECT_FALSE(p.title.empty()) << c.name;
    }
    std::vector<std::string> names = Profile::shipped();
    EXPECT_NE(std::find(names.begin(), names.end(), "door"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "indoor"), names.end());
}
