#include "sys_board.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "dxml.h"
#include "sGpio.h"

int sys_limit = 0;
int sys_mode = SYS_NORMAL;
int sys_sdk = 16;
int sys_qding = 0;
int sys_tsl = 0;
char board_private_mac[64];
int sys_mcu = SYS_MCU_NORMAL;
int sys_mcu_v = 0;

static int sys_cpu_value = -1;
static std::once_flag sys_cpu_once;

static void sys_msleep(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

// The first decimal integer of a small file, as scanf("%d") reads it; false when the
// file does not open, holds no number or one beyond the range of an int.
static bool sys_read_int(const char* path, int* out)
{
    FILE* f = fopen(path, "r");
    if (!f)
        return false;
    char text[64];
    size_t n = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    text[n] = 0;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *out = (int)v;
    return true;
}

static void sys_cpu_detect()
{
    sys_cpu_value = SYS_A20;
    int sdk;
    if (sys_read_int("/var/etc/sdk.txt", &sdk))
        sys_sdk = sdk;

    FILE* f = fopen("/proc/cpuinfo", "r");
    if (!f)
        return;
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        if (strcasestr(line, "sun4i"))
            sys_cpu_value = SYS_A10;
        else if (strcasestr(line, "sun5i"))
            sys_cpu_value = SYS_A13;
        else if (strcasestr(line, "sun8i"))
            sys_cpu_value = sys_sdk == 23 ? SYS_A33_6 : SYS_A33;
        else if (strcasestr(line, "sun50iw10p1"))
            sys_cpu_value = SYS_X10;
        else if (strcasestr(line, "rk3368"))
            sys_cpu_value = sys_sdk == 29 ? SYS_RK3368_10 : SYS_RK3368;
        else if (strcasestr(line, "rk3288"))
            sys_cpu_value = SYS_RK3288;
        else if (strcasestr(line, "rk3399"))
            sys_cpu_value = SYS_RK3399;
        else if (strcasestr(line, "rk3588"))
            sys_cpu_value = SYS_RK3588;
        else if (strcasestr(line, "rk3568"))
            sys_cpu_value = SYS_RK3568;
        else if (strcasestr(line, "rk3566"))
            sys_cpu_value = SYS_RK3566;
    }
    fclose(f);
}

int sys_cpu()
{
    // A second first caller waits for the scan instead of seeing its interim value.
    std::call_once(sys_cpu_once, sys_cpu_detect);
    return sys_cpu_value;
}

void sys_variant_load()
{
    int limit;
    if (sys_read_int("/vesko/bin/limit", &limit))
        sys_limit = limit;
    if (sys_limit >= 970 && sys_limit <= 989)
        sys_mode = SYS_PANEL;
    else if (sys_limit >= 200 && sys_limit <= 299)
        sys_mode = SYS_CENTER;
}

// Takes a line into use as an output at the given level.
static void sys_gpio_out(sGpio& gpio, const char* main, const char* sub, int val)
{
    gpio.start(main, sub);
    gpio.dir(main, sub, 1);
    gpio.set(main, sub, val);
}

// Family 10 keeps its factory MAC on a private partition that is mounted only long
// enough to read it.
static void sys_private_init()
{
    system("mkdir /var/private");
    system("mount /dev/block/by-name/private /var/private");
    FILE* f = fopen("/var/private/ZAR/factory/mac_addr.txt", "r");
    if (f) {
        char mac[sizeof(board_private_mac)] = "";
        if (fscanf(f, "%63s", mac) == 1)
            memcpy(board_private_mac, mac, sizeof(mac));
        fclose(f);
        fprintf(stderr, "sys_private_init mac: %s\n", board_private_mac);
    }
    system("umount /var/private");
    system("rm -r /var/private");
}

static void sys_board_a33(sGpio& gpio)
{
    system("mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit /vesko/cfg");
    system("mount -o remount,sync,nosuid,nodev,noatime,nomblk_io_submit /vesko/data");
    if (sys_mode != SYS_PANEL)
        return;
    sys_gpio_out(gpio, "gsensor_para", "gsensor_int1", 1);
    sys_gpio_out(gpio, "aw", "ir_led", 0);
    sys_gpio_out(gpio, "aw", "lock", 0);
    sys_gpio_out(gpio, "aw", "ir_pwr", 0);
    sys_gpio_out(gpio, "aw", "usb_host1", 0);
    sys_msleep(1000);
    gpio.set("aw", "usb_host1", 1);
    sys_msleep(1000);
    gpio.set("aw", "ir_pwr", 1);
    gpio.ldo("axp22_dldo1", 3300);
}

