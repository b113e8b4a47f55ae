#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vsim {

// Follows a file that another process appends to (a log): each call returns the
// lines that were completed since the last one. A file that is missing yet, or that
// shrinks (rewritten from the start), is followed from its new beginning.
class FileTail {
public:
    explicit FileTail(const std::string& path);
    ~FileTail();
    FileTail(const FileTail&) = delete;
    FileTail& operator=(const FileTail&) = delete;

    // The new whole lines, without their line feeds. With flush, a last line that has
    // no line feed yet is returned too.
    std::vector<std::string> lines(bool flush = false);

    // A line longer than this is cut into pieces of this length.
    enum { MAX_LINE = 4096 };

private:
    std::string m_path;
    int m_fd = -1;
    off_t m_offset = 0;
    std::string m_partial;
};

}  // namespace vsim
