#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "BoardBringup.h"
#include "sGpio.h"
#include "sys_board.h"
#include "vsim_test.h"

namespace {

vsim::Options cpu_options(const std::string& cpuinfo)
{
    vsim::Options o;
    o.cpuinfo = cpuinfo;
    return o;
}

struct CpuCase {
    const char* name;
    std::string cpuinfo;
    const char* sdk;  // content of /var/etc/sdk.txt, null for none
    int family;
    int sdk_value;
};

TEST(SysCpu, FamilyFromCpuinfoAndApiLevel)
{
    const std::string hw = "processor\t: 0\nHardware\t: ";
    const CpuCase cases[] = {
        {"sun4i", hw + "sun4i\n", nullptr, 1, 16},
        {"nothing known", hw + "sun7i\n", nullptr, 2, 16},
        {"empty", "", nullptr, 2, 16},
        {"sun5i", hw + "sun5i\n", nullptr, 3, 16},
        {"sun8i without api level", hw + "sun8i\n", nullptr, 4, 16},
        {"sun8i api 22", hw + "sun8i\n", "22\n", 4, 22},
        {"sun8i api 23", hw + "sun8i\n", "23\n", 601, 23},
        {"sun50iw10p1 is not sun5i", hw + "sun50iw10p1\n", nullptr, 10, 16},
        {"upper case", hw + "SUN50IW10P1\n", nullptr, 10, 16},
        {"rk3368", hw + "Rockchip RK3368\n", "28\n", 3368, 28},
        {"rk3368 api 29", hw + "Rockchip RK3368\n", "29\n", 3369, 29},
        {"rk3288", hw + "Rockchip RK3288\n", nullptr, 3288, 16},
        {"rk3399", hw + "Rockchip RK3399\n", nullptr, 3399, 16},
        {"rk3588", "model name\t: rockchip,rk3588\n", nullptr, 3588, 16},
        {"rk3568", hw + "Rockchip rk3568\n", nullptr, 3568, 16},
        {"rk3566", hw + "Rockchip RK3566\n", nullptr, 3566, 16},
        {"last hit wins", hw + "rk3368\nmodel\t: rk3288\n", nullptr, 3288, 16},
        {"a later line without hit keeps it", hw + "rk3399\nSerial\t: 0000\n", nullptr, 3399, 16},
        {"first test of a line wins", hw + "rk3566 rk3288\n", nullptr, 3288, 16},
        {"api level not a number", hw + "sun8i\n", "x23\n", 4, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vsim_run(cpu_options(c.cpuinfo), [&](vsim::Sandbox& sb) {
            if (c.sdk) {
                ASSERT_TRUE(sb.write("/var/etc/sdk.txt", c.sdk));
            }
            EXPECT_EQ(sys_cpu(), c.family);
            EXPECT_EQ(sys_sdk, c.sdk_value);
        });
    }
}

TEST(SysCpu, DetectsOnceAndCachesTheResult)
{
    vsim_run(cpu_options("Hardware\t: sun8i\n"), [](vsim::Sandbox& sb) {
        EXPECT_EQ(sys_cpu(), 4);
        ASSERT_TRUE(sb.write("/var/etc/sdk.txt", "23\n"));
        EXPECT_EQ(sys_cpu(), 4);
        EXPECT_EQ(sys_sdk, 16);
    });
}

TEST(SysCpu, ConcurrentFirstCallsAllSeeTheScannedFamily)
{
    // A long file keeps the scan busy while the other callers arrive.
    std::string cpuinfo;
    for (int i = 0; i < 20000; i++)
        cpuinfo += "flags\t\t: fp asimd evtstrm aes pmull sha1 sha2 crc32\n";
    cpuinfo += "Hardware\t: Rockchip RK3288\n";
    vsim_run(cpu_options(cpuinfo), [](vsim::Sandbox&) {
        const int n = 16;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<int> seen(n, -1);
        std::vector<std::thread> threads;
        for (int i = 0; i < n; i++)
            threads.emplace_back([&, i] {
                ready++;
                while (!go)
                    std::this_thread::yield();
                seen[i] = sys_cpu();
            });
        while (ready < n)
            std::this_thread::yield();
        go = true;
        for (auto& t : threads)
            t.join();
        for (int i = 0; i < n; i++) {
            EXPECT_EQ(seen[i], 3288) << "caller " << i;
        }
    });
}

TEST(SysVariant, LimitFileGivesTheVariantClass)
{
    const struct {
        const char* limit;  // null: no file
        int sys_limit;
        int sys_mode;
    } cases[] = {
        {nullptr, 0, 0}, {"970\n", 970, 1}, {"989", 989, 1},  {"990\n", 990, 0},
        {"969", 969, 0}, {"200\n", 200, 2}, {"299\n", 299, 2}, {"300\n", 300, 0},
        {"199", 199, 0}, {" 975\n", 975, 1}, {"abc\n", 0, 0},  {"", 0, 0},
        {"-975", -975, 0}, {"99999999999999999999", 0, 0},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.limit ? c.limit : "(no file)");
            sb.remove("/vesko/bin/limit");
            if (c.limit) {
                ASSERT_TRUE(sb.write("/vesko/bin/limit", c.limit));
            }
            sys_limit = 0;
            sys_mode = 0;
            sys_variant_load();
            EXPECT_EQ(sys_limit, c.sys_limit);
            EXPECT_EQ(sys_mode, c.sys_mode);
        }
    });
}

