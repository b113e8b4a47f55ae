// The wall clock inside the sandbox: the host's clock plus the offset in the shared
// clock file. Setting the clock moves the offset and is logged; the host's clock is
// never set, and outside a sandbox setting it is refused.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "vsim_next.h"
#include "vsim_proto.h"

using namespace vsim_preload;

namespace {

const char k_clock_path[] = VSIM_RUN_DIR "/" VSIM_CLOCK_FILE;
const char k_log_path[] = VSIM_LOG_DIR "/" VSIM_CLOCK_LOG;

// Largest time the kernel accepts for the real-time clock, in seconds.
const int64_t k_max_sec = 9223372036LL - 1;

std::atomic<int64_t*> g_offset{nullptr};
std::atomic<int> g_looked{0};
pthread_mutex_t g_attach_mutex = PTHREAD_MUTEX_INITIALIZER;

int64_t* map_clock(bool create)
{
    int fd = real_open(k_clock_path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0)
        return nullptr;
    struct stat st;
    void* p = MAP_FAILED;
    bool sized = fstat(fd, &st) == 0 &&
                 (st.st_size >= static_cast<off_t>(sizeof(vsim_clock_page)) ||
                  (create && ftruncate(fd, sizeof(vsim_clock_page)) == 0));
    if (sized)
        p = mmap(nullptr, sizeof(vsim_clock_page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    real_close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    return &static_cast<vsim_clock_page*>(p)->offset_us;
}

// Looks for the clock file under the lock; an earlier mapping is kept when the file
// cannot be found. A replaced mapping is never unmapped, since a reader on another
// thread may still be using it.
int64_t* attach(bool create)
{
    pthread_mutex_lock(&g_attach_mutex);
    int64_t* p = map_clock(create);
    if (p)
        g_offset.store(p, std::memory_order_release);
    else
        p = g_offset.load(std::memory_order_acquire);
    g_looked.store(1, std::memory_order_release);
    pthread_mutex_unlock(&g_attach_mutex);
    return p;
}

int64_t offset_us()
{
    int64_t* p = g_offset.load(std::memory_order_acquire);
    if (!p && !g_looked.load(std::memory_order_acquire))
        p = attach(false);
    return p ? __atomic_load_n(p, __ATOMIC_RELAXED) : 0;
}

bool in_sandbox()
{
    struct stat st;
    return stat(VSIM_RUN_DIR, &st) == 0 && S_ISDIR(st.st_mode);
}

void add_offset(struct timespec* ts, int64_t off)
{
    int64_t ns = static_cast<int64_t>(ts->tv_nsec) + (off % 1000000) * 1000;
    int64_t sec = static_cast<int64_t>(ts->tv_sec) + off / 1000000;
    if (ns < 0) {
        ns += 1000000000;
        --sec;
    } else if (ns >= 1000000000) {
        ns -= 1000000000;
        ++sec;
    }
    ts->tv_sec = static_cast<time_t>(sec);
    ts->tv_nsec = static_cast<long>(ns);
}

bool is_wall_clock(clockid_t clock)
{
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

// Makes the view read sec + nsec from now on and logs the request. Returns 0 or -1
// with errno set, as the system call would.
int set_view(const char* call, int64_t sec, int64_t frac, int64_t frac_per_sec)
{
    if (!in_sandbox()) {
        errno = EPERM;
        return -1;
    }
    if (sec < 0 || sec > k_max_sec || frac < 0 || frac >= frac_per_sec) {
        errno = EINVAL;
        return -1;
    }
    int64_t* p = g_offset.load(std::memory_order_acquire);
    if (!p)
        p = attach(true);
    if (!p) {
        errno = EIO;
        return -1;
    }
    int64_t target = sec * 1000000 + frac / (frac_per_sec / 1000000);
    __atomic_store_n(p, target - real_realtime_us(), __ATOMIC_RELAXED);

    char line[96];
    int n = snprintf(line, sizeof(line), "%s %lld %lld\n", call, static_cast<long long>(sec),
                     static_cast<long long>(frac));
    int fd = real_open(k_log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (n > 0 && n < static_cast<int>(sizeof(line)))
            (void)!write(fd, line, static_cast<size_t>(n));
        real_close(fd);
    }
    return 0;
}

}  // namespace

extern "C" {

int vsim_clock_attach(void)
{
    return attach(false) ? 0 : -1;
}

int clock_gettime(clockid_t clock, struct timespec* ts) noexcept
{
    int rc = real_clock_gettime(clock, ts);
    if (rc == 0 && is_wall_clock(clock) && !is_null(ts))
        add_offset(ts, offset_us());
    return rc;
}

int gettimeofday(struct timeval* tv, void* tz) noexcept
{
    int rc = real_gettimeofday(tv, tz);
    if (rc == 0 && !is_null(tv)) {
        int64_t us = static_cast<int64_t>(tv->tv_sec) * 1000000 + tv->tv_usec + offset_us();
        int64_t sec = us / 1000000;
        int64_t rest = us % 1000000;
        if (rest < 0) {
            rest += 1000000;
            --sec;
        }
        tv->tv_sec = static_cast<time_t>(sec);
        tv->tv_usec = static_cast<suseconds_t>(rest);
    }
    return rc;
}

time_t time(time_t* t) noexcept
{
    struct timespec ts = {};
    real_clock_gettime(CLOCK_REALTIME, &ts);
    add_offset(&ts, offset_us());
    if (t)
        *t = ts.tv_sec;
    return ts.tv_sec;
}

int timespec_get(struct timespec* ts, int base) noexcept
{
    if (base != TIME_UTC || is_null(ts) || clock_gettime(CLOCK_REALTIME, ts) != 0)
        return 0;
    return base;
}

int settimeofday(const struct timeval* tv, const struct timezone* tz) noexcept
{
    (void)tz;  // the kernel's time zone is not the sandbox's to change
    if (is_null(tv))
        return 0;
    return set_view("settimeofday", tv->tv_sec, tv->tv_usec, 1000000);
}

int clock_settime(clockid_t clock, const struct timespec* ts) noexcept
{
    if (clock != CLOCK_REALTIME)
        return real_clock_settime(clock, ts);
    if (is_null(ts)) {
        errno = EFAULT;
        return -1;
    }
    return set_view("clock_settime", ts->tv_sec, ts->tv_nsec, 1000000000);
}

// Older programs still bind the obsolete stime().
int stime(const time_t* t)
{
    if (is_null(t)) {
        errno = EFAULT;
        return -1;
    }
    return set_view("stime", *t, 0, 1000000);
}

}  // extern "C"
