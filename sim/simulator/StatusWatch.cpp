#include "StatusWatch.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace vsim {

StatusWatch::StatusWatch(const std::string& dir) : m_dir(dir)
{
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return;
    if (inotify_add_watch(m_fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
        close(m_fd);
        m_fd = -1;
    }
}

StatusWatch::~StatusWatch()
{
    if (m_fd >= 0)
        close(m_fd);
}

std::vector<StatusChange> StatusWatch::changes()
{
    std::vector<StatusChange> out;
    if (m_fd < 0)
        return out;
    alignas(inotify_event) char buf[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        ssize_t n = read(m_fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
            const inotify_event* e = reinterpret_cast<const inotify_event*>(buf + off);
            off += ssize_t(sizeof(inotify_event) + e->len);
            if (e->len == 0 || (e->mask & IN_ISDIR))
                continue;
            StatusChange c;
            c.path = m_dir + "/" + e->name;
            c.removed = (e->mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
            if (!c.removed) {
                int fd = open(c.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
                if (fd >= 0) {
                    char text[MAX_TEXT];
                    ssize_t got = read(fd, text, sizeof(text));
                    if (got > 0)
                        c.text.assign(text, size_t(got));
                    close(fd);
                }
            }
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace vsim