struct BringupCase {
    const char* name;
    std::string cpuinfo;
    const char* sdk;
    int mode;
    int family;
    std::vector<std::string> commands;
};

const char* const REMOUNT_CFG = "mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit /vesko/cfg";
const char* const REMOUNT_DATA = "mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit /vesko/data";

TEST(SysBoard, BringUpOfEveryFamily)
{
    const std::string hw = "Hardware\t: ";
    const BringupCase cases[] = {
        {"sun4i: nothing", hw + "sun4i\n", nullptr, 0, 1, {}},
        {"default family", hw + "sun7i\n", nullptr, 0, 2, {}},
        {"sun5i: nothing", hw + "sun5i\n", nullptr, 1, 3, {}},
        {"a33 indoor unit", hw + "sun8i\n", nullptr, 0, 4, {REMOUNT_CFG, REMOUNT_DATA}},
        {"a33 door station", hw + "sun8i\n", nullptr, 1, 4, {REMOUNT_CFG, REMOUNT_DATA}},
        {"a33 centre unit", hw + "sun8i\n", nullptr, 2, 4, {REMOUNT_CFG, REMOUNT_DATA}},
        {"a33 api 23 door station", hw + "sun8i\n", "23", 1, 601, {REMOUNT_CFG, REMOUNT_DATA}},
        {"rk3288 indoor unit", hw + "RK3288\n", nullptr, 0, 3288, {}},
        {"rk3288 door station", hw + "RK3288\n", nullptr, 1, 3288, {}},
        {"rk3368 centre unit", hw + "RK3368\n", nullptr, 2, 3368, {}},
        {"rk3368 api 29 indoor unit", hw + "RK3368\n", "29", 0, 3369, {}},
        {"x10", hw + "sun50iw10p1\n", nullptr, 0, 10,
         {"mount /dev/block/by-name/private /var/private", "umount /var/private"}},
        {"rk3399: nothing", hw + "RK3399\n", nullptr, 0, 3399, {}},
        {"rk3566: nothing", hw + "RK3566\n", nullptr, 0, 3566, {}},
        {"rk3568", hw + "RK3568\n", nullptr, 1, 3568, {}},
        {"rk3588: nothing", hw + "RK3588\n", nullptr, 0, 3588, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vsim_run(cpu_options(c.cpuinfo), [&](vsim::Sandbox& sb) {
            if (c.sdk) {
                ASSERT_TRUE(sb.write("/var/etc/sdk.txt", c.sdk));
            }
            sys_mode = c.mode;
            ASSERT_EQ(sys_cpu(), c.family);
            sb.gpio().clear();
            sb.clear_commands();
            {
                sGpio gpio;
                sys_board_init(gpio);
            }
            BoardBringup(c.family, c.mode).check(sb.gpio().calls(), true);
            EXPECT_EQ(sb.commands(), c.commands);
        });
    }
}

TEST(SysBoard, BringUpGoesOnWithoutGpioDevice)
{
    vsim::Options o = cpu_options("Hardware\t: RK3288\n");
    o.gpio_present = false;
    vsim_run(o, [](vsim::Sandbox& sb) {
        sys_mode = 1;
        sGpio gpio;
        sys_board_init(gpio);
        EXPECT_TRUE(sb.gpio().calls().empty());
    });
}

TEST(SysBoard, FactoryMacOfFamily10)
{
    const std::string mac_file = "/var/private/ZAR/factory/mac_addr.txt";
    const struct {
        const char* name;
        bool present;
        std::string text;
        std::string mac;
    } cases[] = {
        {"first token", true, "0a1b2c3d4e5f 112233445566\n", "0a1b2c3d4e5f"},
        {"leading blanks", true, "\n  A0B1C2D3E4F5\n", "A0B1C2D3E4F5"},
        {"over-long token is cut", true, std::string(100, 'a') + "\n", std::string(63, 'a')},
        {"empty file", true, "", ""},
        {"no file", false, "", ""},
    };
    vsim_run(cpu_options("Hardware\t: sun50iw10p1\n"), [&](vsim::Sandbox& sb) {
        ASSERT_EQ(sys_cpu(), 10);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            memset(board_private_mac, 0, sizeof(board_private_mac));
            if (c.present) {
                ASSERT_TRUE(sb.write(mac_file, c.text));
            }
            sb.clear_commands();
            testing::internal::CaptureStderr();
            {
                sGpio gpio;
                sys_board_init(gpio);
            }
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(std::string(board_private_mac), c.mac);
            if (c.present) {
                EXPECT_NE(err.find("sys_private_init mac: " + c.mac + "\n"), std::string::npos) << err;
            } else {
                EXPECT_EQ(err.find("sys_private_init"), std::string::npos) << err;
            }
            std::vector<std::string> want = {"mount /dev/block/by-name/private /var/private",
                                             "umount /var/private"};
            EXPECT_EQ(sb.commands(), want);
            EXPECT_FALSE(sb.exists("/var/private"));
        }
    });
}

