// Door cards managed by the building server through the real daemon: additions and
// removals passed to the user interface, and the stored list uploaded in pages.

#include <ctype.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "BusPeer.h"
#include "ServerTest.h"
#include "dxml.h"

using namespace servertest;

namespace {

const char CARD_FILE[] = "/vesko/cfg/sys_card.txt";
const char CARD2[] = "/ui/center/card2";

// The leaves of a bus body in document order with their texts ("c0/d=5"): a leaf is an
// element holding only text; the card groups c0, c1 ... prefix theirs.
std::vector<std::string> keys(const std::string& body)
{
    std::vector<std::string> out;
    std::string group;
    size_t at = 0;
    while ((at = body.find('<', at)) != std::string::npos) {
        size_t end = body.find('>', at);
        if (end == std::string::npos)
            break;
        std::string name = body.substr(at + 1, end - at - 1);
        at = end + 1;
        if (name.empty() || name[0] == '/')
            continue;
        size_t next = body.find('<', at);
        std::string close = "</" + name + ">";
        if (next != std::string::npos && body.compare(next, close.size(), close) == 0) {
            out.push_back((name == "total" ? "" : group) + name + "=" + body.substr(at, next - at));
            at = next + close.size();
        } else if (name.size() > 1 && name[0] == 'c' && isdigit(static_cast<unsigned char>(name[1]))) {
            group = name + "/";
        }
    }
    return out;
}

struct Room {
    int building, unit, floor, family;
    long long card;
};

std::string card_line(const Room& r)
{
    char line[96];
    snprintf(line, sizeof(line), "%d-%d-%d-%d %lld\n", r.building, r.unit, r.floor, r.family, r.card);
    return line;
}

std::string host_of(const Room& r)
{
    char h[32];
    snprintf(h, sizeof(h), "S%04d%02d%02d%02d0", r.building, r.unit, r.floor, r.family);
    return h;
}

std::vector<Room> rooms(int n, int base = 0)
{
    std::vector<Room> v;
    for (int i = 0; i < n; i++)
        v.push_back({(base + i) % 10000, i % 100, (i / 7) % 100, (i / 3) % 100, 1000000LL + base + i});
    return v;
}

std::string card_file(const std::vector<Room>& v)
{
    std::string text;
    for (const Room& r : v)
        text += card_line(r);
    return text;
}

bool is_page(const vsim::ServerDatagram& d)
{
    return d.cmd() == 55 && d.type() == 2;
}

// Asks for the list and collects its pages, up to the last one (idx = max).
std::vector<vsim::ServerDatagram> upload(vsim::ServerEmu& server, int timeout_ms = WAIT_MS)
{
    size_t from = server.count();
    server.request_card_list();
    if (!server.wait([](const vsim::ServerDatagram& d) { return is_page(d) && d.le32(44) == d.le32(40); }, nullptr,
                     timeout_ms, from))
        return {};
    std::vector<vsim::ServerDatagram> pages;
    std::vector<vsim::ServerDatagram> all = server.datagrams();
    for (size_t i = from; i < all.size(); i++)
        if (is_page(all[i]))
            pages.push_back(all[i]);
    return pages;
}

TEST(Q820Card, AdditionsArePostedWithRoomAndCardKeys)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer ui(9801);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        std::vector<vsim::ServerCard> cards = {
            {0x0096B43F, "S00120304050"},
            {0, "S99999999990"},           // no card: skipped
            {0xFFFFFFFE, "S  7 8 -9+1"},   // blanks and signs as the number reader takes them
            {42, "Sx12"},                  // no digits, and fields past the text
        };
        std::vector<uint8_t> packet = vsim::ServerEmu::card_packet(54, 3, 1, cards);
        ASSERT_TRUE(server.send_raw(packet));
        vsim::BusMessage m;
        ASSERT_TRUE(ui.wait(CARD2, &m, WAIT_MS));
        EXPECT_EQ(keys(m.body), (std::vector<std::string>{
                                    "c0/d=9876543", "c0/b=12", "c0/u=3", "c0/f=4", "c0/r=5", "c0/a=1",
                                    "c1/d=-2", "c1/b=7", "c1/u=8", "c1/f=-9", "c1/r=1", "c1/a=1",
                                    "c2/d=42", "c2/b=0", "c2/u=0", "c2/f=0", "c2/r=0", "c2/a=1",
                                    "total=3"}));
        vsim::ServerDatagram echo;
        ASSERT_TRUE(server.wait_cmd(54, 2, &echo, WAIT_MS));
        std::vector<uint8_t> expected(packet.begin(), packet.begin() + 512);
        expected[7] = 2;
        EXPECT_EQ(echo.bytes, expected);
        EXPECT_LE(echo.t_us, m.t_us) << "echoed before it was posted";
    });
}

