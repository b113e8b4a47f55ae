#include "vsim_next.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

namespace vsim_preload {

namespace {

__thread int t_resolving __attribute__((tls_model("initial-exec")));

void* next_symbol(const char* name, std::atomic<void*>& slot)
{
    void* p = slot.load(std::memory_order_acquire);
    if (p || t_resolving)
        return p;
    t_resolving = 1;
    p = dlsym(RTLD_NEXT, name);
    t_resolving = 0;
    slot.store(p, std::memory_order_release);
    return p;
}

std::atomic<void*> s_open;
std::atomic<void*> s_openat;
std::atomic<void*> s_close;
std::atomic<void*> s_ioctl;
std::atomic<void*> s_clock_gettime;
std::atomic<void*> s_clock_settime;
std::atomic<void*> s_gettimeofday;

}  // namespace

int real_open(const char* path, int flags, mode_t mode)
{
    using Fn = int (*)(const char*, int, ...);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("open", s_open)))
        return fn(path, flags, mode);
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

int real_openat(int dirfd, const char* path, int flags, mode_t mode)
{
    using Fn = int (*)(int, const char*, int, ...);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("openat", s_openat)))
        return fn(dirfd, path, flags, mode);
    return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

int real_close(int fd)
{
    using Fn = int (*)(int);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("close", s_close)))
        return fn(fd);
    return static_cast<int>(syscall(SYS_close, fd));
}

int real_ioctl(int fd, unsigned long request, void* arg)
{
    using Fn = int (*)(int, unsigned long, ...);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("ioctl", s_ioctl)))
        return fn(fd, request, arg);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

int real_clock_gettime(clockid_t clock, struct timespec* ts)
{
    using Fn = int (*)(clockid_t, struct timespec*);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("clock_gettime", s_clock_gettime)))
        return fn(clock, ts);
    return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
}

int real_clock_settime(clockid_t clock, const struct timespec* ts)
{
    using Fn = int (*)(clockid_t, const struct timespec*);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("clock_settime", s_clock_settime)))
        return fn(clock, ts);
    return static_cast<int>(syscall(SYS_clock_settime, clock, ts));
}

int real_gettimeofday(struct timeval* tv, void* tz)
{
    using Fn = int (*)(struct timeval*, void*);
    if (auto fn = reinterpret_cast<Fn>(next_symbol("gettimeofday", s_gettimeofday)))
        return fn(tv, tz);
    return static_cast<int>(syscall(SYS_gettimeofday, tv, tz));
}

int64_t real_realtime_us()
{
    struct timespec ts = {};
    real_clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t monotonic_us()
{
    struct timespec ts = {};
    real_clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

__attribute__((noipa)) bool is_null(const void* p)
{
    return p == nullptr;
}

}  // namespace vsim_preload
