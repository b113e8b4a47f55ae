#include "vesko_text.h"

// isxdigit() alone would follow the locale; the accepted set is fixed here.
static bool vesko_is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool vesko_text_is_mac(const char* text)
{
    if (text == nullptr)
        return false;
    for (int i = 0; i < VESKO_MAC_TEXT; i++) {
        bool separator = (i % 3) == 2;
        if (separator ? text[i] != ':' : !vesko_is_hex_digit(text[i]))
            return false;
    }
    return text[VESKO_MAC_TEXT] == 0;
}

bool vesko_text_is_hex(const char* text, size_t max_len)
{
    if (text == nullptr || text[0] == 0)
        return false;
    size_t n = 0;
    for (; text[n]; n++) {
        if (n >= max_len || !vesko_is_hex_digit(text[n]))
            return false;
    }
    return true;
}
