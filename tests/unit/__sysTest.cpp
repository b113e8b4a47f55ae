#include <string.h>
#include <tinyxml.h>

#include <string>
#include <vector>

#include "__sys.h"
#include "sys_board.h"
#include "vsim_test.h"

namespace {

const char SYS_XML[] = "/vesko/cfg/sys.xml";
const char ETH_WIFI_XML[] = "/vesko/cfg/eth_wifi.xml";
const char EMODE_XML[] = "/vesko/bin/eMode.xml";
const char ETH_WIFI_STATE[] = "/var/etc/eth_wifi";

// A configuration file with the given talk and panel elements.
std::string sys_xml(const std::string& talk, const std::string& panel = "")
{
    return "<sys><talk>" + talk + "</talk><panel>" + panel + "</panel></sys>";
}

void expect_defaults(const __sys& s)
{
    EXPECT_EQ(s.getTalkBuilding(), 1);
    EXPECT_EQ(s.getTalkUnit(), 1);
    EXPECT_EQ(s.getTalkFloor(), 11);
    EXPECT_EQ(s.getTalkFamily(), 11);
    EXPECT_EQ(s.getTalkDcode(), 0);
    EXPECT_STREQ(s.getTalkSync(), "740918");
    EXPECT_STREQ(s.getTalkServer(), "192.168.12.40");
    EXPECT_STREQ(s.getTalkPasswd(), "740918");
    EXPECT_EQ(s.getTalkCmsEnable(), 1);
    EXPECT_EQ(s.getTalkOnuArp(), 0);
    EXPECT_EQ(s.getTalkQ210(), 0);
    EXPECT_EQ(s.getPanelMode(), 0);
    EXPECT_EQ(s.getPanelIndex(), 1);
}

TEST(Sys, DefaultsBeforeAnyLoad)
{
    __sys s;
    expect_defaults(s);
    EXPECT_STREQ(s.m_url, "/vesko/cfg/sys.xml");
    EXPECT_EQ(s.m_eIO, 0);
    EXPECT_EQ(s.m_eth_wifi, 0);
    EXPECT_EQ(s.m_talk_net, 0);
}

TEST(Sys, LoadsEveryKey)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write(SYS_XML,
                             sys_xml("<building>21</building><unit>4</unit><floor>7</floor>"
                                     "<family>3</family><dcode>2</dcode><sync>123456</sync>"
                                     "<server>10.1.2.3</server><passwd>secret</passwd>"
                                     "<cms_enable>0</cms_enable><onu_arp>1</onu_arp><q210>1</q210>"
                                     "<net>1</net>",
                                     "<mode>2</mode><index>3</index>")));
        __sys s;
        EXPECT_TRUE(s.load());
        EXPECT_EQ(s.getTalkBuilding(), 21);
        EXPECT_EQ(s.getTalkUnit(), 4);
        EXPECT_EQ(s.getTalkFloor(), 7);
        EXPECT_EQ(s.getTalkFamily(), 3);
        EXPECT_EQ(s.getTalkDcode(), 2);
        EXPECT_STREQ(s.getTalkSync(), "123456");
        EXPECT_STREQ(s.getTalkServer(), "10.1.2.3");
        EXPECT_STREQ(s.getTalkPasswd(), "secret");
        EXPECT_EQ(s.getTalkCmsEnable(), 0);
        EXPECT_EQ(s.getTalkOnuArp(), 1);
        EXPECT_EQ(s.getTalkQ210(), 1);
        EXPECT_EQ(s.getPanelMode(), 2);
        EXPECT_EQ(s.getPanelIndex(), 3);
        EXPECT_EQ(s.m_talk_net, 1);
        EXPECT_STREQ(s.identity(), "S00210407032");
    });
}

TEST(Sys, MissingOrBrokenFileKeepsTheValues)
{
    const struct {
        const char* name;
        const char* text;  // null: no file
    } cases[] = {
        {"no file", nullptr},
        {"not XML", "building=3"},
        {"unterminated", "<sys><talk><building>3</building>"},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            sb.remove(SYS_XML);
            if (c.text) {
                ASSERT_TRUE(sb.write(SYS_XML, c.text));
            }
            __sys fresh;
            testing::internal::CaptureStderr();
            EXPECT_FALSE(fresh.load());
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "__sys::load err!\n");
            expect_defaults(fresh);
            EXPECT_STREQ(fresh.identity(), "S00010111110");
            // loadEx still runs.
            EXPECT_EQ(sb.read(ETH_WIFI_STATE), "0\n");

            // A load that worked, then a broken one: the values of the first stay.
            ASSERT_TRUE(sb.write(SYS_XML, sys_xml("<building>12</building><server>10.0.0.9</server>")));
            __sys s;
            ASSERT_TRUE(s.load());
            sb.remove(SYS_XML);
            if (c.text) {
                ASSERT_TRUE(sb.write(SYS_XML, c.text));
            }
            testing::internal::CaptureStderr();
            EXPECT_FALSE(s.load());
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(s.getTalkBuilding(), 12);
            EXPECT_STREQ(s.getTalkServer(), "10.0.0.9");
            EXPECT_STREQ(s.identity(), "S00120111110");
        }
    });
}

