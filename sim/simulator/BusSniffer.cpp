#include "BusSniffer.h"

#include <pcap/pcap.h>
#include <stdio.h>
#include <stdlib.h>

#include "BusPeer.h"

namespace vsim {

namespace {

uint16_t be16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

}  // namespace

BusSniffer::BusSniffer(int port) : m_port(port)
{
    char err[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* p = pcap_create("lo", err);
    if (!p) {
        m_error = err;
        return;
    }
    // Bus datagrams are short text; the buffer timeout keeps the trace live.
    if (pcap_set_snaplen(p, 65535) != 0 || pcap_set_timeout(p, 10) != 0 || pcap_set_immediate_mode(p, 1) != 0 ||
        pcap_activate(p) < 0) {
        m_error = pcap_geterr(p);
        pcap_close(p);
        return;
    }
    char filter[64];
    snprintf(filter, sizeof(filter), "udp port %d", port);
    bpf_program prog;
    if (pcap_datalink(p) != DLT_EN10MB || pcap_compile(p, &prog, filter, 1, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(p, &prog) != 0 || pcap_setnonblock(p, 1, err) != 0) {
        m_error = pcap_datalink(p) != DLT_EN10MB ? "the loopback interface has no Ethernet framing" : pcap_geterr(p);
        pcap_close(p);
        return;
    }
    pcap_freecode(&prog);
    m_pcap = p;
}

BusSniffer::~BusSniffer()
{
    if (m_pcap)
        pcap_close(m_pcap);
}

bool BusSniffer::decode(const uint8_t* frame, size_t length, int port, BusPacket* out)
{
    // Ethernet header, then IPv4 with its own header length, then UDP.
    if (length < 14 + 20 + 8 || be16(frame + 12) != 0x0800)
        return false;
    const uint8_t* ip = frame + 14;
    size_t ihl = size_t(ip[0] & 0x0F) * 4;
    if ((ip[0] >> 4) != 4 || ihl < 20 || ip[9] != 17 || length < 14 + ihl + 8)
        return false;
    size_t total = be16(ip + 2);
    if (total < ihl + 8 || 14 + total > length)
        return false;
    const uint8_t* udp = ip + ihl;
    int src = be16(udp), dst = be16(udp + 2);
    size_t udp_len = be16(udp + 4);
    if (udp_len < 8 || udp_len > total - ihl)
        return false;
    if (src != port && dst != port)
        return false;
    std::string payload(reinterpret_cast<const char*>(udp + 8), udp_len - 8);
    out->answer = src == port;
    out->peer_port = out->answer ? dst : src;
    if (out->answer) {
        BusMessage m;
        out->code = bus_parse(payload, &m) ? atoi(m.path.c_str()) : 0;
        out->has_body = m.has_body;
        out->body = m.body;
        return true;
    }
    BusMessage m;
    if (!bus_parse(payload, &m))
        m.path = "(no request line)";
    out->path = m.method == "POST" || m.method.empty() ? m.path : m.method + " " + m.path;
    out->has_body = m.has_body;
    out->body = m.body;
    return true;
}

void BusSniffer::poll(const std::function<void(const BusPacket&)>& fn)
{
    if (!m_pcap)
        return;
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(m_pcap, &h, &data) == 1) {
        BusPacket p;
        if (!decode(data, h->caplen, m_port, &p))
            continue;
        p.host_us = int64_t(h->ts.tv_sec) * 1000000 + h->ts.tv_usec;
        if (p.answer) {
            auto it = m_pending.find(p.peer_port);
            if (it != m_pending.end()) {
                p.path = it->second;
                m_pending.erase(it);
            }
        } else {
            if (m_pending.size() >= MAX_PENDING)
                m_pending.erase(m_pending.begin());
            m_pending[p.peer_port] = p.path;
        }
        fn(p);
    }
}

}  // namespace vsim
