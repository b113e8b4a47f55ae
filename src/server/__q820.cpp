#include "__q820.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "AutoMutex.h"
#include "VeskoMisc.h"
#include "__sys.h"
#include "dmsg.h"
#include "dxml.h"

static const uint8_t q820_cid[6] = {'X', 'X', 'X', 'C', 'I', 'D'};

// Only a strict dotted quad is an address: the looser forms ("10.1", "1") would
// send the terminal's records to some other host.
static bool q820_addr(const char* ip, in_addr* out)
{
    return ip && inet_pton(AF_INET, ip, out) == 1;
}

__q820::__q820()
    : m_socket(-1),
      m_timeout(10),
      m_defence(0),
      m_msg_seq(0xFFFFFFFFu),
      m_msg_sec(0),
      m_msg_usec(0),
      m_add_seq(0),
      m_add_idx(0),
      m_remove_seq(0),
      m_remove_idx(0),
      m_upload_seq(1)
{
    for (auto& z : m_zone)
        z = 0;
    memset(m_id, 0, sizeof(m_id));
    strcpy(m_id, "0000");
    pthread_mutex_init(&m_mutex, nullptr);
}

int __q820::start()
{
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        perror("__q820::start socket");
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(Q820_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        perror("__q820::start bind");
        // Unbound, it would send from a port the server does not answer to.
        close(m_socket);
        m_socket = -1;
        return -1;
    }
    return 0;
}

void __q820::set_id(const char* id)
{
    AutoMutex lock(&m_mutex);
    memset(m_id, 0, sizeof(m_id));
    if (id)
        strncpy(m_id, id, sizeof(m_id) - 1);
}