TEST(Sys, ReloadKeepsValuesWhoseKeysVanished)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write(SYS_XML, sys_xml("<building>5</building><server>10.9.8.7</server>"
                                              "<passwd>abc</passwd><dcode>3</dcode>",
                                              "<index>4</index>")));
        __sys s;
        ASSERT_TRUE(s.load());
        // server gone, passwd empty, dcode now a text without digits, the panel group gone.
        ASSERT_TRUE(sb.write(SYS_XML, "<sys><talk><building>6</building><passwd></passwd>"
                                      "<dcode>x</dcode></talk></sys>"));
        ASSERT_TRUE(s.load());
        EXPECT_EQ(s.getTalkBuilding(), 6);
        EXPECT_STREQ(s.getTalkServer(), "10.9.8.7");
        EXPECT_STREQ(s.getTalkPasswd(), "abc");
        EXPECT_EQ(s.getTalkDcode(), 0);
        EXPECT_EQ(s.getPanelIndex(), 4);
        EXPECT_EQ(s.getTalkUnit(), 1);
    });
}

TEST(Sys, NumbersAreDecimalTexts)
{
    const struct {
        const char* text;
        int building;
    } cases[] = {
        {"12", 12}, {" 12x", 12}, {"abc", 0}, {"-4", -4}, {"007", 7},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            ASSERT_TRUE(sb.write(SYS_XML, sys_xml(std::string("<building>") + c.text + "</building>")));
            __sys s;
            ASSERT_TRUE(s.load());
            EXPECT_EQ(s.getTalkBuilding(), c.building);
        }
    });
}

TEST(Sys, OverlongTextsAreCut)
{
    const std::string long_text(200, '7');
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write(SYS_XML, sys_xml("<sync>" + long_text + "</sync><server>" + long_text +
                                              "</server><passwd>" + long_text + "</passwd>"
                                              "<cms_enable>5</cms_enable>")));
        __sys s;
        ASSERT_TRUE(s.load());
        EXPECT_EQ(std::string(s.getTalkSync()), std::string(15, '7'));
        EXPECT_EQ(std::string(s.getTalkServer()), std::string(31, '7'));
        EXPECT_EQ(std::string(s.getTalkPasswd()), std::string(31, '7'));
        // The members behind the texts are untouched.
        EXPECT_EQ(s.getTalkCmsEnable(), 5);
        EXPECT_EQ(s.getTalkOnuArp(), 0);

        // A shorter text afterwards leaves no trace of the longer one.
        ASSERT_TRUE(sb.write(SYS_XML, sys_xml("<server>10.0.0.1</server>")));
        ASSERT_TRUE(s.load());
        EXPECT_STREQ(s.getTalkServer(), "10.0.0.1");

        s.setTalkSync(long_text.c_str());
        s.setTalkServer(long_text.c_str());
        s.setTalkPasswd("pw");
        EXPECT_EQ(std::string(s.getTalkSync()), std::string(15, '7'));
        EXPECT_EQ(std::string(s.getTalkServer()), std::string(31, '7'));
        EXPECT_STREQ(s.getTalkPasswd(), "pw");
        s.setTalkServer(nullptr);
        EXPECT_EQ(std::string(s.getTalkServer()), std::string(31, '7'));
    });
}

struct IdentityCase {
    int sys_mode;
    std::string talk;
    std::string panel;
    const char* identity;
};

