#pragma once

// What the interposition library and the sandbox agree on: where the sandbox keeps its
// run-time files, the shared clock file, and the messages on a device connection.
// Both ends run on one machine, so the records are in native byte order.

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#define VSIM_RUN_DIR "/sim/run"
#define VSIM_LOG_DIR "/sim/log"
#define VSIM_CLOCK_FILE "clock"
#define VSIM_CLOCK_LOG "clock.log"
#define VSIM_GPIO_SOCKET "gpio.sock"
#define VSIM_I2C_SOCKET_FORMAT "i2c-%d.sock"

// The shared clock file: the offset of the terminal's wall clock from the host's.
struct vsim_clock_page {
    int64_t offset_us;
};

// One ioctl on an emulated device: a request, `length` bytes of argument, then an
// answer with `length` bytes of results. A connection carries one exchange at a time;
// a malformed message ends the connection.
enum : uint32_t { VSIM_MAGIC = 0x4d495356u };  // "VSIM"

struct vsim_request {
    uint32_t magic;
    uint32_t request;  // the ioctl request code
    int64_t t_us;      // CLOCK_MONOTONIC of the call, microseconds
    uint32_t length;
    uint32_t reserved;
};

struct vsim_answer {
    uint32_t magic;
    int32_t result;  // the ioctl result
    int32_t err;     // errno when result is negative
    uint32_t length;
};

static_assert(sizeof(vsim_request) == 24, "request header layout");
static_assert(sizeof(vsim_answer) == 16, "answer header layout");

// GPIO: the argument is the 68-byte request record, or one int for the version query;
// the answer carries the record (or int) as the driver left it, and nothing when the
// request failed. Requests of any other size carry nothing.
#define VSIM_GPIO_RECORD_SIZE 68u
#define VSIM_GPIO_VERSION_QUERY 0xC0044480u

inline uint32_t vsim_gpio_arg_size(uint32_t request)
{
    if ((request >= 1 && request <= 7) || (request >= 0xC0444401u && request <= 0xC0444407u))
        return VSIM_GPIO_RECORD_SIZE;
    if (request == VSIM_GPIO_VERSION_QUERY)
        return 4;
    return 0;
}

// I2C_RDWR: a uint32 message count, one vsim_i2c_msg per message, then the bytes of
// the write messages in order. The answer of a transfer that succeeded carries the
// bytes of the read messages in order. Limits are the kernel's.
#define VSIM_I2C_RDWR 0x0707u
#define VSIM_I2C_FUNCS 0x0705u
#define VSIM_I2C_MAX_MSGS 42u
#define VSIM_I2C_MAX_LEN 8192u
#define VSIM_I2C_M_RD 0x0001u

struct vsim_i2c_msg {
    uint16_t addr;
    uint16_t flags;
    uint16_t len;
    uint16_t reserved;
};

static_assert(sizeof(vsim_i2c_msg) == 8, "message record layout");

// I2C_FUNCS has no argument and answers a uint64; the other requests the adapter knows
// (I2C_RETRIES, I2C_TIMEOUT, I2C_SLAVE, I2C_TENBIT, I2C_SLAVE_FORCE, I2C_PEC) carry
// their argument as one int32 and answer nothing.
inline bool vsim_i2c_int_arg(uint32_t request)
{
    return request == 0x0701u || request == 0x0702u || request == 0x0703u ||
           request == 0x0704u || request == 0x0706u || request == 0x0708u;
}

// Largest argument a device connection accepts.
#define VSIM_MAX_LENGTH \
    (4u + VSIM_I2C_MAX_MSGS * (uint32_t)sizeof(vsim_i2c_msg) + VSIM_I2C_MAX_MSGS * VSIM_I2C_MAX_LEN)

#ifdef __cplusplus
extern "C" {
#endif

// Exported by the interposition library: looks for the shared clock file again, so a
// process that entered the sandbox after its first clock call follows the sandbox's
// clock from now on. Returns 0 when the file is mapped, -1 when there is none.
int vsim_clock_attach(void);

#ifdef __cplusplus
}
#endif

// Receives exactly length bytes; false on an error or an early end of the stream.
inline bool vsim_recv_all(int fd, void* buf, size_t length)
{
    char* p = static_cast<char*>(buf);
    while (length > 0) {
        ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
