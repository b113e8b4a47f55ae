// Device nodes that only answer ioctls: inside the sandbox, opening /dev/gpio or
// /dev/i2c-N connects to the device server's socket for it, and every ioctl on that
// descriptor becomes one request and answer there. Anything else passes through.

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

#include "vsim_next.h"
#include "vsim_proto.h"

using namespace vsim_preload;

namespace {

enum Kind { KIND_NONE, KIND_GPIO, KIND_I2C };

struct Entry {
    int fd;
    Kind kind;
    bool broken;  // the connection lost step with the server
    dev_t dev;
    ino_t ino;
    pthread_mutex_t lock;  // one exchange at a time on the connection
};

const int k_entries = 64;
const int k_answer_timeout_s = 30;

#define VSIM_ENTRY_INIT {-1, KIND_NONE, false, 0, 0, PTHREAD_MUTEX_INITIALIZER}
#define VSIM_ENTRIES_8 VSIM_ENTRY_INIT, VSIM_ENTRY_INIT, VSIM_ENTRY_INIT, VSIM_ENTRY_INIT, \
                       VSIM_ENTRY_INIT, VSIM_ENTRY_INIT, VSIM_ENTRY_INIT, VSIM_ENTRY_INIT

Entry g_entries[k_entries] = {VSIM_ENTRIES_8, VSIM_ENTRIES_8, VSIM_ENTRIES_8, VSIM_ENTRIES_8,
                              VSIM_ENTRIES_8, VSIM_ENTRIES_8, VSIM_ENTRIES_8, VSIM_ENTRIES_8};
pthread_mutex_t g_table = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> g_open_count{0};

// "/dev/gpio", or "/dev/i2c-" with a bus number of one to three digits.
Kind device_kind(const char* path, int* bus)
{
    if (is_null(path) || strncmp(path, "/dev/", 5) != 0)
        return KIND_NONE;
    if (strcmp(path, "/dev/gpio") == 0)
        return KIND_GPIO;
    if (strncmp(path, "/dev/i2c-", 9) != 0)
        return KIND_NONE;
    const char* p = path + 9;
    int n = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits)
        n = n * 10 + (*p - '0');
    if (digits == 0 || digits > 3 || *p != '\0')
        return KIND_NONE;
    *bus = n;
    return KIND_I2C;
}

bool in_sandbox()
{
    struct stat st;
    return stat(VSIM_RUN_DIR, &st) == 0 && S_ISDIR(st.st_mode);
}

// Returns the connected descriptor, or -1 with errno as opening a missing or dead
// device node would set it.
int connect_device(Kind kind, int bus, int flags)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    int n = kind == KIND_GPIO
                ? snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/%s", VSIM_RUN_DIR, VSIM_GPIO_SOCKET)
                : snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/" VSIM_I2C_SOCKET_FORMAT,
                           VSIM_RUN_DIR, bus);
    if (n <= 0 || n >= static_cast<int>(sizeof(addr.sun_path))) {
        errno = ENOENT;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        int e = errno;
        real_close(fd);
        errno = (e == ENOENT || e == ENOTDIR) ? ENOENT : ENXIO;
        return -1;
    }
    struct timeval tv = {k_answer_timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    return fd;
}

int open_device(Kind kind, int bus, int flags)
{
    int fd = connect_device(kind, bus, flags);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        real_close(fd);
        errno = e;
        return -1;
    }
    pthread_mutex_lock(&g_table);
    Entry* free_entry = nullptr;
    for (Entry& e : g_entries) {
        if (e.fd == fd)  // a stale entry of a descriptor closed behind our back
            e.fd = -1;
        if (e.fd < 0 && !free_entry)
            free_entry = &e;
    }
    if (free_entry) {
        free_entry->fd = fd;
        free_entry->kind = kind;
        free_entry->broken = false;
        free_entry->dev = st.st_dev;
        free_entry->ino = st.st_ino;
        g_open_count.fetch_add(1, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_table);
    if (!free_entry) {
        real_close(fd);
        errno = ENFILE;
        return -1;
    }
    return fd;
}