TEST(Q820Card, RemovalsCarryOnlyCardAndFlag)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer ui(9801);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        std::vector<vsim::ServerCard> cards = {{9876543, "S00120304050"}, {0, ""}, {0x80000000u, "S00010101010"}};
        ASSERT_TRUE(server.send_raw(vsim::ServerEmu::card_packet(57, 4, 1, cards)));
        vsim::BusMessage m;
        ASSERT_TRUE(ui.wait(CARD2, &m, WAIT_MS));
        EXPECT_EQ(keys(m.body), (std::vector<std::string>{"c0/d=9876543", "c0/a=0", "c1/d=-2147483648", "c1/a=0",
                                                           "total=2"}));
        EXPECT_TRUE(server.wait_cmd(57, 2, nullptr, WAIT_MS));
    });
}

// A packet is a repeat when both seq and idx equal the last one of its kind.
TEST(Q820Card, RepeatsArePostedOnceAndEveryPacketIsEchoed)
{
    struct Step {
        uint8_t cmd;
        uint32_t seq;
        uint32_t idx;
        bool posted;
    };
    const std::vector<Step> steps = {
        {54, 5, 1, true},  {54, 5, 1, false}, {54, 5, 2, true},  {54, 6, 2, true},
        {57, 6, 2, true},  {57, 6, 2, false}, {54, 6, 2, false}, {54, 5, 1, true},
        {57, 7, 1, true},  {57, 7, 1, false},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer ui(9801), apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        uint32_t text_seq = 100;
        for (size_t i = 0; i < steps.size(); i++) {
            const Step& s = steps[i];
            SCOPED_TRACE(i);
            size_t from = server.count();
            size_t posted = ui.messages().size();
            ASSERT_TRUE(server.send_raw(vsim::ServerEmu::card_packet(s.cmd, s.seq, s.idx, {{1000 + uint32_t(i), "S00010101010"}})));
            ASSERT_TRUE(server.wait_cmd(s.cmd, 2, nullptr, WAIT_MS, from));
            // A text behind it: once it is posted, the card packet has been handled.
            sb.clock_advance(1000000);
            size_t texts = apps.messages().size();
            ASSERT_TRUE(server.send_text(1, ++text_seq, "mark"));
            ASSERT_TRUE(vsim::wait_until([&] { return apps.messages().size() > texts; }, WAIT_MS));
            std::vector<vsim::BusMessage> all = ui.messages();
            ASSERT_EQ(all.size(), posted + (s.posted ? 1 : 0));
            if (s.posted) {
                dxml doc(all.back().body.c_str());
                EXPECT_EQ(doc.getInt("/params/c0/d", -1), int(1000 + i));
                EXPECT_EQ(doc.getInt("/params/c0/a", -1), s.cmd == 54 ? 1 : 0);
            }
        }
    });
}