int __q820::send_to(const char* ip, const uint8_t* data, int length)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(Q820_PORT);
    if (!q820_addr(ip, &addr.sin_addr) || !data || length <= 0)
        return -1;
    return sendto(m_socket, data, length, 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

int __q820::send_packet(const uint8_t* data, int length)
{
    return send_to(sys.getTalkServer(), data, length);
}

int __q820::recv_packet(uint8_t* data, int length, int timeout)
{
    if (timeout < 0)
        timeout = 0;
    pollfd pfd = {m_socket, POLLIN, 0};
    timespec ts = {timeout / 1000000, (timeout % 1000000) * 1000L};
    if (m_socket < 0 || length <= 0) {
        // An unusable socket still takes its time, so the loop keeps its pace.
        nanosleep(&ts, nullptr);
        return -1;
    }
    int ready = ppoll(&pfd, 1, &ts, nullptr);
    if (ready <= 0 || !(pfd.revents & POLLIN))
        return -1;
    ssize_t n = recvfrom(m_socket, data, length, 0, nullptr, nullptr);
    if (n < 0)
        perror("__q820::recv_packet recvfrom");
    return int(n);
}

void __q820::fill_head(__q820_head_t* head, uint8_t cmd, uint8_t type)
{
    memcpy(head->cid, q820_cid, sizeof(head->cid));
    head->cmd = cmd;
    head->type = type;
    // The identity is cut to 19 characters so that the field always ends in a NUL.
    memset(head->host, 0, sizeof(head->host));
    memcpy(head->host, m_id, strnlen(m_id, sizeof(head->host) - 1));
}

void __q820::fill_mac(uint8_t* mac)
{
    uint8_t mask[4];
    if (local_if_mac("eth0", mac, mask) == 0)
        return;
    if (local_if_mac("wlan0", mac, mask) == 0)
        return;
    memset(mac, 0, 6);
}

void __q820::process()
{
    time_t last = 0;
    for (;;) {
        time_t now = time(nullptr);
        if (llabs(int64_t(now) - int64_t(last)) >= m_timeout) {
            heartbeat();
            last = time(nullptr);
        }
        wait_packet();
        usleep(40000);
    }
}

// The server's date is a wall-clock reading in local time; a date that names no
// real time (a server that sends zeros) must never reach the clock.
static bool q820_date_time(const __q820_date_t* date, time_t* out)
{
    int year = date->year[0] * 256 + date->year[1];
    if (year < 1970 || date->month < 1 || date->month > 12 || date->day < 1 || date->day > 31 ||
        date->hour > 23 || date->minute > 59 || date->second > 60)
        return false;
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = date->month - 1;
    t.tm_mday = date->day;
    t.tm_hour = date->hour;
    t.tm_min = date->minute;
    t.tm_sec = date->second;
    t.tm_isdst = -1;
    time_t sec = mktime(&t);
    if (sec == time_t(-1) || t.tm_mday != date->day)
        return false;
    *out = sec;
    return true;
}

void __q820::report(uint8_t* buf)
{
    __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
    fill_head(&msg->head, Q820_CMD_REPORT, Q820_REQUEST);
    fill_mac(msg->d.report.mac);
    msg->d.report.defence = uint8_t(m_defence.load());
    msg->d.report.modules = 1;
    for (int i = 0; i < 8; i++)
        msg->d.report.zone[i][2] = m_zone[i].load();
}

void __q820::heartbeat()
{
    AutoMutex lock(&m_mutex);
    // Sized for the whole record: the answer is read through it, but never more than
    // the 512 bytes a datagram of the terminal has.
    uint8_t buf[sizeof(__q820_msg_t)] = {};
    report(buf);
    send_packet(buf, Q820_PACKET);
    int n = recv_packet(buf, Q820_PACKET, 100000);
    const __q820_msg_t* ack = reinterpret_cast<const __q820_msg_t*>(buf);
    // A short answer would be read over the request still in the buffer.
    if (n < int(offsetof(__q820_msg_t, d.report_ack.weather)) || ack->head.cmd != Q820_CMD_REPORT ||
        ack->head.type != Q820_ANSWER)
        return;
    int timeout = q820_get_le16(ack->d.report_ack.timeout) - 1;
    m_timeout = timeout < 5 ? 5 : timeout;
    time_t date;
    if (!q820_date_time(&ack->d.report_ack.date, &date))
        return;
    timeval now;
    gettimeofday(&now, nullptr);
    if (llabs(int64_t(date) - int64_t(now.tv_sec)) > 10) {
        timeval tv = {date, 0};
        if (settimeofday(&tv, nullptr) < 0)
            perror("__q820::heartbeat settimeofday");
    }
}

void __q820::wait_packet()
{
    AutoMutex lock(&m_mutex);
    // Sized for the whole record as well as the loop's 2048 bytes, zeroed, so that
    // every field of a record can be read whatever was received.
    uint8_t buf[Q820_RECV] = {};
    int n = recv_packet(buf, Q820_RECV, 20000);
    if (n < int(offsetof(__q820_head_t, host)))
        return;
    __q820_msg_t* msg = reinterpret_cast<__q820_msg_t*>(buf);
    if (msg->head.type == Q820_REQUEST) {
        msg->head.type = Q820_ANSWER;
        if (msg->head.cmd != Q820_CMD_CARD_SYNC)
            send_packet(buf, Q820_PACKET);
        switch (msg->head.cmd) {
        case Q820_CMD_MSG:
            msg_ack(msg, n);
            break;
        case Q820_CMD_CARD_ADD:
            card_auth(msg, n);
            break;
        case Q820_CMD_CARD_SYNC:
            card_sync();
            break;
        case Q820_CMD_CARD_REMOVE:
            card_remove(msg, n);
            break;
        default:
            break;
        }
    } else if (msg->head.cmd == Q820_CMD_QUERY) {
        query_ack(buf, n);
    }
}

void __q820::msg_ack(const __q820_msg_t* msg, int length)
{
    const int text_at = offsetof(__q820_msg_t, d.msg.data);
    if (!msg || length < text_at) {
        fprintf(stderr, "__q820::msg_ack short packet %d\n", length);
        return;
    }
    uint32_t seq = q820_get_le32(msg->d.msg.seq);
    if (seq == m_msg_seq)
        return;
    timeval now;
    gettimeofday(&now, nullptr);
    int64_t ms = (int64_t(now.tv_sec) - m_msg_sec) * 1000 + (int64_t(now.tv_usec) - m_msg_usec) / 1000;
    if (llabs(ms) <= 300)
        return;
    m_msg_sec = now.tv_sec;
    m_msg_usec = now.tv_usec;
    m_msg_seq = seq;

    // The text ends at its length, at the end of the field and at the end of what
    // arrived, whichever comes first.
    int size = q820_get_le16(msg->d.msg.length);
    int avail = length - text_at;
    if (size > Q820_MSG_TEXT || size > avail) {
        fprintf(stderr, "__q820::msg_ack length %d cut\n", size);
        size = avail < Q820_MSG_TEXT ? avail : Q820_MSG_TEXT;
    }
    char text[Q820_MSG_TEXT + 1];
    memcpy(text, msg->d.msg.data, size);
    text[size] = 0;

    dxml doc;
    doc.setInt("/params/type", q820_get_le16(msg->d.msg.type));
    doc.setText("/params/data", text);
    dmsg req;
    req.request("/apps/center/text", doc.data());
}

int __q820::q210()
{
    return sys.getTalkQ210();
}

void __q820::query(const char* host)
{
    if (!q210())
        return;
    // An identity that does not fit the field with its terminator names nobody.
    if (!host || strlen(host) >= Q820_HOST) {
        fprintf(stderr, "__q820::query host too long\n");
        return;
    }
    AutoMutex lock(&m_mutex);
    uint8_t buf[Q820_PACKET] = {};
    __Q820_Query_t* q = reinterpret_cast<__Q820_Query_t*>(buf);
    fill_head(&q->head, Q820_CMD_QUERY, Q820_REQUEST);
    sockaddr_in own{};
    local_if_addr(&own);
    memcpy(q->h_addr, &own.sin_addr.s_addr, 4);
    memcpy(q->to, host, strlen(host));
    send_packet(buf, Q820_PACKET);
}

void __q820::query_ack(const uint8_t* data, int length)
{
    if (!q210())
        return;
    const int zones_at = offsetof(__Q820_QueryAck_t, zone);
    if (!data || length < zones_at) {
        fprintf(stderr, "__q820::query_ack short packet %d\n", length);
        return;
    }
    const __Q820_QueryAck_t* ack = reinterpret_cast<const __Q820_QueryAck_t*>(data);
    // Only whole entries that arrived, and at most the record's eight.
    int ips = ack->ips;
    int whole = (length - zones_at) / int(sizeof(ack->zone[0]));
    if (ips > Q820_QUERY_ZONES || ips > whole) {
        fprintf(stderr, "__q820::query_ack ips %d cut\n", ips);
        ips = whole < Q820_QUERY_ZONES ? whole : Q820_QUERY_ZONES;
    }
    dxml doc;
    doc.setInt("/params/ips", ips);
    for (int i = 0; i < ips; i++) {
        char name[Q820_HOST];
        memcpy(name, ack->zone[i].name, sizeof(name));
        name[sizeof(name) - 1] = 0;
        char key[32];
        snprintf(key, sizeof(key), "/params/name%d", i);
        doc.setText(key, name);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, ack->zone[i].addr, ip, sizeof(ip));
        snprintf(key, sizeof(key), "/params/ip%d", i);
        doc.setText(key, ip);
    }
    dmsg req;
    req.request("/talk/center/query", doc.data());
}
