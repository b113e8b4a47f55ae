#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vsim {

// One ioctl that reached the emulated GPIO driver.
struct GpioCall {
    unsigned long request;  // request code as issued
    int cmd;                // 1 start ... 7 pull, 0x80 version query, 0 unknown
    std::string main;
    std::string sub;
    int data;      // as the caller passed it
    int64_t t_us;  // CLOCK_MONOTONIC, microseconds, when the caller issued it
    int result;    // 0, or -1 when the driver refused it
};

// The board's GPIO character device /dev/gpio, in either driver version: version 0
// takes the plain request codes 1 to 7 and fails the version query, version 1 and
// later answer the query and take the sized codes 0xC0444401 to 0xC0444407.
class GpioEmu {
public:
    explicit GpioEmu(int version);

    void set_version(int version);
    std::vector<GpioCall> calls() const;
    void clear();
    int value(const std::string& main, const std::string& sub) const;  // last set, -1 none
    void set_input(const std::string& main, const std::string& sub, int value);  // for get
    void fail(const std::string& main, const std::string& sub, bool failing);

    // Serves one request from the interposition library: arg holds the request record
    // (68 bytes) or, for the version query, one int. Returns the ioctl result and sets
    // *err (when given) on failure; a failed request leaves the record as it was.
    int handle(unsigned long request, void* arg, int64_t t_us, int* err = nullptr);

private:
    mutable std::mutex m_mutex;
    int m_version;
    std::vector<GpioCall> m_calls;
    std::map<std::string, int> m_values;
    std::map<std::string, int> m_inputs;
    std::map<std::string, bool> m_failing;
};

}  // namespace vsim