TEST(Q820Card, EntriesAreReadOnlyWithinTheRecordAndTheDatagram)
{
    std::vector<vsim::ServerCard> fifty;
    for (uint32_t i = 0; i < 50; i++)
        fifty.push_back({500 + i, "S00010101010"});
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        int total;  // -1: not posted
    };
    std::vector<uint8_t> past_record = vsim::ServerEmu::card_packet(54, 11, 1, fifty, 60);
    std::vector<uint8_t> past_datagram = vsim::ServerEmu::card_packet(54, 12, 1, fifty, 10);
    past_datagram.resize(48 + 24 * 3 + 5);
    std::vector<uint8_t> huge = vsim::ServerEmu::card_packet(57, 13, 1, fifty, 0xFFFFFFFFu);
    std::vector<uint8_t> zero_cards = vsim::ServerEmu::card_packet(54, 14, 1, {{0, "S1"}, {0, "S2"}});
    std::vector<uint8_t> none = vsim::ServerEmu::card_packet(54, 15, 1, {});
    std::vector<uint8_t> shortp = vsim::ServerEmu::card_packet(54, 16, 1, fifty);
    shortp.resize(47);
    const std::vector<Case> cases = {
        {"total_card above 50 reads 50", past_record, 50},
        {"total_card past the datagram reads the whole entries", past_datagram, 3},
        {"total_card of 2^32 - 1", huge, 50},
        {"only zero cards", zero_cards, 0},
        {"total_card 0", none, 0},
        {"a datagram without idx", shortp, -1},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        vsim::BusPeer ui(9801), apps(9832);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        uint32_t text_seq = 200;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            size_t from = server.count();
            size_t posted = ui.messages().size();
            ASSERT_TRUE(server.send_raw(c.packet));
            ASSERT_TRUE(server.wait_cmd(c.packet[6], 2, nullptr, WAIT_MS, from)) << "every request is echoed";
            sb.clock_advance(1000000);
            size_t texts = apps.messages().size();
            ASSERT_TRUE(server.send_text(1, ++text_seq, "mark"));
            ASSERT_TRUE(vsim::wait_until([&] { return apps.messages().size() > texts; }, WAIT_MS));
            std::vector<vsim::BusMessage> all = ui.messages();
            if (c.total < 0) {
                EXPECT_EQ(all.size(), posted);
                continue;
            }
            ASSERT_EQ(all.size(), posted + 1);
            dxml doc(all.back().body.c_str());
            EXPECT_EQ(doc.getInt("/params/total", -1), c.total);
            if (c.total > 0) {
                std::string last = "/params/c" + std::to_string(c.total - 1) + "/d";
                EXPECT_EQ(doc.getInt(last.c_str(), -1), 500 + c.total - 1);
            }
            std::string beyond = "/params/c" + std::to_string(c.total) + "/d";
            EXPECT_EQ(doc.getText(beyond.c_str()), nullptr);
        }
        EXPECT_TRUE(sb.wait_stderr("__q820::card_auth total_card 60 cut to 50", WAIT_MS));
    });
}

void expect_page(const vsim::ServerDatagram& p, uint32_t seq, uint32_t total, uint32_t max, uint32_t idx,
                 const std::vector<Room>& entries)
{
    size_t n = entries.size();
    size_t size = 48 + 24 * n < 512 ? 512 : 48 + 24 * n;
    EXPECT_EQ(p.size(), size);
    EXPECT_TRUE(p.cid_ok());
    EXPECT_EQ(p.host(), identity());
    EXPECT_EQ(p.le32(28), seq);
    EXPECT_EQ(p.le32(32), total);
    EXPECT_EQ(p.le32(36), n);
    EXPECT_EQ(p.le32(40), max);
    EXPECT_EQ(p.le32(44), idx);
    for (size_t i = 0; i < n; i++) {
        EXPECT_EQ(p.be32(48 + 24 * i), uint32_t(entries[i].card)) << "entry " << i;
        EXPECT_EQ(p.text(52 + 24 * i, 20), host_of(entries[i])) << "entry " << i;
        EXPECT_EQ(p.slice(52 + 24 * i + 12, 8), zeros(8));
    }
    if (size > 48 + 24 * n) {
        EXPECT_EQ(p.slice(48 + 24 * n, size - 48 - 24 * n), zeros(size - 48 - 24 * n));
    }
}

TEST(Q820Card, UploadsTheStoreInPagesOfFifty)
{
    struct Case {
        const char* name;
        bool file;
        int lines;
        std::vector<size_t> sizes;
    };
    const std::vector<Case> cases = {
        {"no file", false, 0, {512}},
        {"an empty file", true, 0, {512}},
        {"one line", true, 1, {512}},
        {"120 lines", true, 120, {1248, 1248, 528}},
        {"51 lines: the short page is zero-padded", true, 51, {1248, 512}},
        {"50 lines", true, 50, {1248}},
    };
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        uint32_t seq = 1;
        int base = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<Room> stored = rooms(c.lines, base);
            base += 1000;
            sb.remove(CARD_FILE);
            if (c.file) {
                ASSERT_TRUE(sb.write(CARD_FILE, card_file(stored)));
            }
            size_t from = server.count();
            std::vector<vsim::ServerDatagram> pages = upload(server);
            ASSERT_EQ(pages.size(), c.sizes.size());
            uint32_t max = uint32_t(c.sizes.size());
            for (size_t i = 0; i < pages.size(); i++) {
                SCOPED_TRACE(i);
                EXPECT_EQ(pages[i].size(), c.sizes[i]);
                size_t first = i * 50;
                size_t n = stored.size() - first < 50 ? stored.size() - first : 50;
                std::vector<Room> entries(stored.begin() + first, stored.begin() + first + n);
                expect_page(pages[i], seq++, uint32_t(stored.size()), max, uint32_t(i + 1), entries);
            }
            std::vector<vsim::ServerDatagram> all = server.datagrams();
            for (size_t i = from; i < all.size(); i++)
                EXPECT_TRUE(all[i].host() != "SERVER") << "the request is not echoed";
            EXPECT_EQ(server.card_list().size(), stored.size());
        }
    });
}

