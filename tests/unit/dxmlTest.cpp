#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "dxml.h"

namespace {

std::string body_with_led(const char* inner)
{
    return std::string("<params>") + inner + "</params>";
}

std::string temp_path(const char* name)
{
    const char* dir = getenv("TMPDIR");
    return std::string(dir && dir[0] ? dir : "/tmp") + "/dxmlTest." + std::to_string(getpid()) + "." + name;
}

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

// A path of exactly `length` characters that names nested elements "a".
std::string long_path(size_t length)
{
    std::string path;
    while (path.size() + 2 <= length)
        path += "/a";
    if (path.size() < length)
        path += "/";
    return path;
}

} // namespace

TEST(dxml, getIntConvertsTheLeafText)
{
    struct Case {
        const char* inner;
        int expected;
    } cases[] = {
        {"<led>7</led>", 7},
        {"<led>abc</led>", 0},        // a text without digits is 0, not the default
        {"<led></led>", -99},         // no child: the default
        {"<led/>", -99},
        {"<onoff>1</onoff>", -99},    // no led element at all
        {"<led> 12x</led>", 12},
        {"<led>-40</led>", -40},
        {"<led>+3</led>", 3},
        {"<led>99999999999</led>", 2147483647},
        {"<led>-99999999999</led>", -2147483647 - 1},
    };
    for (const Case& c : cases) {
        dxml doc(body_with_led(c.inner).c_str());
        EXPECT_EQ(doc.getInt("/params/led", -99), c.expected) << c.inner;
    }
}

TEST(dxml, getTextReturnsTheFirstChildValue)
{
    dxml doc("<params><led>7</led><onoff>0</onoff></params>");
    ASSERT_NE(doc.getText("/params/led"), nullptr);
    EXPECT_STREQ(doc.getText("/params/led"), "7");
    // The first child of params is the led element, whose value is its tag name.
    EXPECT_STREQ(doc.getText("/params"), "led");
    EXPECT_EQ(doc.getText("/params/none"), nullptr);
    EXPECT_EQ(doc.getText("/sys/led"), nullptr);
    EXPECT_STREQ(doc.getText("/params/none", "dflt"), "dflt");
    EXPECT_STREQ(doc.getText("/params/onoff", "dflt"), "0");
}

TEST(dxml, emptyPiecesOfAPathAreSkipped)
{
    dxml doc("<params><led>5</led><a><b>6</b></a></params>");
    const char* led_paths[] = {"/params/led", "params/led", "//params//led", "/params/led/", "params///led//"};
    for (const char* p : led_paths)
        EXPECT_EQ(doc.getInt(p, -1), 5) << p;
    EXPECT_EQ(doc.getInt("/params/a/b", -1), 6);
    EXPECT_EQ(doc.getInt("/params/b", -1), -1);
    EXPECT_EQ(doc.getInt("/a/b", -1), -1);
}

TEST(dxml, pathsWithoutAPieceNeitherResolveNorCreate)
{
    const char* paths[] = {"", "/", "///", "////////"};
    for (const char* p : paths) {
        dxml doc("<params><led>5</led></params>");
        EXPECT_EQ(doc.getText(p), nullptr) << '"' << p << '"';
        EXPECT_EQ(doc.getInt(p, 3), 3) << '"' << p << '"';
        EXPECT_EQ(doc.setInt(p, 1), -1) << '"' << p << '"';
        EXPECT_EQ(doc.setText(p, "x"), -1) << '"' << p << '"';
        EXPECT_STREQ(doc.data(), "<params>\n\t<led>5</led>\n</params>\n") << '"' << p << '"';
    }
}

TEST(dxml, nullArgumentsAreRefused)
{
    dxml doc;
    EXPECT_EQ(doc.getText(nullptr), nullptr);
    EXPECT_EQ(doc.getInt(nullptr, 8), 8);
    EXPECT_EQ(doc.setText(nullptr, "x"), -1);
    EXPECT_EQ(doc.setText("/params/a", nullptr), -1);
    EXPECT_EQ(doc.setInt(nullptr, 1), -1);
    EXPECT_FALSE(doc.loadFile(nullptr));
    EXPECT_FALSE(doc.saveFile(nullptr));
    EXPECT_STREQ(doc.data(), "");
}

