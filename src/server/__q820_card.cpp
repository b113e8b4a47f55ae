#include "__q820.h"

#include <ctype.h>
#include <errno.h>
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dmsg.h"
#include "dxml.h"

// Reads one decimal number as the C library does for "%d": leading blanks, an
// optional sign, digits. Returns false when there are no digits or the number does
// not fit the range.
static bool q820_number(const char** p, long long lo, long long hi, long long* out)
{
    const char* s = *p;
    while (*s == ' ' || *s == '\t')
        s++;
    if (!isdigit(static_cast<unsigned char>(s[0])) &&
        !((s[0] == '-' || s[0] == '+') && isdigit(static_cast<unsigned char>(s[1]))))
        return false;
    char* end;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno == ERANGE || v < lo || v > hi)
        return false;
    *p = end;
    *out = v;
    return true;
}

// "building-unit-floor-family card": the room numbers must fit the digits of the
// identity string the upload writes ("S%04d%02d%02d%02d0"), and the card 32 bits,
// written signed or unsigned.
static bool q820_card_line(const char* line, int* room, uint32_t* card)
{
    static const long long max[4] = {9999, 99, 99, 99};
    const char* p = line;
    long long v;
    for (int i = 0; i < 4; i++) {
        if (!q820_number(&p, 0, max[i], &v))
            return false;
        room[i] = int(v);
        if (i < 3 && *p++ != '-')
            return false;
    }
    if (*p != ' ' && *p != '\t')
        return false;
    if (!q820_number(&p, -2147483648LL, 4294967295LL, &v))
        return false;
    *card = uint32_t(v);
    return true;
}

int q820_load_card(q820_card_data_t* table, const char* path)
{
    table->max = 0;
    FILE* f = fopen(path, "r");
    if (!f)
        return 0;
    char line[256];
    while (table->max < Q820_CARD_MAX && fgets(line, sizeof(line), f)) {
        size_t len = strlen(line);
        if (len == sizeof(line) - 1 && line[len - 1] != '\n') {
            // No store line is this long: skip the rest of it as one bad line.
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
            continue;
        }
        int room[4];
        uint32_t card;
        if (!q820_card_line(line, room, &card))
            continue;
        auto& e = table->d[table->max++];
        e.build = room[0];
        e.unit = room[1];
        e.floor = room[2];
        e.family = room[3];
        e.card = card;
    }
    fclose(f);
    return table->max;
}

// Characters from..from+count-1 of a room identity, as a decimal number; what lies
// past the end of the text counts as nothing.
static int q820_host_field(const char* host, int from, int count)
{
    int len = int(strnlen(host, Q820_HOST));
    char text[8] = {};
    for (int i = 0; i < count && from + i < len; i++)
        text[i] = host[from + i];
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    int v = 0;
    while (isdigit(static_cast<unsigned char>(*p)))
        v = v * 10 + (*p++ - '0');
    return negative ? -v : v;
}

