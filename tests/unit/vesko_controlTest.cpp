#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "vesko_control.h"
#include "vesko_mme.h"
#include "vesko_text.h"
#include "vsim_test.h"

namespace {

struct TextCase {
    const char* text;
    bool ok;
};

TEST(VeskoText, MacTextHasItsExactForm)
{
    const TextCase cases[] = {
        {"00:b0:52:12:34:56", true},
        {"AA:BB:CC:DD:EE:FF", true},
        {"0a:1B:2c:3D:4e:5F", true},
        {"", false},
        {"00:b0:52:12:34", false},
        {"00:b0:52:12:34:5", false},
        {"00:b0:52:12:34:567", false},
        {"00:b0:52:12:34:56 ", false},
        {" 00:b0:52:12:34:56", false},
        {"00:b0:52:12:34:56\n", false},
        {"00-b0-52-12-34-56", false},
        {"00:b0:52:12:34:5g", false},
        {"000:b0:52:12:34:5", false},
        {"00:b0:52:12:34:56;reboot", false},
        {"$(reboot):00:00:00", false},
        {"00:b0:52:12:34:`5`", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(vesko_text_is_mac(c.text), c.ok);
    }
    EXPECT_FALSE(vesko_text_is_mac(nullptr));
}

TEST(VeskoText, HexKeyIsBoundedDigits)
{
    const std::string max(64, 'f');
    const struct {
        std::string text;
        size_t max_len;
        bool ok;
    } cases[] = {
        {"0", 64, true},
        {"0123456789abcdefABCDEF", 64, true},
        {max, 64, true},
        {max + "f", 64, false},
        {"abc", 2, false},
        {"ab", 2, true},
        {"", 64, false},
        {"12 34", 64, false},
        {"1234;reboot", 64, false},
        {"12\n34", 64, false},
        {"0x1234", 64, false},
        {"$(id)", 64, false},
        {"-1", 64, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(vesko_text_is_hex(c.text.c_str(), c.max_len), c.ok);
    }
    EXPECT_FALSE(vesko_text_is_hex(nullptr, 64));
}

TEST(MmeCommand, BuildsOnlyFromTextsOfTheirForm)
{
    const std::string key(64, 'A');
    const std::string refused;
    const struct {
        const char* op;
        const char* mac;
        std::string value;
        std::string line;  // empty: refused
    } cases[] = {
        {"set_mac", "00:b0:52:12:34:56", "02:11:22:33:44:55",
         "/vesko/bin/mme eth0 00:b0:52:12:34:56 set_mac 02:11:22:33:44:55"},
        {"set_nmk", "00:b0:52:12:34:56", "00112233445566778899aabbccddeeff",
         "/vesko/bin/mme eth0 00:b0:52:12:34:56 set_nmk 00112233445566778899aabbccddeeff"},
        {"set_nmk", "00:B0:52:12:34:56", key, "/vesko/bin/mme eth0 00:B0:52:12:34:56 set_nmk " + key},
        {"set_mac", "00:b0:52:12:34:56", "0011223344556677", refused},
        {"set_nmk", "00:b0:52:12:34:56", "02:11:22:33:44:55", refused},
        {"set_mac", "00:b0:52:12:34:56;reboot", "02:11:22:33:44:55", refused},
        {"set_mac", "00:b0:52:12:34:56", "02:11:22:33:44:55 && reboot", refused},
        {"set_nmk", "00:b0:52:12:34:56", key + "0", refused},
        {"version", "00:b0:52:12:34:56", "00", refused},
        {"set_mac;reboot", "00:b0:52:12:34:56", "02:11:22:33:44:55", refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + c.mac + " " + c.value);
        char cmd[MME_CMD_SIZE];
        int n = mme_command(cmd, sizeof(cmd), c.op, c.mac, c.value.c_str());
        if (c.line.empty()) {
            EXPECT_EQ(n, -1);
        } else {
            ASSERT_EQ(n, int(c.line.size()));
            EXPECT_EQ(std::string(cmd), c.line);
        }
    }
    char cmd[MME_CMD_SIZE];
    EXPECT_EQ(mme_command(nullptr, 128, "set_mac", "00:b0:52:12:34:56", "02:11:22:33:44:55"), -1);
    EXPECT_EQ(mme_command(cmd, sizeof(cmd), nullptr, "00:b0:52:12:34:56", "02:11:22:33:44:55"), -1);
    EXPECT_EQ(mme_command(cmd, sizeof(cmd), "set_mac", nullptr, "02:11:22:33:44:55"), -1);

    // A buffer too short refuses instead of leaving a cut line to run.
    char small[40];
    EXPECT_EQ(mme_command(small, sizeof(small), "set_mac", "00:b0:52:12:34:56", "02:11:22:33:44:55"), -1);
}

TEST(UsbModeswitch, FourLowerCaseDigitsEach)
{
    const struct {
        int vendor;
        int product;
        const char* ids;  // "vvvv pppp"
    } cases[] = {
        {0x12d1, 0x1506, "12d1 1506"},
        {0x19D2, 0xFFF1, "19d2 fff1"},
        {0, 0, "0000 0000"},
        {1, 2, "0001 0002"},
        {-1, -2, "ffff fffe"},
        {0x12345, 0x7fffffff, "2345 ffff"},
        {int(0x80000000u), 0x10000, "0000 0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ids);
        std::string v(c.ids, 4), p(c.ids + 5, 4);
        std::string want = "/system/bin/usb_modeswitch -v " + v + " -p " + p +
                           " -c /system/etc/usb_modeswitch.d/" + v + "_" + p;
        char cmd[128];
        ASSERT_EQ(vesko_usb_modeswitch_cmd(cmd, sizeof(cmd), c.vendor, c.product), int(want.size()));
        EXPECT_EQ(std::string(cmd), want);
    }
    char small[16];
    EXPECT_EQ(vesko_usb_modeswitch_cmd(small, sizeof(small), 1, 2), -1);
    EXPECT_EQ(vesko_usb_modeswitch_cmd(nullptr, 128, 1, 2), -1);
}

TEST(ControlHelpers, CardNumberIsUnsigned32Bits)
{
    const struct {
        const char* text;
        uint32_t card;
    } cases[] = {
        {"0", 0},
        {"16909060", 0x01020304u},
        {"2147483647", 0x7fffffffu},
        {"2147483648", 0x80000000u},
        {"4294967295", 0xffffffffu},
        {"4294967296", 0},
        {"4294967297", 1},
        // 10^20 + 5 modulo 2^32
        {"100000000000000000005", 1661992965u},
        {"-1", 0xffffffffu},
        {"-2147483648", 0x80000000u},
        {" 42", 42},
        {"+42", 42},
        {"42abc", 42},
        {"abc", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(vesko_control_card(c.text), c.card);
    }
    EXPECT_EQ(vesko_control_card(nullptr), 0u);
}

TEST(ControlHelpers, TimeTextAsLocalTimeWithoutDaylightSaving)
{
    const struct {
        const char* tz;
        const char* text;
        int64_t t;
    } cases[] = {
        {"UTC", "2024-02-29 13:05:09", 1709211909},
        {"UTC", "2024-2-29 13:5:9", 1709211909},
        {"UTC", "2024-02-29", 1709164800},
        {"UTC", "2024-02-29 13", 1709211600},
        {"UTC", "1970-01-01 00:00:00", 0},
        {"UTC", "2024-12-31 23:59:60", 1735689600},
        {"UTC", "2038-01-19 03:14:08", 2147483648LL},
        // Two hours east of UTC without daylight saving: local 13:05:09 is 11:05:09 UTC.
        {"XXX-2", "2024-02-29 13:05:09", 1709204709},
        // A zone whose summer time is in force in July: the text still counts as
        // standard time, an hour later than the zone's own clock reading.
        {"EET-2EEST,M3.5.0/3,M10.5.0/4", "2024-07-01 12:00:00", 1719828000},
    };
    const char* saved = getenv("TZ");
    std::string old = saved ? saved : "";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + c.text);
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(vesko_control_time(c.text), c.t);
    }
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_LT(vesko_control_time("not a time"), 0);
    EXPECT_LT(vesko_control_time(""), 0);
    EXPECT_EQ(vesko_control_time(nullptr), -1);
    if (saved)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(ControlHelpers, BitSetAndCleared)
{
    const struct {
        int word, bit, onoff, result;
    } cases[] = {
        {0, 1, 1, 1},       {1, 1, 1, 1},          {1, 1, 0, 0},
        {5, 4, 0, 1},       {1, 4, 7, 5},          {0, int(0x80000000u), 1, int(0x80000000u)},
        {-1, 8, 0, ~8},     {0, 8, -1, 8},         {12, 8, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.word << " " << c.bit << " " << c.onoff);
        EXPECT_EQ(vesko_control_bit(c.word, c.bit, c.onoff), c.result);
    }
}

// The bridge tool of the sandbox, installed where the daemon runs it.
void install_mme(vsim::Sandbox& sb)
{
    std::string stub = sb.read(std::string(VSIM_STUBS_DIR) + "/mme");
    ASSERT_FALSE(stub.empty());
    ASSERT_TRUE(sb.write("/vesko/bin/mme", stub, 0755));
}

const char VERSION_CALL[] = "mme eth0 00:b0:52:00:00:01 version";

TEST(MmeGetMac, ReadsTheFirstGetMacLine)
{
    const std::string pad(300, 'x');
    const struct {
        const char* name;
        std::string out;  // what the tool prints; "-" for its own report
        int rc;
        const char* mac;
    } cases[] = {
        {"the tool's own report", "-", 0, "00:b0:52:12:34:56"},
        {"first of two", "Get mac 11:11:11:11:11:11\nGet mac 22:22:22:22:22:22\n", 0, "11:11:11:11:11:11"},
        {"cut at the first blank", "Get mac 11:22:33:44:55:66 (bridge)\n", 0, "11:22:33:44:55:66"},
        {"line end is not part of it", "Get mac 11:22:33:44:55:66\r\n", 0, "11:22:33:44:55:66"},
        {"last line without line end", "hello\nGet mac 11:22:33:44:55:66", 0, "11:22:33:44:55:66"},
        {"after other lines", "Interface eth0\nGet MAC no\nGet mac ab:cd:ef:01:23:45\n", 0, "ab:cd:ef:01:23:45"},
        {"any text is a MAC text here", "Get mac not-a-mac\n", 0, "not-a-mac"},
        {"31 characters fit", "Get mac " + std::string(31, 'a') + "\n", 0, nullptr},
        {"32 characters do not", "Get mac " + std::string(32, 'a') + "\n", -1, nullptr},
        {"no such line", "Interface eth0\nDone\n", -1, nullptr},
        {"nothing at all", "", -1, nullptr},
        {"indented line does not match", "  Get mac 11:22:33:44:55:66\n", -1, nullptr},
        {"the rest of a long line is no line", pad + "Get mac 11:22:33:44:55:66\n", -1, nullptr},
        {"a long line before it", pad + "\nGet mac 11:22:33:44:55:66\n", 0, "11:22:33:44:55:66"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            install_mme(sb);
            if (c.out != "-") {
                ASSERT_TRUE(sb.write("/sim/run/mme.out", c.out));
            }
            char mac[MME_MAC_SIZE];
            memset(mac, 0x55, sizeof(mac));
            EXPECT_EQ(mme_get_mac(mac), c.rc);
            if (c.rc == 0) {
                std::string want = c.mac ? c.mac : std::string(31, 'a');
                EXPECT_EQ(std::string(mac), want);
            }
            EXPECT_EQ(sb.commands(), std::vector<std::string>{VERSION_CALL});
        });
    }
}

TEST(MmeGetMac, NullBufferOrNoTool)
{
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        install_mme(sb);
        EXPECT_EQ(mme_get_mac(nullptr), -1);
        EXPECT_TRUE(sb.commands().empty());
        ASSERT_TRUE(sb.remove("/vesko/bin/mme"));
        char mac[MME_MAC_SIZE];
        EXPECT_EQ(mme_get_mac(mac), -1);
    });
}

TEST(MmeSet, RunsOnlyTextsOfTheirExactForm)
{
    const struct {
        const char* op;
        const char* value;
        int rc;
    } cases[] = {
        {"set_mac", "02:11:22:33:44:55", 0},
        {"set_nmk", "00112233445566778899AABBCCDDEEFF", 0},
        {"set_mac", "02:11:22:33:44:55;touch /tmp/pwned", -1},
        {"set_mac", "$(touch /tmp/pwned)", -1},
        {"set_mac", "`touch /tmp/pwned`", -1},
        {"set_mac", "02:11:22:33:44:55\ntouch /tmp/pwned", -1},
        {"set_mac", "02:11:22:33:44:55 | touch /tmp/pwned", -1},
        {"set_mac", "", -1},
        {"set_nmk", "0011;touch /tmp/pwned", -1},
        {"set_nmk", "0011 && touch /tmp/pwned", -1},
        {"set_nmk", "'; touch /tmp/pwned; '", -1},
        {"set_nmk", "", -1},
        {"set_mac", nullptr, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + (c.value ? c.value : "(null)"));
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            install_mme(sb);
            EXPECT_EQ(mme_set(c.op, c.value), c.rc);
            EXPECT_FALSE(sb.exists("/tmp/pwned"));
            if (c.rc != 0) {
                // Refused before anything ran, the version query included.
                EXPECT_TRUE(sb.commands().empty());
                EXPECT_FALSE(sb.exists("/sim/run/mme.mac"));
                EXPECT_FALSE(sb.exists("/sim/run/mme.nmk"));
                return;
            }
            std::string want = std::string("mme eth0 00:b0:52:12:34:56 ") + c.op + " " + c.value;
            EXPECT_EQ(sb.commands(), (std::vector<std::string>{VERSION_CALL, want}));
            if (strcmp(c.op, "set_mac") == 0)
                EXPECT_EQ(sb.read("/sim/run/mme.mac"), c.value);
            else
                EXPECT_EQ(sb.read("/sim/run/mme.nmk"), c.value);
        });
    }
}

TEST(MmeSet, BridgeMacFromTheToolIsCheckedToo)
{
    const struct {
        const char* out;
        int rc;
    } cases[] = {
        {"Get mac 0:0;touch${IFS}/tmp/pwned\n", -3},
        {"Get mac $(touch${IFS}/tmp/pwned)\n", -3},
        {"Get mac 0:0\t&&touch\t/tmp/pwned\n", -3},
        {"Get mac 00:b0:52:12:34\n", -3},
        // Too long to be held at all.
        {"Get mac 00:b0:52:12:34:56;touch${IFS}/tmp/pwned\n", -2},
        {"no mac here\n", -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
            install_mme(sb);
            ASSERT_TRUE(sb.write("/sim/run/mme.out", c.out));
            EXPECT_EQ(mme_set("set_mac", "02:11:22:33:44:55"), c.rc);
            EXPECT_EQ(sb.commands(), std::vector<std::string>{VERSION_CALL});
            EXPECT_FALSE(sb.exists("/tmp/pwned"));
            EXPECT_FALSE(sb.exists("/sim/run/mme.mac"));
        });
    }
}

}  // namespace