TEST(dxml, setIntOnAnEmptyDocumentPrintsThreeLines)
{
    dxml doc;
    EXPECT_STREQ(doc.data(), "");
    ASSERT_EQ(doc.setInt("/params/ok", 1), 0);
    EXPECT_STREQ(doc.data(), "<params>\n\t<ok>1</ok>\n</params>\n");
    // The printer is emptied on every call, not appended to.
    EXPECT_STREQ(doc.data(), "<params>\n\t<ok>1</ok>\n</params>\n");
}

TEST(dxml, printerIndentsEachLevelWithOneTab)
{
    dxml doc;
    ASSERT_EQ(doc.setText("/sys/talk/building", "12"), 0);
    ASSERT_EQ(doc.setInt("/sys/talk/unit", -3), 0);
    ASSERT_EQ(doc.setInt("/sys/switch", 0), 0);
    EXPECT_STREQ(doc.data(),
                 "<sys>\n"
                 "\t<talk>\n"
                 "\t\t<building>12</building>\n"
                 "\t\t<unit>-3</unit>\n"
                 "\t</talk>\n"
                 "\t<switch>0</switch>\n"
                 "</sys>\n");

    dxml parsed("<params><a/><b>1</b></params>");
    EXPECT_STREQ(parsed.data(), "<params>\n\t<a />\n\t<b>1</b>\n</params>\n");
}

TEST(dxml, setReplacesAllChildrenAndReusesTheFirstElement)
{
    dxml doc;
    ASSERT_EQ(doc.setText("/params/name", "first"), 0);
    ASSERT_EQ(doc.setText("/params/name", "second"), 0);
    EXPECT_STREQ(doc.getText("/params/name"), "second");
    EXPECT_STREQ(doc.data(), "<params>\n\t<name>second</name>\n</params>\n");

    // An element with nested children becomes a leaf; a duplicate name keeps the first.
    dxml nested("<params><a><x>1</x><y>2</y></a><a>9</a></params>");
    ASSERT_EQ(nested.setInt("/params/a", 4), 0);
    EXPECT_STREQ(nested.data(), "<params>\n\t<a>4</a>\n\t<a>9</a>\n</params>\n");
}

TEST(dxml, setOnAnotherRootAddsASecondTopLevelElement)
{
    dxml doc("<sys><x>1</x></sys>");
    ASSERT_EQ(doc.setInt("/params/a", 2), 0);
    EXPECT_STREQ(doc.data(), "<sys>\n\t<x>1</x>\n</sys>\n<params>\n\t<a>2</a>\n</params>\n");
    EXPECT_EQ(doc.getInt("/sys/x", -1), 1);
    EXPECT_EQ(doc.getInt("/params/a", -1), 2);
}

TEST(dxml, onlyElementsMatchAPiece)
{
    // A comment or a text whose value reads like the piece is not the element.
    dxml commented("<params><!--led--><led>7</led></params>");
    EXPECT_EQ(commented.getInt("/params/led", -1), 7);

    dxml text("<params>led</params>");
    EXPECT_EQ(text.getText("/params/led"), nullptr);
    ASSERT_EQ(text.setText("/params/led", "1"), 0);
    EXPECT_STREQ(text.getText("/params/led"), "1");
    EXPECT_NE(strstr(text.data(), "<led>1</led>"), nullptr) << text.data();
}

TEST(dxml, textIsEscapedAndBytesArePassedThrough)
{
    dxml doc;
    ASSERT_EQ(doc.setText("/params/t", "a<b&c>\"d\""), 0);
    std::string printed = doc.data();
    EXPECT_EQ(printed.find("a<b"), std::string::npos) << printed;
    dxml back(printed.c_str());
    EXPECT_STREQ(back.getText("/params/t"), "a<b&c>\"d\"");

    // Legacy encoding: bytes above 0x7F are neither decoded nor checked.
    dxml raw("<params><n>\xE4\xF6 \xC3\xA4</n></params>");
    EXPECT_STREQ(raw.getText("/params/n"), "\xE4\xF6 \xC3\xA4");
}

