#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "McuText.h"

using vsim::McuText;

TEST(McuText, DescribesPayloadsOfBothVariantsAndDirections)
{
    struct Case {
        bool w350;
        bool to_mcu;
        int code;
        std::vector<uint8_t> payload;
        const char* text;
    } cases[] = {
        // door station
        {true, true, 6, {1}, "on"},
        {true, true, 6, {0}, "off"},
        {true, true, 10, {2}, "on (2)"},
        {true, true, 11, {0, 1}, "index 0 on"},
        {true, true, 65, {0x05}, "state 0x05 (bits 0 2)"},
        {true, true, 65, {0}, "state 0x00 (bits none)"},
        {true, true, 87, {40}, "period 40"},
        {true, false, 87, {0xFE, 0xFF}, "reading -2"},
        {true, false, 3, {9}, "key 5 (index 9)"},
        {true, false, 3, {15}, "key # (index 15)"},
        {true, false, 3, {16}, "index 16 (no such key)"},
        {true, false, 4, {1}, "1"},
        {true, false, 66, {2, 1}, "io 2 value 1"},
        {true, false, 83, {0x00, 0x02}, "512"},
        {true, false, 177, {1, 2, 3}, "version 1.2.3"},
        {true, true, 177, {}, ""},
        {true, true, 176, {}, ""},
        {true, false, 2, {0x12, 0x34, 0x56}, "wiegand 12 34 56"},
        // standard variant
        {false, false, 2, {5, 1}, "key 5 down"},
        {false, false, 2, {5, 0}, "key 5 up"},
        {false, false, 1, {0, 1, 0, 2}, "inputs 0 1 0 2"},
        {false, true, 1, {}, ""},
        {false, true, 3, {2, 1}, "led 2 on"},
        {false, true, 4, {0}, "off"},
        {false, false, 49, {0xFF, 0x03}, "1023"},
        {false, false, 139, {2}, "kind 2"},
        {false, true, 144, {0, 6}, "offset 0 length 6"},
        {false, false, 144, {0x6D, 1, 2}, "3 bytes: 6D 01 02"},
        {false, true, 145, {0, 0x6D, 0x02}, "offset 0: 6D 02"},
        {false, true, 129, {1, 7}, "parity 1 speed 7"},
        {false, true, 130, {1}, "mode 1"},
        {false, true, 128, {0xAA, 0x55}, "2 bytes: AA 55"},
        // short payloads and unknown codes fall back to the bytes
        {true, false, 3, {}, ""},
        {true, false, 83, {7}, "07"},
        {false, false, 2, {5}, "05"},
        {false, true, 250, {1, 2}, "01 02"},
        // a code means different things in the two variants
        {false, false, 3, {1, 1}, "led 1 on"},
        {true, false, 1, {}, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(McuText::describe(c.w350, c.to_mcu, c.code, c.payload), c.text)
            << (c.w350 ? "w350" : "standard") << (c.to_mcu ? " to mcu" : " from mcu") << " code " << c.code;
}

TEST(McuText, HexCutsLongRuns)
{
    std::vector<uint8_t> bytes(40, 0xAB);
    std::string text = McuText::hex(bytes, 3);
    EXPECT_EQ(text, "AB AB AB ...");
    EXPECT_EQ(McuText::hex({}), "");
}

TEST(McuText, KeyLabelsAndIndexesAreInverse)
{
    const std::string keys = "ABCD147*2580369#";
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(McuText::key_label(i), std::string(1, keys[size_t(i)]));
        EXPECT_EQ(McuText::key_index(McuText::key_label(i)), i);
    }
    EXPECT_EQ(McuText::key_index("5"), 9);
    EXPECT_EQ(McuText::key_index("0"), 11);
    EXPECT_EQ(McuText::key_index("a"), 0);
    for (const char* bad : {"", "E", "55", "+", " "})
        EXPECT_EQ(McuText::key_index(bad), -1) << bad;
    EXPECT_EQ(McuText::key_label(-1), "");
    EXPECT_EQ(McuText::key_label(16), "");
}