TEST(Q820Card, UploadPausesAfterEveryFourthPageFromTheThird)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        ASSERT_TRUE(sb.write(CARD_FILE, card_file(rooms(50 * 11 + 1))));
        std::vector<vsim::ServerDatagram> pages = upload(server);
        ASSERT_EQ(pages.size(), 12u);
        for (size_t after : {3, 7, 11})
            EXPECT_GE(pages[after].t_us - pages[after - 1].t_us, 10000) << "after page " << after;
        std::vector<vsim::ServerCard> list = server.card_list();
        ASSERT_EQ(list.size(), 551u);
        EXPECT_EQ(list[550].card, uint32_t(1000000 + 550));
    });
}

TEST(Q820Card, UploadStopsAtOneHundredThousandCards)
{
    vsim_run(terminal(), [](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        std::vector<Room> stored = rooms(100003);
        ASSERT_TRUE(sb.write(CARD_FILE, card_file(stored)));
        std::vector<vsim::ServerDatagram> pages = upload(server, 60000);
        ASSERT_EQ(pages.size(), 2000u);
        for (size_t i = 0; i < pages.size(); i++) {
            ASSERT_EQ(pages[i].le32(32), 100000u);
            ASSERT_EQ(pages[i].le32(36), 50u);
            ASSERT_EQ(pages[i].le32(40), 2000u);
            ASSERT_EQ(pages[i].le32(44), i + 1);
            ASSERT_EQ(pages[i].le32(28), i + 1) << "seq counts every page";
        }
        expect_page(pages[1999], 2000, 100000, 2000, 2000,
                    std::vector<Room>(stored.begin() + 99950, stored.begin() + 100000));
        ASSERT_TRUE(vsim::wait_until([&] { return server.card_uploads() == 1; }, WAIT_MS));
        EXPECT_EQ(server.card_list().size(), 100000u);
        // The next request goes on counting.
        sb.write(CARD_FILE, card_file(rooms(2)));
        std::vector<vsim::ServerDatagram> again = upload(server);
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again[0].le32(28), 2001u);
    });
}

TEST(Q820Card, LinesThatDoNotScanAreSkipped)
{
    const std::string text =
        "1-2-3-4 9876543\n"
        "garbage\n"
        "\n"
        "1-2-3 55\n"
        "5-6-7-8\n"
        // One line far longer than any card line; its tail alone would scan.
        "9" + std::string(254, ' ') + "2-2-2-2 22\n" +
        "10000-1-1-1 66\n"     // the building does not fit its four digits
        "1-100-1-1 67\n"       // nor the unit its two
        "-1-1-1-1 68\n"
        "1-1-1-1 4294967296\n"  // more than 32 bits
        "9999-99-99-99 4294967295\n"
        "2-3-4-5 -2\n"
        "3-4-5-6\t77\r\n"
        " 4- 5- 6- 7  88 trailing\n"
        "0-0-0-0 0";
    const std::vector<Room> good = {{1, 2, 3, 4, 9876543},     {9999, 99, 99, 99, 4294967295LL},
                                    {2, 3, 4, 5, 0xFFFFFFFEu}, {3, 4, 5, 6, 77},
                                    {4, 5, 6, 7, 88},          {0, 0, 0, 0, 0}};
    vsim_run(terminal(), [&](vsim::Sandbox& sb) {
        configure(sb);
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(start(sb, server));
        ASSERT_TRUE(sb.write(CARD_FILE, text));
        std::vector<vsim::ServerDatagram> pages = upload(server);
        ASSERT_EQ(pages.size(), 1u);
        expect_page(pages[0], 1, uint32_t(good.size()), 1, 1, good);
    });
}

}  // namespace