TEST(dxml, bodiesThatAreNotXmlGiveDefaults)
{
    const char* bodies[] = {nullptr, "", "hello", "<<<", "</params>"};
    for (const char* b : bodies) {
        dxml doc(b);
        EXPECT_EQ(doc.getInt("/params/led", 42), 42) << (b ? b : "(null)");
        EXPECT_EQ(doc.getText("/params/led"), nullptr) << (b ? b : "(null)");
    }
    dxml declared("<?xml version=\"1.0\"?>\n<params>\n\t<led>3</led>\n</params>\n");
    EXPECT_EQ(declared.getInt("/params/led", 42), 3);
}

TEST(dxml, pathLengthLimit)
{
    std::string ok = long_path(dxml::PATH_MAX_LEN);
    ASSERT_EQ(ok.size(), 511u);
    dxml doc;
    ASSERT_EQ(doc.setInt(ok.c_str(), 5), 0);
    EXPECT_EQ(doc.getInt(ok.c_str(), -1), 5);

    // One more character is refused, even when the path would resolve without it.
    std::string over = ok + "/";
    ASSERT_EQ(over.size(), 512u);
    EXPECT_EQ(doc.getText(over.c_str()), nullptr);
    EXPECT_EQ(doc.getInt(over.c_str(), -1), -1);
    EXPECT_EQ(doc.setInt(over.c_str(), 6), -1);
    EXPECT_EQ(doc.getInt(ok.c_str(), -1), 5);

    std::string huge(100000, 'p');
    EXPECT_EQ(doc.setText(huge.c_str(), "x"), -1);
    EXPECT_EQ(doc.getText(huge.c_str()), nullptr);
}

TEST(dxml, saveAndLoadRoundTrip)
{
    std::string path = temp_path("round.xml");
    dxml out;
    ASSERT_EQ(out.setText("/sys/talk/server", "192.168.1.10"), 0);
    ASSERT_EQ(out.setInt("/sys/talk/unit", 7), 0);
    ASSERT_TRUE(out.saveFile(path.c_str()));

    // The file printer indents with four spaces.
    std::string file = read_file(path);
    EXPECT_NE(file.find("\n    <talk>"), std::string::npos) << file;
    EXPECT_NE(file.find("\n        <unit>7</unit>"), std::string::npos) << file;

    dxml in;
    ASSERT_TRUE(in.loadFile(path.c_str()));
    EXPECT_STREQ(in.getText("/sys/talk/server"), "192.168.1.10");
    EXPECT_EQ(in.getInt("/sys/talk/unit", -1), 7);
    unlink(path.c_str());

    EXPECT_FALSE(out.saveFile("/nonexistent-dir-of-dxml-test/x.xml"));
}

TEST(dxml, failedLoadNeverKeepsThePreviousDocument)
{
    std::string good = temp_path("good.xml");
    std::string bad = temp_path("bad.xml");
    {
        dxml w("<sys><a>1</a></sys>");
        ASSERT_TRUE(w.saveFile(good.c_str()));
        FILE* f = fopen(bad.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("<sys><b>2</b><<<", f);
        fclose(f);
    }

    dxml doc("<params><led>1</led></params>");
    EXPECT_FALSE(doc.loadFile(temp_path("missing.xml").c_str()));
    EXPECT_STREQ(doc.data(), "");
    EXPECT_EQ(doc.getInt("/params/led", -1), -1);

    ASSERT_TRUE(doc.loadFile(good.c_str()));
    EXPECT_EQ(doc.getInt("/sys/a", -1), 1);
    EXPECT_FALSE(doc.loadFile(bad.c_str()));
    EXPECT_EQ(doc.getInt("/sys/a", -1), -1);
    unlink(good.c_str());
    unlink(bad.c_str());
}

TEST(dxml, documentsOnDifferentThreadsStayIndependent)
{
    const int threads = 8;
    const int rounds = 2000;
    std::vector<int> wrong(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([t, rounds, &wrong] {
            dxml doc;
            std::string base = "/root" + std::to_string(t) + "/level" + std::to_string(t);
            for (int i = 0; i < rounds; i++) {
                std::string path = base + "/k" + std::to_string(i % 16);
                if (doc.setInt(path.c_str(), i) != 0 || doc.getInt(path.c_str(), -1) != i)
                    wrong[t]++;
            }
            std::string other = "/root" + std::to_string((t + 1) % threads) + "/level0/k0";
            if (doc.getText(other.c_str()) != nullptr)
                wrong[t]++;
        });
    }
    for (std::thread& th : pool)
        th.join();
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
}
