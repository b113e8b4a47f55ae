#include "__sys.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "__q820.h"
#include "dxml.h"
#include "sys_board.h"

static const char SYS_ETH_WIFI_XML[] = "/vesko/cfg/eth_wifi.xml";
static const char SYS_ETH_WIFI_TMP[] = "/vesko/cfg/eth_wifi.xml.tmp";
static const char SYS_ETH_WIFI_STATE[] = "/var/etc/eth_wifi";

// Copies at most size - 1 characters. The last byte of the member is never written,
// so a reader on another thread always finds a terminator while the text changes.
static void sys_copy_text(char* dst, size_t size, const char* src)
{
    if (!src)
        return;
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

static void sys_load_int(dxml& doc, const char* key, int* member)
{
    *member = doc.getInt(key, *member);
}

static void sys_load_text(dxml& doc, const char* key, char* member, size_t size)
{
    sys_copy_text(member, size, doc.getText(key));
}

static int sys_clamp(int v, int lo, int hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

__sys::__sys()
{
    memset(&m_data, 0, sizeof(m_data));
    m_data.talk.building = 1;
    m_data.talk.unit = 1;
    m_data.talk.floor = 11;
    m_data.talk.family = 11;
    m_data.talk.dcode = 0;
    sys_copy_text(m_data.talk.sync, sizeof(m_data.talk.sync), "740918");
    sys_copy_text(m_data.talk.server, sizeof(m_data.talk.server), "192.168.12.40");
    sys_copy_text(m_data.talk.passwd, sizeof(m_data.talk.passwd), "740918");
    m_data.talk.enable = 1;
    m_data.talk.onu_arp = 0;
    m_data.talk.q210 = 0;
    m_data.panel.mode = 0;
    m_data.panel.index = 1;
    memset(m_url, 0, sizeof(m_url));
    sys_copy_text(m_url, sizeof(m_url), "/vesko/cfg/sys.xml");
    m_eIO = 0;
    m_eth_wifi = 0;
    m_talk_net = 0;
    memset(m_identity, 0, sizeof(m_identity));
}

void __sys::setTalkSync(const char* v)
{
    sys_copy_text(m_data.talk.sync, sizeof(m_data.talk.sync), v);
}

void __sys::setTalkServer(const char* v)
{
    sys_copy_text(m_data.talk.server, sizeof(m_data.talk.server), v);
}

void __sys::setTalkPasswd(const char* v)
{
    sys_copy_text(m_data.talk.passwd, sizeof(m_data.talk.passwd), v);
}

bool __sys::load()
{
    bool ok;
    {
        dxml doc;
        ok = doc.loadFile(m_url);
        if (!ok) {
            fprintf(stderr, "__sys::load err!\n");
        } else {
            sys_t& d = m_data;
            sys_load_int(doc, "/sys/talk/building", &d.talk.building);
            sys_load_int(doc, "/sys/talk/unit", &d.talk.unit);
            sys_load_int(doc, "/sys/talk/floor", &d.talk.floor);
            sys_load_int(doc, "/sys/talk/family", &d.talk.family);
            sys_load_int(doc, "/sys/talk/dcode", &d.talk.dcode);
            sys_load_text(doc, "/sys/talk/sync", d.talk.sync, sizeof(d.talk.sync));
            sys_load_text(doc, "/sys/talk/server", d.talk.server, sizeof(d.talk.server));
            sys_load_text(doc, "/sys/talk/passwd", d.talk.passwd, sizeof(d.talk.passwd));
            sys_load_int(doc, "/sys/talk/cms_enable", &d.talk.enable);
            sys_load_int(doc, "/sys/talk/onu_arp", &d.talk.onu_arp);
            sys_load_int(doc, "/sys/talk/q210", &d.talk.q210);
            sys_load_int(doc, "/sys/panel/mode", &d.panel.mode);
            sys_load_int(doc, "/sys/panel/index", &d.panel.index);
        }
    }
    loadEx();
    buildIdentity();
    q820.set_id(m_identity);
    return ok;
}

void __sys::loadEx()
{
    // Each file gets a fresh document: a missing one must give the default, never a
    // value of the file read before it.
    {
        dxml doc;
        doc.loadFile(m_url);
        m_talk_net = doc.getInt("/sys/talk/net", 0);
    }
    {
        dxml doc;
        doc.loadFile("/vesko/bin/eMode.xml");
        m_eIO = doc.getInt("/sys/io", 0);
    }
    int eth_wifi;
    {
        dxml doc;
        doc.loadFile(SYS_ETH_WIFI_XML);
        eth_wifi = doc.getInt("/sys/eth_wifi", 0);
    }
    m_eth_wifi = sys_qding ? 1 : eth_wifi;
    publishEthWifi();
}

void __sys::setEthWifi(int val)
{
    // Written beside the old file and renamed over it, so that a power cut leaves
    // either the old mode or the new one, never a truncated file.
    dxml doc;
    doc.setInt("/sys/eth_wifi", val);
    if (doc.saveFile(SYS_ETH_WIFI_TMP)) {
        if (rename(SYS_ETH_WIFI_TMP, SYS_ETH_WIFI_XML) < 0) {
            perror("__sys::setEthWifi rename");
            unlink(SYS_ETH_WIFI_TMP);
        }
    }
    system("sync");
    m_eth_wifi = val;
    publishEthWifi();
}

void __sys::publishEthWifi()
{
    int fd = open(SYS_ETH_WIFI_STATE, O_WRONLY | O_CREAT | O_TRUNC, 0777);
    if (fd < 0)
        return;
    char text[16];
    int n = snprintf(text, sizeof(text), "%d\n", m_eth_wifi);
    write(fd, text, n);
    fchmod(fd, 0777);
    close(fd);
}

// The server reads the identity by position, so every field keeps its width: a value
// beyond it is held at the nearest value that fits instead of shifting the fields
// behind it.
void __sys::buildIdentity()
{
    const sys_t& d = m_data;
    int building = sys_clamp(d.talk.building, 0, 9999);
    int unit = sys_clamp(d.talk.unit, 0, 99);
    int floor = sys_clamp(d.talk.floor, 0, 99);
    int family = sys_clamp(d.talk.family, 0, 99);
    int index = d.panel.index;
    char id[64];
    if (sys_mode == SYS_PANEL) {
        if (d.panel.mode == 0)
            snprintf(id, sizeof(id), "M%04d%02d%c0000", building, unit, sys_clamp(index, 1, 10) + 47);
        else if (d.panel.mode == 1)
            snprintf(id, sizeof(id), "W00%02d", sys_clamp(index, 0, 99));
        else
            snprintf(id, sizeof(id), "H%04d%02d%02d%02d%d", building, unit, floor, family,
                     sys_clamp(index, 1, 10) - 1);
    } else {
        snprintf(id, sizeof(id), "S%04d%02d%02d%02d%c", building, unit, floor, family,
                 sys_clamp(d.talk.dcode, 0, 9) + 48);
    }
    sys_copy_text(m_identity, sizeof(m_identity), id);
}
