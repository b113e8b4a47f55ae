#include "FileTail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vsim {

FileTail::FileTail(const std::string& path) : m_path(path) {}

FileTail::~FileTail()
{
    if (m_fd >= 0)
        close(m_fd);
}

std::vector<std::string> FileTail::lines(bool flush)
{
    std::vector<std::string> out;
    if (m_fd < 0) {
        m_fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        m_offset = 0;
    }
    if (m_fd >= 0) {
        struct stat st;
        if (fstat(m_fd, &st) == 0 && st.st_size < m_offset) {
            m_offset = 0;
            m_partial.clear();
        }
        char buf[8192];
        for (;;) {
            ssize_t n = pread(m_fd, buf, sizeof(buf), m_offset);
            if (n <= 0)
                break;
            m_offset += n;
            for (ssize_t i = 0; i < n; i++) {
                if (buf[i] == '\n') {
                    out.push_back(m_partial);
                    m_partial.clear();
                } else {
                    m_partial += buf[i];
                    if (m_partial.size() == MAX_LINE) {
                        out.push_back(m_partial);
                        m_partial.clear();
                    }
                }
            }
        }
    }
    if (flush && !m_partial.empty()) {
        out.push_back(m_partial);
        m_partial.clear();
    }
    return out;
}

}  // namespace vsim
