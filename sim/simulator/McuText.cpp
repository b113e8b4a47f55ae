#include "McuText.h"

#include <stdio.h>
#include <string.h>

namespace vsim {

namespace {

// The door-station keypad in index order.
const char kKeys[] = "ABCD147*2580369#";

std::string onoff(int v)
{
    if (v == 0)
        return "off";
    if (v == 1)
        return "on";
    return "on (" + std::to_string(v) + ")";
}

int u16(const std::vector<uint8_t>& p)
{
    return p[0] | (p[1] << 8);
}

std::string bits(int state)
{
    std::string out;
    for (int i = 0; i < 8; i++)
        if (state & (1 << i))
            out += (out.empty() ? "" : " ") + std::to_string(i);
    return out.empty() ? "none" : out;
}

std::string list(const std::vector<uint8_t>& p)
{
    std::string out;
    for (size_t i = 0; i < p.size(); i++)
        out += (i ? " " : "") + std::to_string(p[i]);
    return out;
}

// Codes that both variants share: heartbeat, version and the RS485 pass-through.
bool common(bool to_mcu, int code, const std::vector<uint8_t>& p, std::string* out)
{
    size_t n = p.size();
    switch (code) {
    case 176:
        *out = n ? McuText::hex(p) : "";
        return true;
    case 177:
        if (to_mcu || n < 3)
            *out = n ? McuText::hex(p) : "";
        else
            *out = "version " + std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]);
        return true;
    case 128:
        *out = std::to_string(n) + " bytes: " + McuText::hex(p);
        return true;
    case 129:
        if (n < 2)
            return false;
        *out = "parity " + std::to_string(p[0]) + " speed " + std::to_string(p[1]);
        return true;
    case 130:
        if (n < 1)
            return false;
        *out = "mode " + std::to_string(p[0]);
        return true;
    }
    return false;
}

bool door(bool to_mcu, int code, const std::vector<uint8_t>& p, std::string* out)
{
    size_t n = p.size();
    switch (code) {
    case 1:   // boot
    case 85:  // IR presence
    case 97:  // Ethernet reset
        *out = n ? McuText::hex(p) : "";
        return true;
    case 2:
        *out = "wiegand " + McuText::hex(p);
        return true;
    case 3:
        if (n < 1)
            return false;
        if (McuText::key_label(p[0]).empty())
            *out = "index " + std::to_string(p[0]) + " (no such key)";
        else
            *out = "key " + McuText::key_label(p[0]) + " (index " + std::to_string(p[0]) + ")";
        return true;
    case 4:
    case 5:
    case 9:
    case 80:
        if (n < 1)
            return false;
        *out = std::to_string(p[0]);
        return true;
    case 6:
    case 10:
        if (n < 1)
            return false;
        *out = onoff(p[0]);
        return true;
    case 11:
        if (n < 2)
            return false;
        *out = "index " + std::to_string(p[0]) + " " + onoff(p[1]);
        return true;
    case 65:
        if (n < 1)
            return false;
        char buf[40];
        snprintf(buf, sizeof(buf), "state 0x%02X (bits %s)", p[0], bits(p[0]).c_str());
        *out = buf;
        return true;
    case 66:
    case 84:
        if (n < 2)
            return false;
        *out = "io " + std::to_string(p[0]) + " value " + std::to_string(p[1]);
        return true;
    case 83:
        if (n < 2)
            return false;
        *out = std::to_string(u16(p));
        return true;
    case 87:
        if (to_mcu) {
            if (n < 1)
                return false;
            *out = "period " + std::to_string(p[0]);
        } else {
            if (n < 2)
                return false;
            *out = "reading " + std::to_string(int16_t(u16(p)));
        }
        return true;
    }
    return false;
}

bool standard(bool to_mcu, int code, const std::vector<uint8_t>& p, std::string* out)
{
    size_t n = p.size();
    switch (code) {
    case 1:
        *out = to_mcu ? (n ? McuText::hex(p) : "") : "inputs " + list(p);
        return true;
    case 2:
        if (n < 2)
            return false;
        *out = "key " + std::to_string(p[0]) + (p[1] ? " down" : " up");
        if (p[1] > 1)
            *out += " (" + std::to_string(p[1]) + ")";
        return true;
    case 3:
        if (n < 2)
            return false;
        *out = "led " + std::to_string(p[0]) + " " + onoff(p[1]);
        return true;
    case 4:
    case 140:
        if (n < 1)
            return false;
        *out = onoff(p[0]);
        return true;
    case 48:
        if (n < 1)
            return false;
        *out = "mode " + std::to_string(p[0]);
        return true;
    case 49:
        if (n < 2)
            return false;
        *out = std::to_string(u16(p));
        return true;
    case 50:
        if (n < 2)
            return false;
        *out = "io " + std::to_string(p[0]) + " value " + std::to_string(p[1]);
        return true;
    case 64:
        if (n < 2)
            return false;
        *out = "index " + std::to_string(p[0]) + " " + onoff(p[1]);
        return true;
    case 112:
        if (n < 1)
            return false;
        *out = "rate code " + std::to_string(p[0]);
        return true;
    case 113:
    case 138:
    case 160:
        *out = n ? McuText::hex(p) : "";
        return true;
    case 139:
        if (to_mcu || n < 1)
            *out = n ? McuText::hex(p) : "";
        else
            *out = "kind " + std::to_string(p[0]);
        return true;
    case 144:
        if (to_mcu) {
            if (n < 2)
                return false;
            *out = "offset " + std::to_string(p[0]) + " length " + std::to_string(p[1]);
        } else {
            *out = std::to_string(n) + " bytes: " + McuText::hex(p);
        }
        return true;
    case 145:
        if (n < 1)
            return false;
        *out = "offset " + std::to_string(p[0]) + ": " +
               McuText::hex(std::vector<uint8_t>(p.begin() + 1, p.end()));
        return true;
    }
    return false;
}

}  // namespace

std::string McuText::describe(bool w350, bool to_mcu, int code, const std::vector<uint8_t>& payload)
{
    std::string out;
    if (common(to_mcu, code, payload, &out))
        return out;
    if (w350 ? door(to_mcu, code, payload, &out) : standard(to_mcu, code, payload, &out))
        return out;
    return payload.empty() ? std::string() : hex(payload);
}

std::string McuText::hex(const std::vector<uint8_t>& bytes, size_t max)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i == max) {
            out += " ...";
            break;
        }
        snprintf(b, sizeof(b), "%02X", bytes[i]);
        out += (i ? " " : "") + std::string(b);
    }
    return out;
}

std::string McuText::key_label(int index)
{
    if (index < 0 || index >= int(sizeof(kKeys) - 1))
        return std::string();
    return std::string(1, kKeys[index]);
}

int McuText::key_index(const std::string& label)
{
    if (label.size() != 1)
        return -1;
    char c = label[0];
    if (c >= 'a' && c <= 'd')
        c = char(c - 'a' + 'A');
    const char* at = c ? strchr(kKeys, c) : nullptr;
    return at ? int(at - kKeys) : -1;
}

}  // namespace vsim