TEST(SysBoard, RandomSeedDiffersBetweenStarts)
{
    // seed48 swaps in a known state and hands back the one the seeding left.
    auto seeded_state = [] {
        unsigned short known[3] = {1, 2, 3};
        seed48(known);
        sys_random_init();
        const unsigned short* s = seed48(known);
        return std::vector<unsigned short>(s, s + 3);
    };
    const std::vector<unsigned short> known = {1, 2, 3};
    for (bool urandom : {true, false}) {
        SCOPED_TRACE(urandom ? "with /dev/urandom" : "without /dev/urandom");
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            if (!urandom) {
                // The node is a bind of the host's; only this sandbox's view of it goes.
                ASSERT_EQ(umount2("/dev/urandom", MNT_DETACH), 0);
                ASSERT_TRUE(sb.remove("/dev/urandom"));
            }
            std::vector<unsigned short> a = seeded_state();
            sb.clock_advance(250000);
            std::vector<unsigned short> b = seeded_state();
            EXPECT_NE(a, known);
            EXPECT_NE(b, known);
            EXPECT_NE(a, b);
        });
    }
}

TEST(SysSpecial, FeatureFlags)
{
    const struct {
        const char* text;  // null: no file
        int qding;
        int tsl;
    } cases[] = {
        {nullptr, 0, 0},
        {"<sys><qding>1</qding></sys>", 1, 0},
        {"<sys><tsl>1</tsl><qding>0</qding></sys>", 0, 1},
        {"<sys><qding>2</qding><tsl>3</tsl></sys>", 2, 3},
        {"<special><qding>1</qding></special>", 0, 0},
        {"qding=1", 0, 0},
        {"<sys><qding>1</qding>", 1, 0},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text ? c.text : "(no file)");
            sb.remove("/vesko/bin/special.xml");
            if (c.text) {
                ASSERT_TRUE(sb.write("/vesko/bin/special.xml", c.text));
            }
            sys_qding = 7;
            sys_tsl = 7;
            sys_special_load();
            EXPECT_EQ(sys_qding, c.qding);
            EXPECT_EQ(sys_tsl, c.tsl);
        }
    });
}

TEST(SysOrientation, PutsTheRotationOnlyWhenItDiffers)
{
    const struct {
        const char* name;
        const char* sys_xml;   // null: no file
        const char* rotation;  // the platform's user_rotation, null for unset
        const char* put;       // expected "settings put" or null
    } cases[] = {
        {"portrait already applied", "<sys><lcd><portrait>1</portrait></lcd></sys>", "1", nullptr},
        {"portrait to apply", "<sys><lcd><portrait>1</portrait></lcd></sys>", "0",
         "settings put system user_rotation 1"},
        {"landscape to apply", "<sys><lcd><portrait>0</portrait></lcd></sys>", "3",
         "settings put system user_rotation 0"},
        {"other rotation", "<sys><lcd><portrait>2</portrait></lcd></sys>", "1",
         "settings put system user_rotation 2"},
        {"no file means 0, matching", nullptr, "0", nullptr},
        {"no file means 0, differing", nullptr, "1", "settings put system user_rotation 0"},
        {"no key means 0", "<sys><talk><building>3</building></talk></sys>", "0", nullptr},
        {"rotation never set", nullptr, nullptr, "settings put system user_rotation 0"},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            sb.remove("/vesko/cfg/sys.xml");
            if (c.sys_xml) {
                ASSERT_TRUE(sb.write("/vesko/cfg/sys.xml", c.sys_xml));
            }
            if (c.rotation) {
                ASSERT_TRUE(sb.set_setting("system", "user_rotation", c.rotation));
            } else {
                ASSERT_EQ(system("settings delete system user_rotation"), 0);
            }
            sb.clear_commands();
            sys_orientation();
            std::vector<std::string> want = {"settings get system user_rotation"};
            if (c.put)
                want.push_back(c.put);
            EXPECT_EQ(sb.commands(), want);
        }
    });
}

TEST(SysReboot, WritesTheWatchdogFile)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write("/var/etc/watchdog", "0000\n", 0600));
        sys_reboot();
        EXPECT_EQ(sb.read("/var/etc/watchdog"), "1");
        ASSERT_TRUE(sb.remove("/var/etc/watchdog"));
        sys_reboot();
        EXPECT_EQ(sb.read("/var/etc/watchdog"), "1");
        EXPECT_EQ(sb.mode("/var/etc/watchdog"), 0777);
    });
}

}  // namespace
