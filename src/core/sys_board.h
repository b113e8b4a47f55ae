#pragma once

// Process-wide values of start-up and the board services: product variant,
// processor family, feature flags.

enum {
    SYS_NORMAL = 0,
    SYS_PANEL = 1,
    SYS_CENTER = 2,
    SYS_NSR = 3,
};

enum {
    SYS_700 = 0,
    SYS_A10 = 1,
    SYS_A20 = 2,
    SYS_A13 = 3,
    SYS_A33 = 4,
    SYS_X10 = 10,
    SYS_V3S = 280,
    SYS_A33_6 = 601,
    SYS_RK3288 = 3288,
    SYS_RK3368 = 3368,
    SYS_RK3368_10 = 3369,
    SYS_RK3399 = 3399,
    SYS_RK3566 = 3566,
    SYS_RK3568 = 3568,
    SYS_RK3588 = 3588,
};

enum {
    SYS_MCU_NORMAL = 0,
    SYS_MCU_PSTN = 1,
    SYS_MCU_EAUD = 2,
};

extern int sys_limit;
extern int sys_mode;
extern int sys_sdk;
extern int sys_qding;
extern int sys_tsl;
extern char board_private_mac[64];
extern int sys_mcu;
extern int sys_mcu_v;

class sGpio;

int sys_cpu();
void sys_orientation();
void sys_reboot();

// Start-up steps, in the order main runs them.
void sys_variant_load();
void sys_board_init(sGpio& gpio);
void sys_random_init();
void sys_special_load();

// The supervision thread: waits for the end of boot, hands eth1 over from the
// platform's DHCP client, applies the screen orientation, then runs once a second.
void* sys_misc_thread(void* arg);