// Returns the entry of an emulated device descriptor, or null. An entry whose
// descriptor now names something else (closed and reused behind our back) is dropped.
Entry* find(int fd)
{
    if (fd < 0 || g_open_count.load(std::memory_order_acquire) == 0)
        return nullptr;
    Entry* found = nullptr;
    pthread_mutex_lock(&g_table);
    for (Entry& e : g_entries) {
        if (e.fd == fd) {
            found = &e;
            break;
        }
    }
    if (found) {
        struct stat st;
        if (fstat(fd, &st) != 0 || st.st_dev != found->dev || st.st_ino != found->ino) {
            found->fd = -1;
            g_open_count.fetch_sub(1, std::memory_order_release);
            found = nullptr;
        }
    }
    pthread_mutex_unlock(&g_table);
    return found;
}

bool forget(int fd)
{
    if (fd < 0 || g_open_count.load(std::memory_order_acquire) == 0)
        return false;
    bool found = false;
    pthread_mutex_lock(&g_table);
    for (Entry& e : g_entries) {
        if (e.fd == fd) {
            e.fd = -1;
            g_open_count.fetch_sub(1, std::memory_order_release);
            found = true;
            break;
        }
    }
    pthread_mutex_unlock(&g_table);
    return found;
}

bool send_all(int fd, struct iovec* iov, int count)
{
    while (count > 0) {
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

// One exchange: the request with its argument pieces, then the answer header. The
// caller reads the answer's data. Returns false when the connection failed.
bool exchange(Entry* e, uint32_t request, struct iovec* args, int count, vsim_answer* answer)
{
    struct iovec iov[2 + VSIM_I2C_MAX_MSGS];
    vsim_request head = {};
    head.magic = VSIM_MAGIC;
    head.request = request;
    head.t_us = monotonic_us();
    for (int i = 0; i < count; ++i)
        head.length += static_cast<uint32_t>(args[i].iov_len);
    iov[0].iov_base = &head;
    iov[0].iov_len = sizeof(head);
    for (int i = 0; i < count; ++i)
        iov[1 + i] = args[i];
    if (!send_all(e->fd, iov, 1 + count) || !vsim_recv_all(e->fd, answer, sizeof(*answer)) ||
        answer->magic != VSIM_MAGIC) {
        e->broken = true;
        return false;
    }
    return true;
}

// Reads the answer's data into the given pieces; the answer must fill them exactly.
bool receive_data(Entry* e, const vsim_answer& answer, struct iovec* out, int count)
{
    size_t want = 0;
    for (int i = 0; i < count; ++i)
        want += out[i].iov_len;
    if (answer.length != want) {
        e->broken = true;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!vsim_recv_all(e->fd, out[i].iov_base, out[i].iov_len)) {
            e->broken = true;
            return false;
        }
    }
    return true;
}

int finish(const vsim_answer& answer)
{
    if (answer.result < 0)
        errno = answer.err > 0 ? answer.err : EIO;
    return answer.result;
}

int fail(int err)
{
    errno = err;
    return -1;
}

int gpio_ioctl(Entry* e, uint32_t request, void* arg)
{
    uint32_t size = vsim_gpio_arg_size(request);
    if (size > 0 && is_null(arg))
        return fail(EFAULT);
    struct iovec io = {arg, size};
    vsim_answer answer;
    if (!exchange(e, request, &io, size > 0 ? 1 : 0, &answer))
        return fail(EIO);
    if (answer.result < 0 || size == 0) {
        if (answer.length != 0) {
            e->broken = true;
            return fail(EIO);
        }
        return finish(answer);
    }
    if (!receive_data(e, answer, &io, 1))
        return fail(EIO);
    return finish(answer);
}

int i2c_rdwr(Entry* e, struct i2c_rdwr_ioctl_data* data)
{
    if (is_null(data))
        return fail(EFAULT);
    if (data->nmsgs > VSIM_I2C_MAX_MSGS)
        return fail(EINVAL);
    if (data->nmsgs > 0 && is_null(data->msgs))
        return fail(EFAULT);
    uint32_t count = data->nmsgs;
    vsim_i2c_msg msgs[VSIM_I2C_MAX_MSGS];
    struct iovec args[2 + VSIM_I2C_MAX_MSGS];
    struct iovec reads[VSIM_I2C_MAX_MSGS];
    int nargs = 0;
    int nreads = 0;
    args[nargs++] = {&count, sizeof(count)};
    args[nargs++] = {msgs, count * sizeof(vsim_i2c_msg)};
    for (uint32_t i = 0; i < count; ++i) {
        const struct i2c_msg& m = data->msgs[i];
        if (m.len > VSIM_I2C_MAX_LEN)
            return fail(EINVAL);
        if (m.len > 0 && is_null(m.buf))
            return fail(EFAULT);
        msgs[i] = {m.addr, m.flags, m.len, 0};
        if (m.flags & I2C_M_RD)
            reads[nreads++] = {m.buf, m.len};
        else if (m.len > 0)
            args[nargs++] = {m.buf, m.len};
    }
    vsim_answer answer;
    if (!exchange(e, VSIM_I2C_RDWR, args, nargs, &answer))
        return fail(EIO);
    if (answer.result < 0) {
        if (answer.length != 0) {
            e->broken = true;
            return fail(EIO);
        }
        return finish(answer);
    }
    if (!receive_data(e, answer, reads, nreads))
        return fail(EIO);
    return finish(answer);
}

int i2c_ioctl(Entry* e, uint32_t request, void* arg)
{
    if (request == VSIM_I2C_RDWR)
        return i2c_rdwr(e, static_cast<struct i2c_rdwr_ioctl_data*>(arg));
    vsim_answer answer;
    if (vsim_i2c_int_arg(request)) {
        // These take their value itself as the argument, not a pointer to it.
        int32_t value = static_cast<int32_t>(reinterpret_cast<uintptr_t>(arg));
        struct iovec io = {&value, sizeof(value)};
        if (!exchange(e, request, &io, 1, &answer))
            return fail(EIO);
    } else if (!exchange(e, request, nullptr, 0, &answer)) {
        return fail(EIO);
    }
    if (request == VSIM_I2C_FUNCS && answer.result >= 0) {
        uint64_t funcs = 0;
        struct iovec io = {&funcs, sizeof(funcs)};
        if (!receive_data(e, answer, &io, 1))
            return fail(EIO);
        if (is_null(arg))
            return fail(EFAULT);
        *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(funcs);
        return finish(answer);
    }
    if (answer.length != 0) {
        e->broken = true;
        return fail(EIO);
    }
    return finish(answer);
}

int device_ioctl(Entry* e, unsigned long request, void* arg)
{
    pthread_mutex_lock(&e->lock);
    int rc;
    if (e->broken)
        rc = fail(EIO);
    else if (e->kind == KIND_GPIO)
        rc = gpio_ioctl(e, static_cast<uint32_t>(request), arg);
    else
        rc = i2c_ioctl(e, static_cast<uint32_t>(request), arg);
    pthread_mutex_unlock(&e->lock);
    return rc;
}

bool needs_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int do_open(const char* path, int flags, mode_t mode)
{
    int bus = -1;
    Kind kind = device_kind(path, &bus);
    if (kind != KIND_NONE && in_sandbox())
        return open_device(kind, bus, flags);
    return real_open(path, flags, mode);
}

int do_openat(int dirfd, const char* path, int flags, mode_t mode)
{
    int bus = -1;
    Kind kind = device_kind(path, &bus);  // absolute paths only, so dirfd plays no part
    if (kind != KIND_NONE && in_sandbox())
        return open_device(kind, bus, flags);
    return real_openat(dirfd, path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned int));
        va_end(ap);
    }
    return do_open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned int));
        va_end(ap);
    }
    return do_open(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned int));
        va_end(ap);
    }
    return do_openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, unsigned int));
        va_end(ap);
    }
    return do_openat(dirfd, path, flags, mode);
}

// The checked variants that fortified builds call.
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

int __open_2(const char* path, int flags)
{
    return do_open(path, flags, 0);
}

int __open64_2(const char* path, int flags)
{
    return do_open(path, flags, 0);
}

int __openat_2(int dirfd, const char* path, int flags)
{
    return do_openat(dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char* path, int flags)
{
    return do_openat(dirfd, path, flags, 0);
}

int close(int fd)
{
    forget(fd);
    return real_close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (Entry* e = find(fd))
        return device_ioctl(e, request, arg);
    return real_ioctl(fd, request, arg);
}

}  // extern "C"