TEST(Sys, IdentityOfEveryVariantAndPanelMode)
{
    const IdentityCase cases[] = {
        {0, "", "", "S00010111110"},
        {0, "<building>12</building><unit>3</unit>", "", "S00120311110"},
        {0, "<floor>5</floor><family>2</family><dcode>7</dcode>", "", "S00010105027"},
        {2, "", "<mode>1</mode>", "S00010111110"},
        {3, "<dcode>1</dcode>", "", "S00010111111"},
        {1, "", "", "M00010100000"},
        {1, "<building>42</building><unit>9</unit>", "<mode>0</mode><index>2</index>", "M00420910000"},
        {1, "", "<mode>0</mode><index>10</index>", "M00010190000"},
        {1, "", "<mode>1</mode><index>2</index>", "W0002"},
        {1, "", "<mode>1</mode><index>57</index>", "W0057"},
        {1, "", "<mode>2</mode><index>1</index>", "H00010111110"},
        {1, "<floor>3</floor><family>4</family>", "<mode>7</mode><index>5</index>", "H00010103044"},
        {1, "", "<mode>-1</mode><index>2</index>", "H00010111111"},
        // Fields beyond their width are held at the nearest value that fits.
        {0, "<building>123456</building>", "", "S99990111110"},
        {0, "<building>-3</building><unit>100</unit>", "", "S00009911110"},
        {0, "<floor>250</floor><family>-1</family>", "", "S00010199000"},
        {0, "<dcode>12</dcode>", "", "S00010111119"},
        {0, "<dcode>-1</dcode>", "", "S00010111110"},
        {0, "<building>99999999999</building>", "", "S99990111110"},
        {1, "", "<mode>0</mode><index>0</index>", "M00010100000"},
        {1, "", "<mode>0</mode><index>11</index>", "M00010190000"},
        {1, "", "<mode>1</mode><index>1000</index>", "W0099"},
        {1, "", "<mode>1</mode><index>-5</index>", "W0000"},
        {1, "<building>10000</building><unit>100</unit><floor>100</floor><family>100</family>",
         "<mode>2</mode><index>-2147483648</index>", "H99999999990"},
        {1, "", "<mode>2</mode><index>12</index>", "H00010111119"},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.sys_mode) + " " + c.talk + " " + c.panel);
            ASSERT_TRUE(sb.write(SYS_XML, sys_xml(c.talk, c.panel)));
            sys_mode = c.sys_mode;
            __sys s;
            ASSERT_TRUE(s.load());
            EXPECT_STREQ(s.identity(), c.identity);
            EXPECT_LE(strlen(s.identity()), (size_t)SYS_IDENTITY_MAX);
        }
    });
}

struct LoadExCase {
    const char* name;
    const char* sys_xml;
    const char* emode_xml;
    const char* eth_wifi_xml;
    int qding;
    int talk_net;
    int eio;
    int eth_wifi;
};

TEST(Sys, LoadExReadsEachFileIntoAFreshDocument)
{
    const LoadExCase cases[] = {
        {"no files", nullptr, nullptr, nullptr, 0, 0, 0, 0},
        {"every file", "<sys><talk><net>1</net></talk></sys>", "<sys><io>1</io></sys>",
         "<sys><eth_wifi>2</eth_wifi></sys>", 0, 1, 1, 2},
        {"keys of other files are not taken",
         "<sys><io>4</io><eth_wifi>3</eth_wifi><talk><net>1</net></talk></sys>", nullptr, nullptr, 0, 1,
         0, 0},
        {"eMode keys only", nullptr, "<sys><io>2</io><eth_wifi>3</eth_wifi><talk><net>1</net></talk></sys>",
         nullptr, 0, 0, 2, 0},
        {"qding forces Wi-Fi mode 1", nullptr, nullptr, "<sys><eth_wifi>2</eth_wifi></sys>", 1, 0, 0, 1},
        {"qding without file", nullptr, nullptr, nullptr, 5, 0, 0, 1},
        {"truncated eth_wifi file keeps what was parsed", nullptr, nullptr, "<sys><eth_wifi>2</eth_wifi>", 0,
         0, 0, 2},
        {"eth_wifi file not XML", nullptr, nullptr, "eth_wifi=2", 0, 0, 0, 0},
    };
    vsim_run(vsim::Options(), [&](vsim::Sandbox& sb) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const std::pair<const char*, const char*> files[] = {
                {SYS_XML, c.sys_xml}, {EMODE_XML, c.emode_xml}, {ETH_WIFI_XML, c.eth_wifi_xml}};
            for (const auto& f : files) {
                sb.remove(f.first);
                if (f.second) {
                    ASSERT_TRUE(sb.write(f.first, f.second));
                }
            }
            // A longer old state must not leave a tail behind.
            ASSERT_TRUE(sb.write(ETH_WIFI_STATE, "123456789\n", 0600));
            sys_qding = c.qding;
            __sys s;
            s.m_eIO = 9;
            s.m_eth_wifi = 9;
            s.m_talk_net = 9;
            s.loadEx();
            EXPECT_EQ(s.m_talk_net, c.talk_net);
            EXPECT_EQ(s.m_eIO, c.eio);
            EXPECT_EQ(s.m_eth_wifi, c.eth_wifi);
            EXPECT_EQ(sb.read(ETH_WIFI_STATE), std::to_string(c.eth_wifi) + "\n");
            EXPECT_EQ(sb.mode(ETH_WIFI_STATE), 0777);
        }
        sys_qding = 0;
    });
}

