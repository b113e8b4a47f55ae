// A document and a path from the input: the first line is the path, the rest the XML
// text. Gets and sets must never overrun, and a value that was set must read back.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dxml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t line = input.find('\n');
    std::string path = input.substr(0, line);
    std::string body = line == std::string::npos ? std::string() : input.substr(line + 1);

    dxml doc(body.c_str());
    doc.getText(path.c_str());
    doc.getInt(path.c_str(), -1);
    doc.data();
    if (doc.setText(path.c_str(), "v") == 0) {
        const char* back = doc.getText(path.c_str());
        if (back == nullptr || strcmp(back, "v") != 0)
            abort();
    }
    if (doc.setInt(path.c_str(), -12) == 0 && doc.getInt(path.c_str(), 0) != -12)
        abort();
    doc.data();
    return 0;
}
