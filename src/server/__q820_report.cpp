#include "__q820.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "AutoMutex.h"
#include "VeskoMisc.h"
#include "__sys.h"

// Reports to the server: one 512-byte request, then up to 100 ms for one datagram,
// which ends the exchange whatever it holds. The answer is not looked at.

void __q820::alarm_trigger(uint8_t sp, const uint8_t* st, int length)
{
    AutoMutex lock(&m_mutex);
    // Room for the whole record; only its first 512 bytes go out.
    uint8_t buf[sizeof(__q820_msg_t)] = {};
    __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
    fill_head(&msg->head, Q820_CMD_ALARM, Q820_REQUEST);
    fill_mac(msg->d.alarm_s.mac);
    msg->d.alarm_s.defence = uint8_t(m_defence.load());
    msg->d.alarm_s.sp = sp;
    msg->d.alarm_s.modules = 1;
    // Only the states the caller has are read; inputs 8 to 15 only when it has more
    // than eight.
    int states = st ? (length < 16 ? length : 16) : 0;
    for (int i = 0; i < states; i++)
        if (st[i] & 1)
            msg->d.alarm_s.info[i / 8] |= uint8_t(1 << (i % 8));
    send_packet(buf, Q820_PACKET);
    recv_packet(buf, Q820_PACKET, 100000);
}

void __q820::alarm_cancel()
{
    AutoMutex lock(&m_mutex);
    // Room for the whole record; only its first 512 bytes go out.
    uint8_t buf[sizeof(__q820_msg_t)] = {};
    __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
    fill_head(&msg->head, Q820_CMD_ALARM_CANCEL, Q820_REQUEST);
    msg->d.alarm_c.defence = uint8_t(m_defence.load());
    msg->d.alarm_c.modules = 1;
    send_packet(buf, Q820_PACKET);
    recv_packet(buf, Q820_PACKET, 100000);
}

void __q820::call_logger(const char* to, const char* ip, int mode)
{
    // A called party cut to fit would be logged as somebody else.
    if (!to || strlen(to) >= Q820_HOST) {
        fprintf(stderr, "__q820::call_logger to too long\n");
        return;
    }
    AutoMutex lock(&m_mutex);
    uint8_t buf[Q820_PACKET] = {};
    __q820_call_logger_t* log = reinterpret_cast<__q820_call_logger_t*>(buf);
    __q820_head_t head;
    fill_head(&head, Q820_CMD_CALL_LOG, Q820_REQUEST);
    memcpy(log->cid, head.cid, sizeof(log->cid));
    log->cmd = head.cmd;
    log->type = head.type;
    log->mode = uint8_t(mode);
    memcpy(log->from, head.host, sizeof(log->from));
    sockaddr_in own{};
    local_if_addr(&own);
    memcpy(log->from_ip, &own.sin_addr.s_addr, 4);
    memcpy(log->to, to, strlen(to));
    // An address that is not a dotted quad is logged as unknown (0.0.0.0).
    in_addr addr{};
    if (ip && inet_pton(AF_INET, ip, &addr) == 1)
        memcpy(log->to_ip, &addr.s_addr, 4);
    send_packet(buf, Q820_PACKET);
    recv_packet(buf, Q820_PACKET, 100000);
}

void __q820::card_logger(uint32_t card, const char* id)
{
    (void)id;
    AutoMutex lock(&m_mutex);
    // Room for the whole record; only its first 512 bytes go out.
    uint8_t buf[sizeof(__q820_msg_t)] = {};
    __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
    fill_head(&msg->head, Q820_CMD_CARD_LOG, Q820_REQUEST);
    q820_put_le16(msg->d.card_report.max, 1);
    q820_put_be32(msg->d.card_report.data[0].card, card);
    time_t now = time(nullptr);
    tm t;
    localtime_r(&now, &t);
    __q820_date_t* date = &msg->d.card_report.data[0].date;
    int year = t.tm_year + 1900;
    date->year[0] = uint8_t(year >> 8);
    date->year[1] = uint8_t(year);
    date->month = uint8_t(t.tm_mon + 1);
    date->day = uint8_t(t.tm_mday);
    date->hour = uint8_t(t.tm_hour);
    date->minute = uint8_t(t.tm_min);
    date->second = uint8_t(t.tm_sec);
    send_packet(buf, Q820_PACKET);
    recv_packet(buf, Q820_PACKET, 100000);
}

static uint8_t q820_bcd(int n)
{
    return uint8_t((n / 10) * 16 + n % 10);
}

// Elevator commands go to the controller's own address and are never answered.
void __q820::elevator(const char* ip, uint8_t function, const uint8_t* data)
{
    AutoMutex lock(&m_mutex);
    uint8_t buf[Q820_PACKET] = {};
    __ElevatorControl_t* e = reinterpret_cast<__ElevatorControl_t*>(buf);
    fill_head(&e->head, Q820_CMD_ELEVATOR, Q820_REQUEST);
    e->factory = 1;
    e->function = function;
    memcpy(e->data, data, 8);
    send_to(ip, buf, Q820_PACKET);
}

void __q820::elevator_permit(const char* ip, int elev)
{
    (void)elev;
    uint8_t d[8];
    int floor = sys.getTalkFloor();
    d[0] = 0xA1;
    d[1] = 0x55;
    d[2] = uint8_t(floor);
    d[3] = 0x4F;
    d[4] = 0xFF;
    d[5] = q820_bcd(floor);
    d[6] = q820_bcd(sys.getTalkFamily());
    uint8_t sum = 0;
    for (int i = 0; i < 7; i++)
        sum += d[i];
    d[7] = sum ^ 0xA1;
    elevator(ip, 3, d);
}

void __q820::elevator_appoint(const char* ip, int elev, int direct)
{
    uint8_t d[8];
    d[0] = 0xA2;
    d[1] = uint8_t(elev + 1);
    d[2] = uint8_t(direct);
    d[3] = 0x4F;
    d[4] = 0xFF;
    d[5] = q820_bcd(sys.getTalkFloor());
    d[6] = q820_bcd(sys.getTalkFamily());
    uint8_t sum = 0;
    for (int i = 0; i < 7; i++)
        sum += d[i];
    d[7] = sum ^ 0xA2;
    elevator(ip, 2, d);
}
