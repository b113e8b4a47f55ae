#include "sys_uart.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "AutoMutex.h"
#include "sys_board.h"

static const char MCU_VERSION_FILE[] = "/var/etc/mcu";

sys_uart::sys_uart()
    : m_fd(-1),
      m_mcu_st(0),
      m_rx(MCU_RX_FIFO),
      m_rs485_br(3),
      m_rs485_pb(0),
      m_rs485_m(1),
      m_i2s_sr(8),
      m_eeprom_sz(0)
{
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_mutex_init(&m_eeprom_mutex, nullptr);
    pthread_mutex_init(&m_eeprom_rx_mutex, nullptr);
    memset(m_eeprom_rx, 0, sizeof(m_eeprom_rx));
}

sys_uart::~sys_uart()
{
    if (m_fd >= 0)
        ::close(m_fd);
    pthread_mutex_destroy(&m_mutex);
    pthread_mutex_destroy(&m_eeprom_mutex);
    pthread_mutex_destroy(&m_eeprom_rx_mutex);
}

int sys_uart::start()
{
    int cpu = sys_cpu();
    // These standard-variant boards serve their RS485 bus and alarm inputs locally.
    if (sys_mode != SYS_PANEL && (cpu == SYS_RK3368 || cpu == SYS_RK3368_10 || cpu == SYS_X10))
        return -1;
    if (uart_open() < 0)
        return -1;
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, thread, this);
    if (rc != 0) {
        errno = rc;
        perror("sys_uart::start pthread_create");
        AutoMutex lock(&m_mutex);
        ::close(m_fd);
        m_fd = -1;
        return -1;
    }
    pthread_detach(tid);
    return 0;
}

void* sys_uart::thread(void* arg)
{
    static_cast<sys_uart*>(arg)->process();
    return nullptr;
}

static const char* uart_device(int cpu)
{
    switch (cpu) {
    case SYS_A13:
    case SYS_RK3288:
    case SYS_RK3368:
    case SYS_RK3368_10:
        return "/dev/ttyS3";
    case SYS_A33:
    case SYS_A33_6:
        return "/dev/ttyS2";
    case SYS_RK3568:
        return "/dev/ttyS7";
    default:
        return "/dev/ttyS5";
    }
}

int sys_uart::uart_open()
{
    const char* dev = uart_device(sys_cpu());
    // Non-blocking only for the open itself, so that a port without carrier cannot hang it.
    int fd = ::open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "sys_uart::start open %s error.\n", dev);
        return -1;
    }
    fcntl(fd, F_SETFL, 0);

    struct termios tio;
    memset(&tio, 0, sizeof(tio));
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    speed_t speed = sys_mode == SYS_PANEL ? B115200 : B38400;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) < 0)
        perror("sys_uart::uart_open tcsetattr");

    AutoMutex lock(&m_mutex);
    m_fd = fd;
    return 0;
}

