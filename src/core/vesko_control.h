#pragma once

#include <stdint.h>

// The handlers of the paths below "/control": each takes the request body (possibly
// null), answers exactly once with 200 and acts on the hardware or the server link.

// One bit per LED of the door-station front, bit n = LED n on.
extern int led_state;
// Bit 0: last onoff for lock index 1; bit 2: last onoff for lock index 2.
extern int lock_state;

// Registers every handler with the bus, in the order the paths are listed below.
void vesko_control_setup();

void vesko_control_power(const char* body);
void dmsg_hooter(const char* body);
void dmsg_led(const char* body);
void dmsg_io_sync(const char* body);
void dmsg_reload(const char* body);
void dmsg_audio(const char* body);
void dmsg_medical(const char* body);
void dmsg_q820_alarm_trigger(const char* body);
void dmsg_q820_alarm_cancel(const char* body);
void dmsg_q820_zone(const char* body);
void dmsg_q820_query(const char* body);
void dmsg_q820_card_logger(const char* body);
void dmsg_q820_call_logger(const char* body);
void vesko_elevator_permit(const char* body);
void vesko_elevator_appoint(const char* body);
void dmsg_vt_uart_setup(const char* body);
void vesko_control_eth_reset(const char* body);
void vesko_control_w350_lock(const char* body);
void vesko_control_w350_light(const char* body);
void vesko_control_w350_led(const char* body);
void vesko_control_w350_usb1(const char* body);
void vesko_control_monitor_lock(const char* body);
void vesko_control_eth_wifi_read(const char* body);
void vesko_control_eth_wifi_write(const char* body);
void vesko_control_settime(const char* body);
void vesko_control_usb_attached(const char* body);
void vesko_control_ppp_down(const char* body);
void vesko_sys_orientation(const char* body);
void vesko_control_get_security_io(const char* body);
void vesko_special_get_mac(const char* body);
void vesko_special_set_mac(const char* body);
void vesko_special_set_nmk(const char* body);

// Pure helpers of the handlers.

// word with bit set (onoff non-zero) or cleared.
int vesko_control_bit(int word, int bit, int onoff);

// The usb_modeswitch command line for a modem's identifiers, each kept to 16 bits.
// Returns its length, or -1 when it does not fit.
int vesko_usb_modeswitch_cmd(char* cmd, int size, int vendor, int product);

// A card number text as the unsigned 32-bit number it names: decimal, negative
// numbers wrap as in two's complement, longer numbers keep their low 32 bits;
// 0 for a null text.
uint32_t vesko_control_card(const char* text);

// Seconds since the epoch for a "year-month-day hour:minute:second" text read as
// local time without daylight saving; missing numbers count as 0. -1 when the time
// cannot be represented.
int64_t vesko_control_time(const char* text);
