#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

// The link with the building-management server and the elevator controllers: fixed
// binary records over UDP port 8300.
//
// Every record is packed, so multi-byte fields may stand at odd offsets. They are
// declared as byte arrays and read and written only through the byte-order helpers
// below: counters, lengths and sequence numbers little-endian, card numbers
// big-endian, IPv4 addresses in network order. Nothing here is ever read through a
// cast of an unaligned pointer.

enum {
    Q820_PORT = 8300,
    Q820_PACKET = 512,   // every datagram the terminal sends, but the list pages
    Q820_RECV = 2048,    // receive buffer of the loop
    Q820_HOST = 20,      // identity fields
    Q820_MSG_TEXT = 200,
    Q820_CARD_PAGE = 50,
    Q820_CARD_LOG = 8,
    Q820_QUERY_ZONES = 8,
    Q820_CARD_MAX = 100000,
};

enum {
    Q820_REQUEST = 1,
    Q820_ANSWER = 2,
};

enum {
    Q820_CMD_ALARM = 1,
    Q820_CMD_ALARM_CANCEL = 2,
    Q820_CMD_MSG = 3,
    Q820_CMD_REPORT = 4,
    Q820_CMD_CARD_ADD = 54,
    Q820_CMD_CARD_SYNC = 55,
    Q820_CMD_CARD_LOG = 56,
    Q820_CMD_CARD_REMOVE = 57,
    Q820_CMD_CALL_LOG = 66,
    Q820_CMD_QUERY = 155,
    Q820_CMD_ELEVATOR = 171,
};

#define Q820_CARD_FILE "/vesko/cfg/sys_card.txt"

inline uint16_t q820_get_le16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

inline void q820_put_le16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline uint32_t q820_get_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void q820_put_le32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t q820_get_be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void q820_put_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Common header of every record but the call log.
struct __attribute__((packed)) __q820_head_t {
    uint8_t cid[6];  // "XXXCID", no terminator
    uint8_t cmd;
    uint8_t type;
    char host[Q820_HOST];  // sender's identity, NUL-terminated, zero-padded
};

// Year high byte, year low byte, month 1 to 12, day, hour, minute, second.
struct __attribute__((packed)) __q820_date_t {
    uint8_t year[2];
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};

struct __attribute__((packed)) __q820_card_entry_t {
    uint8_t card[4];  // big-endian
    char host[Q820_HOST];
};

struct __attribute__((packed)) __q820_msg_t {
    __q820_head_t head;
    union __attribute__((packed)) {
        struct __attribute__((packed)) {
            uint8_t mac[6];
            uint8_t defence;
            uint8_t sp;
            uint8_t modules;
            uint8_t info[4];
        } alarm_s;
        struct __attribute__((packed)) {
            uint8_t defence;
            uint8_t modules;
        } alarm_c;
        struct __attribute__((packed)) {
            uint8_t type[2];
            uint8_t seq[4];
            uint8_t length[2];
            char data[Q820_MSG_TEXT];
        } msg;
        struct __attribute__((packed)) {
            uint8_t mac[6];
            uint8_t defence;
            uint8_t modules;
            uint8_t zone[8][10];  // byte 2 of entry i is zone i's state
        } report;
        struct __attribute__((packed)) {
            uint8_t timeout[2];
            __q820_date_t date;
            int8_t weather[3];
        } report_ack;
        struct __attribute__((packed)) {
            uint8_t type;
        } passwd;
        struct __attribute__((packed)) {
            uint8_t seq[4];
            uint8_t total[4];
            uint8_t total_card[4];
            uint8_t max[4];
            uint8_t idx[4];
            __q820_card_entry_t data[Q820_CARD_PAGE];
        } card_auth;
        struct __attribute__((packed)) {
            uint8_t max[2];
            struct __attribute__((packed)) {
                uint8_t card[4];
                __q820_date_t date;
            } data[Q820_CARD_LOG];
        } card_report;
        uint8_t raw[1220];
    } d;
};

struct __attribute__((packed)) __Q820_Query_t {
    __q820_head_t head;
    uint8_t h_addr[4];
    char to[Q820_HOST];
    uint8_t t_addr[4];
};

struct __attribute__((packed)) __Q820_QueryAck_t {
    __q820_head_t head;
    uint8_t h_addr[4];
    uint8_t ips;
    struct __attribute__((packed)) {
        char name[Q820_HOST];
        uint8_t addr[4];
    } zone[Q820_QUERY_ZONES];
};

struct __attribute__((packed)) __ElevatorControl_t {
    __q820_head_t head;
    uint8_t factory;
    uint8_t function;
    uint8_t data[32];
};

// The call log has no host field.
struct __attribute__((packed)) __q820_call_logger_t {
    uint8_t cid[6];
    uint8_t cmd;
    uint8_t type;
    uint8_t mode;
    char from[Q820_HOST];
    uint8_t from_ip[4];
    char to[Q820_HOST];
    uint8_t to_ip[4];
};

