#pragma once

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "McuEmu.h"
#include "Sandbox.h"

namespace mcutest {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<std::pair<std::string, std::string>> Fields;

inline std::string hex(const Bytes& b)
{
    std::string s;
    char t[4];
    for (uint8_t v : b) {
        snprintf(t, sizeof(t), "%02X ", v);
        s += t;
    }
    return s;
}

// The keys of a bus body under its root "params", in document order.
inline Fields fields(const std::string& body)
{
    Fields out;
    std::regex element("<([A-Za-z0-9_]+)>([^<]*)</\\1>");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), element); it != std::sregex_iterator(); ++it)
        out.emplace_back((*it)[1].str(), (*it)[2].str());
    return out;
}

inline const int64_t kCycleUs = 11 * 1000000LL;

// Moves the wall clock past one supervision cycle until cond holds: the daemon notes
// the cycle's start at a moment the test cannot see, so a step that lands before it
// is repeated.
inline bool advance_until(vsim::Sandbox& sb, const std::function<bool()>& cond, int tries = 4)
{
    for (int i = 0; i < tries; i++) {
        sb.clock_advance(kCycleUs);
        if (vsim::wait_until(cond, 1500))
            return true;
    }
    return false;
}

inline size_t count_text(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        n++;
    return n;
}

// Reports restarts and returns the widest gap seen between the RS485 mode command
// and the line-setting command that follow each, or -1 when one did not come. The
// MCU's side can only time arrivals, and a late read of the first frame narrows one
// gap, not all of them.
inline int64_t widest_restart_gap(vsim::McuEmu& mcu, int restarts, vsim::McuFrame* mode, vsim::McuFrame* line)
{
    int64_t widest = -1;
    for (int i = 0; i < restarts; i++) {
        size_t from = mcu.received_count(-1);
        if (!mcu.reboot() || !mcu.wait_frame(130, 3000, mode, from) || !mcu.wait_frame(129, 3000, line, from))
            return -1;
        widest = std::max(widest, line->t_us - mode->t_us);
    }
    return widest;
}

// The door-station product variant.
inline void make_door_station(vsim::Sandbox& sb)
{
    sb.write("/vesko/bin/limit", "970");
}

}  // namespace mcutest
