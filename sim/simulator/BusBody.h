#pragma once

#include <string>
#include <vector>

namespace vsim {

// Bus bodies as a person types and reads them: "onoff=1 index=0" on the way in, the
// same form on the way out.
class BusBody {
public:
    // A body with the root "params" and one element per "key=value" word, in the given
    // order; a key may name nested elements ("c0/d=9876543"). No words give an empty
    // body. False, with *error set, for a word without '=' or a key that is no element
    // name.
    static bool build(const std::vector<std::string>& pairs, std::string* body, std::string* error);

    // The leaves of a body in document order, "key=value" separated by blanks, with
    // nested keys joined by '/' below the root. Values with blanks, quotes or control
    // characters are quoted. A body that is not XML is shown whole, quoted.
    static std::string flatten(const std::string& body);

    // A path that the bus can carry: begins with '/', at most 127 characters, no
    // blanks or control characters.
    static bool valid_path(const std::string& path);

    // The text in double quotes with '"', '\\' and control characters escaped, cut
    // after max characters with "..." appended.
    static std::string quote(const std::string& text, size_t max = 200);
};

}  // namespace vsim