static_assert(sizeof(__q820_head_t) == 28, "header");
static_assert(sizeof(__q820_date_t) == 7, "date");
static_assert(sizeof(__q820_msg_t::d) == 1220, "union");
static_assert(sizeof(__q820_msg_t) == 1248, "record");
static_assert(offsetof(__q820_msg_t, d) == 28, "union offset");
static_assert(offsetof(__q820_msg_t, d.alarm_s.info) == 37, "alarm info");
static_assert(offsetof(__q820_msg_t, d.alarm_c.modules) == 29, "cancel modules");
static_assert(offsetof(__q820_msg_t, d.msg.seq) == 30, "msg seq");
static_assert(offsetof(__q820_msg_t, d.msg.length) == 34, "msg length");
static_assert(offsetof(__q820_msg_t, d.msg.data) == 36, "msg data");
static_assert(offsetof(__q820_msg_t, d.report.zone) == 36, "report zones");
static_assert(offsetof(__q820_msg_t, d.report_ack.date) == 30, "report date");
static_assert(offsetof(__q820_msg_t, d.report_ack.weather) == 37, "report weather");
static_assert(offsetof(__q820_msg_t, d.card_auth.total_card) == 36, "card total_card");
static_assert(offsetof(__q820_msg_t, d.card_auth.idx) == 44, "card idx");
static_assert(offsetof(__q820_msg_t, d.card_auth.data) == 48, "card entries");
static_assert(sizeof(__q820_card_entry_t) == 24, "card entry");
static_assert(offsetof(__q820_msg_t, d.card_report.data) == 30, "card log entries");
static_assert(sizeof(__q820_msg_t::d.card_report.data[0]) == 11, "card log entry");
static_assert(sizeof(__Q820_Query_t) == 56, "query");
static_assert(offsetof(__Q820_Query_t, to) == 32, "query to");
static_assert(offsetof(__Q820_Query_t, t_addr) == 52, "query t_addr");
static_assert(sizeof(__Q820_QueryAck_t) == 225, "query answer");
static_assert(offsetof(__Q820_QueryAck_t, ips) == 32, "query ips");
static_assert(offsetof(__Q820_QueryAck_t, zone) == 33, "query zones");
static_assert(sizeof(__ElevatorControl_t) == 62, "elevator");
static_assert(offsetof(__ElevatorControl_t, data) == 30, "elevator data");
static_assert(sizeof(__q820_call_logger_t) == 57, "call log");
static_assert(offsetof(__q820_call_logger_t, from_ip) == 29, "call log from_ip");
static_assert(offsetof(__q820_call_logger_t, to) == 33, "call log to");
static_assert(offsetof(__q820_call_logger_t, to_ip) == 53, "call log to_ip");

// Working table of a card list upload: about 2 MB, always on the heap.
struct q820_card_data_t {
    int max;
    struct {
        int build;
        int unit;
        int floor;
        int family;
        uint32_t card;
    } d[Q820_CARD_MAX];
};

// Reads the card store (one "building-unit-floor-family card" line per card) into the
// table, at most Q820_CARD_MAX entries; returns the number read, 0 when the file does
// not open.
int q820_load_card(q820_card_data_t* table, const char* path);

class __q820 {
public:
    __q820();
    __q820(const __q820&) = delete;
    __q820& operator=(const __q820&) = delete;

    int start();
    void process();

    int send_packet(const uint8_t* data, int length);
    int recv_packet(uint8_t* data, int length, int timeout);

    // Steps of the loop; each takes m_mutex.
    void heartbeat();
    void wait_packet();

    // Dispatch targets, called with m_mutex held; length is the received byte count.
    void msg_ack(const __q820_msg_t* msg, int length);
    void query_ack(const uint8_t* data, int length);
    void card_auth(const __q820_msg_t* auth, int length);
    void card_remove(const __q820_msg_t* auth, int length);
    void card_sync();

    void query(const char* host);
    int q210();

    void alarm_trigger(uint8_t sp, const uint8_t* st, int length);
    void alarm_cancel();
    void elevator_permit(const char* ip, int elev);
    void elevator_appoint(const char* ip, int elev, int direct);
    void call_logger(const char* to, const char* ip, int mode);
    void card_logger(uint32_t card, const char* id);

    // Replaces the identity (cut to what m_id holds) under m_mutex, so that no record
    // is built from half of it.
    void set_id(const char* id);

    int m_socket;
    int m_timeout;
    // Written by the zone handler on the bus thread, read by the heartbeat without the
    // lock: a heartbeat may carry a half-updated set, never a torn value.
    std::atomic<int> m_defence;
    std::atomic<uint8_t> m_zone[8];
    char m_id[32];
    pthread_mutex_t m_mutex;

private:
    void fill_head(__q820_head_t* head, uint8_t cmd, uint8_t type);
    void fill_mac(uint8_t* mac);
    void report(uint8_t* buf);
    void elevator(const char* ip, uint8_t function, const uint8_t* data);
    void card_post(const __q820_msg_t* auth, int length, bool add);
    int send_to(const char* ip, const uint8_t* data, int length);

    // Last accepted text message.
    uint32_t m_msg_seq;
    int64_t m_msg_sec;
    int64_t m_msg_usec;
    // Last card addition and removal handled, by seq and idx.
    uint32_t m_add_seq;
    uint32_t m_add_idx;
    uint32_t m_remove_seq;
    uint32_t m_remove_idx;
    // Sequence number of the next card list page, counted across requests.
    uint32_t m_upload_seq;
};

extern __q820 q820;