void sys_uart::reopen()
{
    {
        AutoMutex lock(&m_mutex);
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    uart_open();
}

int sys_uart::read_wait(uint8_t* data, int length, int timeout_ms)
{
    // Only the reader thread changes m_fd after start, so it reads it without the lock.
    int fd = m_fd;
    if (fd < 0 || data == nullptr || length <= 0)
        return 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int rc = select(fd + 1, &set, nullptr, nullptr, &tv);
    if (rc <= 0)
        return 0;
    ssize_t n = ::read(fd, data, length);
    if (n <= 0) {
        // A hung-up line stays readable; pause as a quiet line would instead of spinning.
        usleep(timeout_ms * 1000);
        return 0;
    }
    return int(n);
}

int sys_uart::read(uint8_t* data, int length)
{
    return read_wait(data, length, 200);
}

int sys_uart::write(const uint8_t* data, int length)
{
    // Under the sender's lock, so that raw bytes never land inside a frame.
    AutoMutex lock(&m_mutex);
    if (m_fd < 0 || data == nullptr || length < 0)
        return -1;
    return int(::write(m_fd, data, length));
}

int sys_uart::send(mcu_cmd_t* cmd, uint8_t sync)
{
    if (cmd == nullptr)
        return -1;
    AutoMutex lock(&m_mutex);
    if (m_fd < 0)
        return -1;
    int payload = cmd->length;
    if (payload > MCU_PAYLOAD_MAX)
        return -1;
    cmd->sync = sync;
    cmd->length = uint16_t(payload + MCU_FRAME_EXTRA);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(cmd);
    uint8_t check = 0;
    for (int i = 0; i < MCU_FRAME_HEAD + payload; i++)
        check ^= bytes[i];
    cmd->data[payload] = check;
    return int(::write(m_fd, bytes, payload + MCU_FRAME_EXTRA));
}

int sys_uart::send_cmd(mcu_cmd_t* cmd)
{
    if (sys_mode == SYS_PANEL)
        return -1;
    return send(cmd, MCU_SYNC);
}

int sys_uart::send_w350(mcu_cmd_t* cmd)
{
    if (sys_mode != SYS_PANEL)
        return -1;
    return send(cmd, MCU_D_SYNC);
}

int sys_uart::heartbeat()
{
    bool w350 = sys_mode == SYS_PANEL;
    int rc = send_code(MCU_HEART, w350, nullptr, 0);
    if (m_mcu_st.load() == 0) {
        usleep(40000);
        // Any valid answer proves the link; the EEPROM probe gets one from every firmware.
        if (!w350) {
            const uint8_t probe[2] = {0x00, 0x06};
            send_code(MCU_EE_RD, false, probe, sizeof(probe));
        }
    }
    return rc;
}

int sys_uart::version()
{
    return send_code(MCU_VERSION, sys_mode == SYS_PANEL, nullptr, 0);
}

void sys_uart::version(const uint8_t* v)
{
    if (v == nullptr)
        return;
    FILE* f = fopen(MCU_VERSION_FILE, "w");
    if (f == nullptr)
        return;
    // Read by other threads without a lock: the store is made whole and visible.
    __atomic_store_n(&sys_mcu_v, v[0] * 100 + v[1] * 10 + v[2], __ATOMIC_RELEASE);
    fprintf(f, "%d.%d.%d", v[0], v[1], v[2]);
    fclose(f);
    system("chmod 0777 /var/etc/mcu");
}

void sys_uart::connected()
{
    if (sys_mode != SYS_PANEL)
        sys_sync();
}

bool sys_uart::frame_pending()
{
    uint8_t head[MCU_FRAME_EXTRA];
    if (m_rx.copy(head, sizeof(head)) != int(sizeof(head)))
        return false;
    int length = head[1] | head[2] << 8;
    int limit = sys_mode == SYS_PANEL ? MCU_D_ANALYZE_BUF : MCU_ANALYZE_BUF;
    // An impossible length is acted on at once too: the decoder drops it.
    return length < MCU_FRAME_EXTRA || length > limit || m_rx.used() >= length;
}

void sys_uart::process()
{
    heartbeat();
    usleep(40000);
    for (;;) {
        time_t begin = time(nullptr);
        while (labs(long(time(nullptr) - begin)) <= 10) {
            uint8_t chunk[256];
            // A frame already waiting is decoded without waiting for the line.
            int n = read_wait(chunk, sizeof(chunk), frame_pending() ? 0 : 200);
            if (n > 0) {
                m_rx.put(chunk, n);
                uint8_t head;
                uint8_t sync = sys_mode == SYS_PANEL ? MCU_D_SYNC : MCU_SYNC;
                if (m_rx.copy(&head, 1) == 1 && head != sync)
                    m_rx.flush();
            } else if (m_fd < 0) {
                // The port could not be reopened: wait as a quiet line would.
                usleep(200000);
            }
            if (sys_mode == SYS_PANEL)
                d_analyze();
            else
                analyze();
            if (m_mcu_st.load() == 1) {
                m_mcu_st.store(2);
                connected();
            }
        }
        if (m_mcu_st.load() == 0) {
            fprintf(stderr, "sys_uart::process not any data receive, reopen uart....\n");
            reopen();
        } else if (access(MCU_VERSION_FILE, F_OK) != 0) {
            version();
            usleep(100000);
        }
        heartbeat();
    }
}
