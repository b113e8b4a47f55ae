#include "SandboxClock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Sandbox.h"
#include "vsim_proto.h"

namespace vsim {

namespace {

// The host's clock itself: this process's own clock calls already include the offset.
int64_t host_us()
{
    struct timespec ts = {};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

SandboxClock::SandboxClock(const std::string& run_dir, const std::string& log_dir)
    : m_path(run_dir + "/" VSIM_CLOCK_FILE), m_log(log_dir + "/" VSIM_CLOCK_LOG)
{
}

SandboxClock::~SandboxClock()
{
    if (m_offset)
        munmap(m_offset, sizeof(vsim_clock_page));
}

bool SandboxClock::open()
{
    if (m_offset)
        return true;
    int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    void* p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= static_cast<off_t>(sizeof(vsim_clock_page)) ||
                                ftruncate(fd, sizeof(vsim_clock_page)) == 0))
        p = mmap(nullptr, sizeof(vsim_clock_page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int e = errno;
    close(fd);
    if (p == MAP_FAILED) {
        errno = e;
        return false;
    }
    m_offset = &static_cast<vsim_clock_page*>(p)->offset_us;
    vsim_clock_attach();
    return true;
}

int64_t SandboxClock::offset_us() const
{
    return m_offset ? __atomic_load_n(m_offset, __ATOMIC_RELAXED) : 0;
}

void SandboxClock::advance(int64_t usec)
{
    if (m_offset)
        __atomic_fetch_add(m_offset, usec, __ATOMIC_RELAXED);
}

void SandboxClock::set(int64_t sec)
{
    if (m_offset)
        __atomic_store_n(m_offset, sec * 1000000 - host_us(), __ATOMIC_RELAXED);
}

int64_t SandboxClock::now_us() const
{
    return host_us() + offset_us();
}

int64_t SandboxClock::now() const
{
    return floor_div(now_us(), 1000000);
}

std::vector<ClockSet> SandboxClock::sets() const
{
    std::vector<ClockSet> out;
    std::ifstream in(m_log);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string call;
        long long sec = 0;
        long long frac = 0;
        if (!(words >> call >> sec >> frac))
            continue;
        if (call == "clock_settime")
            out.push_back(ClockSet{sec, frac / 1000});
        else if (call == "settimeofday" || call == "stime")
            out.push_back(ClockSet{sec, frac});
    }
    return out;
}

}  // namespace vsim
