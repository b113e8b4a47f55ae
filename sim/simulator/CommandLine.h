#pragma once

#include <string>
#include <vector>

namespace vsim {

// One line of the simulator's command language, split into words the way a shell
// would for the simple cases: blanks separate words, double or single quotes keep
// blanks inside a word, and a backslash inside double quotes escapes the next
// character. A line whose first word begins with '#' is a comment; elsewhere '#' is a
// character like any other, since it is a key of the door station's keypad.
class CommandLine {
public:
    // False, with *error set, for an unterminated quote or a control character.
    static bool split(const std::string& line, std::vector<std::string>* words, std::string* error);

    // A decimal integer in [lo, hi], the whole word; a leading '-' or '+' is allowed.
    static bool integer(const std::string& word, long long lo, long long hi, long long* out);
};

}  // namespace vsim
