#pragma once

#include <string>
#include <vector>

namespace vsim {

// A change of a status file in a watched directory.
struct StatusChange {
    std::string path;
    bool removed = false;
    std::string text;  // what the file holds when the change is noticed (cut to MAX_TEXT)
};

// Watches one directory (the terminal's "/var/etc") with inotify and reports every
// file that was written and closed, moved in or out, or removed, with its content.
// A file written again with the same content is reported again: the write is the
// news. (The kernel merges identical events that follow each other unread.)
class StatusWatch {
public:
    explicit StatusWatch(const std::string& dir);
    ~StatusWatch();
    StatusWatch(const StatusWatch&) = delete;
    StatusWatch& operator=(const StatusWatch&) = delete;

    bool ok() const { return m_fd >= 0; }
    // The changes since the last call; never blocks.
    std::vector<StatusChange> changes();

    enum { MAX_TEXT = 1024 };

private:
    std::string m_dir;
    int m_fd = -1;
};

}  // namespace vsim
