#pragma once

#include <stdint.h>

#include <atomic>

// Request record shared with the board's GPIO driver (68 bytes).
struct sunxi_ctrl_t {
    char main[32];
    char sub[32];
    int data;
};

enum {
    SUNXI_CTRL_START = 1,
    SUNXI_CTRL_STOP = 2,
    SUNXI_CTRL_DIR = 3,
    SUNXI_CTRL_SET = 4,
    SUNXI_CTRL_GET = 5,
    SUNXI_CTRL_LDO = 6,
    SUNXI_CTRL_PULL = 7,
};

// Version query of newer drivers: read-write, type 'D', number 0x80, size 4.
#define SUNXI_CTRL_VERSION 0xC0044480u

// Request codes in use, indexed by command - 1: the plain numbers 1 to 7 until a
// driver reports version 1 or later, the sized codes 0xC0444401 to 0xC0444407 from then
// on. Handles are opened on several threads, hence atomic entries.
extern std::atomic<unsigned int> sunxi_ioctl_cmd[7];

// Sized request code of a command: read-write, type 'D', size of the request record.
#define SUNXI_CTRL_SIZED(cmd) (0xC0444400u | (unsigned int)(cmd))

// Longest group or line name the request record holds with its terminator.
enum { SUNXI_NAME_MAX = 31 };

// GPIO lines and power regulators of the board, by (group, line) name.
class sGpio {
public:
    sGpio();
    ~sGpio();
    sGpio(const sGpio&) = delete;
    sGpio& operator=(const sGpio&) = delete;

    int start(const char* main, const char* sub);
    int stop(const char* main, const char* sub);
    int dir(const char* main, const char* sub, int val);
    int set(const char* main, const char* sub, int val);
    int pull(const char* main, const char* sub, int pull);
    int get(const char* main, const char* sub);
    int ldo(const char* name, int val);
    void close();

private:
    bool ready(const char* main, const char* sub) const;
    int command(int cmd, const char* main, const char* sub, int* data);

    int m_fd;
};
