#include "sGpio.h"

#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static_assert(sizeof(sunxi_ctrl_t) == 68, "the GPIO driver expects a 68-byte request record");

std::atomic<unsigned int> sunxi_ioctl_cmd[7] = {
    {SUNXI_CTRL_START}, {SUNXI_CTRL_STOP}, {SUNXI_CTRL_DIR}, {SUNXI_CTRL_SET},
    {SUNXI_CTRL_GET},   {SUNXI_CTRL_LDO},  {SUNXI_CTRL_PULL},
};

sGpio::sGpio() : m_fd(open("/dev/gpio", O_RDWR | O_CLOEXEC))
{
    if (m_fd < 0)
        return;
    int version = 0;
    if (ioctl(m_fd, SUNXI_CTRL_VERSION, &version) == 0 && version >= 1) {
        for (int cmd = SUNXI_CTRL_START; cmd <= SUNXI_CTRL_PULL; cmd++)
            sunxi_ioctl_cmd[cmd - 1].store(SUNXI_CTRL_SIZED(cmd), std::memory_order_relaxed);
    }
}

sGpio::~sGpio()
{
    close();
}

void sGpio::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

// Names that do not fit the record with their terminator are refused, never cut: a cut
// name could address a different line.
bool sGpio::ready(const char* main, const char* sub) const
{
    return m_fd >= 0 && main && sub && strlen(main) <= SUNXI_NAME_MAX && strlen(sub) <= SUNXI_NAME_MAX;
}

int sGpio::command(int cmd, const char* main, const char* sub, int* data)
{
    if (!ready(main, sub))
        return -1;
    sunxi_ctrl_t ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    strcpy(ctrl.main, main);
    strcpy(ctrl.sub, sub);
    ctrl.data = *data;
    unsigned long request = sunxi_ioctl_cmd[cmd - 1].load(std::memory_order_relaxed);
    int rc = ioctl(m_fd, request, &ctrl);
    *data = ctrl.data;
    return rc;
}

int sGpio::start(const char* main, const char* sub)
{
    int data = 0;
    return command(SUNXI_CTRL_START, main, sub, &data);
}

int sGpio::stop(const char* main, const char* sub)
{
    int data = 0;
    return command(SUNXI_CTRL_STOP, main, sub, &data);
}

int sGpio::dir(const char* main, const char* sub, int val)
{
    return command(SUNXI_CTRL_DIR, main, sub, &val);
}

int sGpio::set(const char* main, const char* sub, int val)
{
    return command(SUNXI_CTRL_SET, main, sub, &val);
}

int sGpio::pull(const char* main, const char* sub, int pull)
{
    return command(SUNXI_CTRL_PULL, main, sub, &pull);
}

// The driver's answer is the value it left in the record; a failed request leaves the
// 0 written beforehand.
int sGpio::get(const char* main, const char* sub)
{
    if (!ready(main, sub))
        return -1;
    int data = 0;
    command(SUNXI_CTRL_GET, main, sub, &data);
    return data;
}

int sGpio::ldo(const char* name, int val)
{
    return command(SUNXI_CTRL_LDO, "AXP", name, &val);
}