void __q820::card_post(const __q820_msg_t* auth, int length, bool add)
{
    const int entries_at = offsetof(__q820_msg_t, d.card_auth.data);
    const char* what = add ? "card_auth" : "card_remove";
    if (!auth || length < entries_at) {
        fprintf(stderr, "__q820::%s short packet %d\n", what, length);
        return;
    }
    uint32_t seq = q820_get_le32(auth->d.card_auth.seq);
    uint32_t idx = q820_get_le32(auth->d.card_auth.idx);
    uint32_t& last_seq = add ? m_add_seq : m_remove_seq;
    uint32_t& last_idx = add ? m_add_idx : m_remove_idx;
    if (seq == last_seq && idx == last_idx)
        return;
    last_seq = seq;
    last_idx = idx;

    // Only whole entries that arrived, and at most the record's fifty.
    uint32_t total = q820_get_le32(auth->d.card_auth.total_card);
    uint32_t whole = uint32_t(length - entries_at) / sizeof(__q820_card_entry_t);
    if (whole > Q820_CARD_PAGE)
        whole = Q820_CARD_PAGE;
    if (total > whole) {
        fprintf(stderr, "__q820::%s total_card %u cut to %u\n", what, total, whole);
        total = whole;
    }

    dxml doc;
    int n = 0;
    char key[32];
    for (uint32_t i = 0; i < total; i++) {
        const __q820_card_entry_t& e = auth->d.card_auth.data[i];
        uint32_t card = q820_get_be32(e.card);
        if (card == 0)
            continue;
        snprintf(key, sizeof(key), "/params/c%d/d", n);
        doc.setInt(key, int32_t(card));
        if (add) {
            snprintf(key, sizeof(key), "/params/c%d/b", n);
            doc.setInt(key, q820_host_field(e.host, 1, 4));
            snprintf(key, sizeof(key), "/params/c%d/u", n);
            doc.setInt(key, q820_host_field(e.host, 5, 2));
            snprintf(key, sizeof(key), "/params/c%d/f", n);
            doc.setInt(key, q820_host_field(e.host, 7, 2));
            snprintf(key, sizeof(key), "/params/c%d/r", n);
            doc.setInt(key, q820_host_field(e.host, 9, 2));
        }
        snprintf(key, sizeof(key), "/params/c%d/a", n);
        doc.setInt(key, add ? 1 : 0);
        n++;
    }
    doc.setInt("/params/total", n);
    dmsg req;
    req.request("/ui/center/card2", doc.data());
}

void __q820::card_auth(const __q820_msg_t* auth, int length)
{
    card_post(auth, length, true);
}

void __q820::card_remove(const __q820_msg_t* auth, int length)
{
    card_post(auth, length, false);
}

void __q820::card_sync()
{
    q820_card_data_t* table = new (std::nothrow) q820_card_data_t;
    if (!table) {
        fprintf(stderr, "__q820::card_sync no memory\n");
        return;
    }
    int count = q820_load_card(table, Q820_CARD_FILE);

    uint8_t buf[Q820_RECV] = {};
    __q820_msg_t* page = reinterpret_cast<__q820_msg_t*>(buf);
    fill_head(&page->head, Q820_CMD_CARD_SYNC, Q820_ANSWER);
    auto& a = page->d.card_auth;
    if (count == 0) {
        q820_put_le32(a.seq, m_upload_seq++);
        q820_put_le32(a.max, 1);
        q820_put_le32(a.idx, 1);
        send_packet(buf, Q820_PACKET);
        delete table;
        return;
    }

    const int entries_at = offsetof(__q820_msg_t, d.card_auth.data);
    int pages = (count + Q820_CARD_PAGE - 1) / Q820_CARD_PAGE;
    q820_put_le32(a.total, uint32_t(count));
    q820_put_le32(a.max, uint32_t(pages));
    for (int idx = 1; idx <= pages; idx++) {
        int first = (idx - 1) * Q820_CARD_PAGE;
        int n = count - first < Q820_CARD_PAGE ? count - first : Q820_CARD_PAGE;
        q820_put_le32(a.seq, m_upload_seq++);
        q820_put_le32(a.total_card, uint32_t(n));
        q820_put_le32(a.idx, uint32_t(idx));
        // Unused entries go out as zeros, never as cards of the page before.
        memset(a.data, 0, sizeof(a.data));
        for (int i = 0; i < n; i++) {
            const auto& c = table->d[first + i];
            q820_put_be32(a.data[i].card, c.card);
            snprintf(a.data[i].host, sizeof(a.data[i].host), "S%04d%02d%02d%02d0", c.build, c.unit,
                     c.floor, c.family);
        }
        int size = entries_at + int(sizeof(__q820_card_entry_t)) * n;
        send_packet(buf, size < Q820_PACKET ? Q820_PACKET : size);
        if (idx % 4 == 3)
            usleep(10000);
    }
    delete table;
}
