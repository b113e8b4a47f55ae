#pragma once

// The system configuration: talk identity, server address, switches, the
// Ethernet/Wi-Fi mode and the extended-IO switch.

struct sys_t {
    struct {
        int building;
        int unit;
        int floor;
        int family;
        int dcode;
        char sync[16];
        char server[32];
        char passwd[32];
        int enable;
        int onu_arp;
        int q210;
    } talk;
    struct {
        int mode;
        int index;
    } panel;
};

enum { SYS_IDENTITY_MAX = 20 };

class __sys {
public:
    __sys();

    bool load();
    void loadEx();
    void setEthWifi(int val);

    // The identity string under which the terminal reports to the building server,
    // as built by the last load(); empty before the first. Every field is kept within
    // its width, so the text never exceeds SYS_IDENTITY_MAX characters.
    const char* identity() const { return m_identity; }

    int getTalkBuilding() const { return m_data.talk.building; }
    void setTalkBuilding(int v) { m_data.talk.building = v; }
    int getTalkUnit() const { return m_data.talk.unit; }
    void setTalkUnit(int v) { m_data.talk.unit = v; }
    int getTalkFloor() const { return m_data.talk.floor; }
    void setTalkFloor(int v) { m_data.talk.floor = v; }
    int getTalkFamily() const { return m_data.talk.family; }
    void setTalkFamily(int v) { m_data.talk.family = v; }
    int getTalkDcode() const { return m_data.talk.dcode; }
    void setTalkDcode(int v) { m_data.talk.dcode = v; }
    const char* getTalkSync() const { return m_data.talk.sync; }
    void setTalkSync(const char* v);
    const char* getTalkServer() const { return m_data.talk.server; }
    void setTalkServer(const char* v);
    const char* getTalkPasswd() const { return m_data.talk.passwd; }
    void setTalkPasswd(const char* v);
    int getTalkCmsEnable() const { return m_data.talk.enable; }
    void setTalkCmsEnable(int v) { m_data.talk.enable = v; }
    int getTalkOnuArp() const { return m_data.talk.onu_arp; }
    void setTalkOnuArp(int v) { m_data.talk.onu_arp = v; }
    int getTalkQ210() const { return m_data.talk.q210; }
    void setTalkQ210(int v) { m_data.talk.q210 = v; }
    int getPanelMode() const { return m_data.panel.mode; }
    void setPanelMode(int v) { m_data.panel.mode = v; }
    int getPanelIndex() const { return m_data.panel.index; }
    void setPanelIndex(int v) { m_data.panel.index = v; }

    sys_t m_data;
    char m_url[64];
    int m_eIO;
    int m_eth_wifi;
    int m_talk_net;

private:
    void buildIdentity();
    void publishEthWifi();

    char m_identity[SYS_IDENTITY_MAX + 1];
};

extern __sys sys;
