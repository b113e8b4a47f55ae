#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace vsim {

// The meaning of an MCU frame's payload as a person reads it ("on", "key 5 (index 9)",
// "version 1.2.3"), for either variant and direction. Payloads too short for what a
// code carries, and codes without a known payload, are shown as hex bytes.
class McuText {
public:
    static std::string describe(bool w350, bool to_mcu, int code, const std::vector<uint8_t>& payload);
    // "A5 05 00 B0 10": the bytes in hex, at most max of them, then "..." when cut.
    static std::string hex(const std::vector<uint8_t>& bytes, size_t max = 32);
    // The label of a door-station key index ("5" for index 9), empty when out of range.
    static std::string key_label(int index);
    // The index of a door-station key label, -1 for no key.
    static int key_index(const std::string& label);
};

}  // namespace vsim
