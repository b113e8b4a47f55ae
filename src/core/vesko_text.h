#pragma once

#include <stddef.h>

// Checks of texts that end up in shell command lines. A text passes only in its exact
// form, so nothing that reaches a shell can carry quoting, separators or expansions.

enum { VESKO_MAC_TEXT = 17 };  // "xx:xx:xx:xx:xx:xx"

// Six pairs of hexadecimal digits (either case) joined by colons, nothing else.
bool vesko_text_is_mac(const char* text);

// One to max_len hexadecimal digits (either case), nothing else.
bool vesko_text_is_hex(const char* text, size_t max_len);
