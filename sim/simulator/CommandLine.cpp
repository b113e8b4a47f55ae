#include "CommandLine.h"

#include <errno.h>
#include <stdlib.h>

namespace vsim {

bool CommandLine::split(const std::string& line, std::vector<std::string>* words, std::string* error)
{
    words->clear();
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (c == '\r' && i + 1 == line.size() && !quote)
            break;  // a script written on another system
        if ((unsigned char)c < 0x20 && c != '\t') {
            *error = "control character in the line";
            words->clear();
            return false;
        }
        if (quote) {
            if (c == quote) {
                quote = 0;
            } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
                word += line[++i];
            } else {
                word += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t') {
            if (in_word)
                words->push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        if (c == '#' && !in_word && words->empty())
            break;
        if (c == '"' || c == '\'') {
            quote = c;
            in_word = true;
            continue;
        }
        word += c;
        in_word = true;
    }
    if (quote) {
        *error = std::string("unterminated ") + (quote == '"' ? "double" : "single") + " quote";
        words->clear();
        return false;
    }
    if (in_word)
        words->push_back(word);
    return true;
}

bool CommandLine::integer(const std::string& word, long long lo, long long hi, long long* out)
{
    if (word.empty() || word.size() > 20)
        return false;
    const char* s = word.c_str();
    if (*s == '+' || *s == '-')
        s++;
    if (*s < '0' || *s > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

}  // namespace vsim