TEST(Sys, PublishedModeIsCreatedWithMode0777)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        sb.remove(ETH_WIFI_STATE);
        ASSERT_TRUE(sb.write(ETH_WIFI_XML, "<sys><eth_wifi>3</eth_wifi></sys>"));
        __sys s;
        s.loadEx();
        EXPECT_EQ(sb.read(ETH_WIFI_STATE), "3\n");
        EXPECT_EQ(sb.mode(ETH_WIFI_STATE), 0777);
    });
}

// The elements directly below the root of a saved file, as name=text.
std::vector<std::string> saved_elements(const std::string& text, std::string* root)
{
    TiXmlDocument doc;
    doc.Parse(text.c_str());
    std::vector<std::string> out;
    int roots = 0;
    for (TiXmlElement* r = doc.FirstChildElement(); r; r = r->NextSiblingElement()) {
        roots++;
        *root = r->Value();
        for (TiXmlElement* e = r->FirstChildElement(); e; e = e->NextSiblingElement())
            out.push_back(std::string(e->Value()) + "=" + (e->GetText() ? e->GetText() : ""));
    }
    if (roots != 1)
        out.push_back("roots=" + std::to_string(roots));
    return out;
}

TEST(Sys, SetEthWifiReplacesTheFileWhole)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        ASSERT_TRUE(sb.write(ETH_WIFI_XML, "<sys><eth_wifi>1</eth_wifi><other>5</other></sys>\n"
                                           "<net><eth_wifi>1</eth_wifi></net>\n"));
        sys_qding = 0;
        __sys s;
        s.setEthWifi(2);
        std::string root;
        EXPECT_EQ(saved_elements(sb.read(ETH_WIFI_XML), &root), std::vector<std::string>{"eth_wifi=2"});
        EXPECT_EQ(root, "sys");
        EXPECT_EQ(s.m_eth_wifi, 2);
        EXPECT_EQ(sb.read(ETH_WIFI_STATE), "2\n");
        EXPECT_EQ(sb.mode(ETH_WIFI_STATE), 0777);
        EXPECT_FALSE(sb.exists("/vesko/cfg/eth_wifi.xml.tmp"));

        // What was stored is what the next start reads.
        __sys next;
        next.loadEx();
        EXPECT_EQ(next.m_eth_wifi, 2);
    });
}

TEST(Sys, SetEthWifiUpdatesMemoryAndStateWhenTheFileCannotBeSaved)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        sb.remove(ETH_WIFI_XML);
        ASSERT_TRUE(sb.write(std::string(ETH_WIFI_XML) + "/keep", "x"));
        __sys s;
        testing::internal::CaptureStderr();
        s.setEthWifi(3);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(s.m_eth_wifi, 3);
        EXPECT_EQ(sb.read(ETH_WIFI_STATE), "3\n");
        EXPECT_EQ(sb.read(std::string(ETH_WIFI_XML) + "/keep"), "x");
        EXPECT_FALSE(sb.exists("/vesko/cfg/eth_wifi.xml.tmp"));
    });
}

TEST(Sys, UnwritableStateFileIsSkipped)
{
    vsim_run(vsim::Options(), [](vsim::Sandbox& sb) {
        sb.remove(ETH_WIFI_STATE);
        ASSERT_TRUE(sb.write(std::string(ETH_WIFI_STATE) + "/keep", "x"));
        ASSERT_TRUE(sb.write(ETH_WIFI_XML, "<sys><eth_wifi>2</eth_wifi></sys>"));
        __sys s;
        s.loadEx();
        EXPECT_EQ(s.m_eth_wifi, 2);
        s.setEthWifi(1);
        EXPECT_EQ(s.m_eth_wifi, 1);
        EXPECT_EQ(sb.read(std::string(ETH_WIFI_STATE) + "/keep"), "x");
    });
}

}  // namespace
