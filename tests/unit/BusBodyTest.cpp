#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BusBody.h"
#include "dxml.h"

using vsim::BusBody;

TEST(BusBody, BuildsParamsInTheGivenOrder)
{
    std::string body, error;
    ASSERT_TRUE(BusBody::build({"onoff=1", "index=0", "mute=0"}, &body, &error)) << error;
    dxml doc(body.c_str());
    EXPECT_EQ(doc.getInt("/params/onoff", -1), 1);
    EXPECT_EQ(doc.getInt("/params/index", -1), 0);
    EXPECT_EQ(doc.getInt("/params/mute", -1), 0);
    EXPECT_LT(body.find("onoff"), body.find("index"));
    EXPECT_LT(body.find("index"), body.find("mute"));
    EXPECT_EQ(BusBody::flatten(body), "onoff=1 index=0 mute=0");
}

TEST(BusBody, NestedKeysAndAwkwardValuesSurviveTheRoundTrip)
{
    std::string body, error;
    ASSERT_TRUE(BusBody::build({"c0/d=9876543", "c0/a=1", "text=a <b> & \"c\"", "time=2024-02-29 13:05:09", "empty="},
                               &body, &error))
        << error;
    dxml doc(body.c_str());
    EXPECT_STREQ(doc.getText("/params/text"), "a <b> & \"c\"");
    EXPECT_EQ(doc.getInt("/params/c0/d", 0), 9876543);
    EXPECT_EQ(BusBody::flatten(body),
              "c0/d=9876543 c0/a=1 text=\"a <b> & \\\"c\\\"\" time=\"2024-02-29 13:05:09\" empty=\"\"");
}

TEST(BusBody, NoPairsGiveAnEmptyBody)
{
    std::string body = "stale", error;
    ASSERT_TRUE(BusBody::build({}, &body, &error));
    EXPECT_EQ(body, "");
    EXPECT_EQ(BusBody::flatten(""), "");
}

TEST(BusBody, RefusesWordsThatAreNoKeyValuePair)
{
    const char* words[] = {"onoff", "=1", "1a=2", "a//b=1", "/a=1", "a/=1", "a b=1", "a<b=1", "c0/1=2"};
    for (const char* w : words) {
        std::string body = "stale", error;
        EXPECT_FALSE(BusBody::build({"led=1", w}, &body, &error)) << w;
        EXPECT_FALSE(error.empty()) << w;
    }
}

TEST(BusBody, FlattenShowsTextThatIsNoXmlQuoted)
{
    EXPECT_EQ(BusBody::flatten("not xml"), "\"not xml\"");
    EXPECT_EQ(BusBody::flatten("<params><a>1</a>"), "\"<params><a>1</a>\"");
    EXPECT_EQ(BusBody::flatten("<params><a>say \"hi\"</a></params>"), "a=\"say \\\"hi\\\"\"");
    EXPECT_EQ(BusBody::flatten("<params/>"), "");
}

TEST(BusBody, QuoteEscapesAndCuts)
{
    EXPECT_EQ(BusBody::quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(BusBody::quote(std::string("\x01\t\r\x7f", 4)), "\"\\x01\\t\\r\\x7f\"");
    EXPECT_EQ(BusBody::quote("abcdef", 3), "\"abc...\"");
    EXPECT_EQ(BusBody::quote("abc", 3), "\"abc\"");
}

TEST(BusBody, ValidPaths)
{
    struct Case {
        std::string path;
        bool ok;
    } cases[] = {
        {"/control/led", true},
        {"/", true},
        {"control/led", false},
        {"", false},
        {"/control/ led", false},
        {"/control/\x01", false},
        {"/" + std::string(126, 'a'), true},
        {"/" + std::string(127, 'a'), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BusBody::valid_path(c.path), c.ok) << c.path;
}