static void sys_board_rk3288(sGpio& gpio)
{
    sys_gpio_out(gpio, "rk", "lock", 0);
    sys_gpio_out(gpio, "rk", "cam_led", 0);
    sys_gpio_out(gpio, "rk", "rfid", 1);
    sys_gpio_out(gpio, "rk", "usb_host1", 1);
    sys_gpio_out(gpio, "rk", "usb_eth", 1);
    if (sys_mode != SYS_NORMAL)
        return;
    sys_gpio_out(gpio, "rk", "usb_hub_reset", 1);
    sys_msleep(1000);
    sys_gpio_out(gpio, "rk", "usb_asr_power", 1);
    sys_msleep(400);
    sys_gpio_out(gpio, "rk", "usb_eth2_power", 1);
}

static void sys_board_x10(sGpio& gpio)
{
    static const struct {
        const char* sub;
        int val;
    } lines[] = {
        {"lock", 0},     {"cam_led", 0},  {"rfid", 1},     {"usb_host1", 0}, {"usb_hub_rst", 0},
        {"usb_hub0", 0}, {"usb_hub1", 0}, {"usb_hub2", 0}, {"usb_hub3", 0},  {"usb_4g_reset", 0},
    };
    for (const auto& l : lines)
        sys_gpio_out(gpio, "aw", l.sub, l.val);
    sys_msleep(2000);
    gpio.set("aw", "usb_host1", 1);
    sys_msleep(200);
    gpio.set("aw", "usb_hub_rst", 1);
    sys_msleep(1000);
    gpio.set("aw", "usb_hub0", 1);
    gpio.set("aw", "usb_hub1", 1);
    gpio.set("aw", "usb_hub2", 1);
    gpio.set("aw", "usb_hub3", 1);
    gpio.set("aw", "usb_4g_reset", 1);
    sys_private_init();
}

void sys_board_init(sGpio& gpio)
{
    switch (sys_cpu()) {
    case SYS_A20:
        gpio.start("usbc1", "usb_drv_vbus_gpio");
        gpio.set("usbc1", "usb_drv_vbus_gpio", 1);
        break;
    case SYS_A33:
    case SYS_A33_6:
        sys_board_a33(gpio);
        break;
    case SYS_RK3288:
    case SYS_RK3368:
    case SYS_RK3368_10:
        sys_board_rk3288(gpio);
        break;
    case SYS_X10:
        sys_board_x10(gpio);
        break;
    case SYS_RK3568:
        sys_gpio_out(gpio, "rk", "rfid", 1);
        break;
    default:
        break;
    }
}

void sys_random_init()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    unsigned long seed;
    int fd = open("/dev/urandom", O_RDONLY);
    if (fd >= 0) {
        unsigned int r = 0;
        read(fd, &r, sizeof(r));
        close(fd);
        seed = (unsigned long)tv.tv_usec + r;
    } else {
        seed = (unsigned long)clock() + (unsigned long)tv.tv_usec;
    }
    srand48((long)seed);
}

void sys_special_load()
{
    dxml doc;
    doc.loadFile("/vesko/bin/special.xml");
    sys_qding = doc.getInt("/sys/qding", 0);
    sys_tsl = doc.getInt("/sys/tsl", 0);
}

void sys_orientation()
{
    int portrait;
    {
        dxml doc;
        doc.loadFile("/vesko/cfg/sys.xml");
        portrait = doc.getInt("/sys/lcd/portrait", 0);
    }
    system("settings get system user_rotation > /var/etc/user_rotation");
    int rotation;
    if (!sys_read_int("/var/etc/user_rotation", &rotation))
        rotation = -1;
    if (portrait == rotation)
        return;
    char cmd[64];
    snprintf(cmd, sizeof(cmd), "settings put system user_rotation %d", portrait);
    system(cmd);
    system("sync");
}

void sys_reboot()
{
    sys_msleep(2000);
    int fd = open("/var/etc/watchdog", O_WRONLY | O_CREAT | O_TRUNC, 0777);
    if (fd < 0)
        return;
    fchmod(fd, 0777);
    write(fd, "1", 1);
    close(fd);
}

void* sys_misc_thread(void*)
{
    for (int i = 0; i < 60; i++) {
        if (access("/var/etc/boot_end", F_OK) == 0)
            break;
        sys_msleep(1000);
    }
    system("stop dhcpcd_eth1");
    sys_orientation();
    for (;;)
        sys_msleep(1000);
}
