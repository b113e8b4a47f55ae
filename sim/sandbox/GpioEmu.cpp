#include "GpioEmu.h"

#include <errno.h>
#include <string.h>

namespace vsim {

namespace {

const unsigned long k_version_query = 0xC0044480ul;
const unsigned long k_sized_base = 0xC0444400ul;  // read-write, type 'D', size 68
const int k_name_size = 32;
const int k_record_size = 68;
const int k_data_offset = 64;
static_assert(k_data_offset + sizeof(int) == k_record_size, "record layout");

// The command a request code stands for in either driver version.
int command_of(unsigned long request)
{
    if (request >= 1 && request <= 7)
        return static_cast<int>(request);
    if (request > k_sized_base && request <= k_sized_base + 7)
        return static_cast<int>(request - k_sized_base);
    if (request == k_version_query)
        return 0x80;
    return 0;
}

bool is_sized(unsigned long request)
{
    return request > 0xff;
}

std::string name_of(const char* field, bool* terminated)
{
    size_t n = strnlen(field, k_name_size);
    *terminated = n < static_cast<size_t>(k_name_size);
    return std::string(field, n);
}

std::string key(const std::string& main, const std::string& sub)
{
    return main + '\n' + sub;
}

int refuse(int* err, int e)
{
    if (err)
        *err = e;
    return -1;
}

}  // namespace

GpioEmu::GpioEmu(int version) : m_version(version)
{
}

void GpioEmu::set_version(int version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = version;
}

std::vector<GpioCall> GpioEmu::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void GpioEmu::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

int GpioEmu::value(const std::string& main, const std::string& sub) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key(main, sub));
    return it == m_values.end() ? -1 : it->second;
}

void GpioEmu::set_input(const std::string& main, const std::string& sub, int value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inputs[key(main, sub)] = value;
}

void GpioEmu::fail(const std::string& main, const std::string& sub, bool failing)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failing[key(main, sub)] = failing;
}

int GpioEmu::handle(unsigned long request, void* arg, int64_t t_us, int* err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    GpioCall call{request, command_of(request), "", "", 0, t_us, -1};
    // The old driver knows only the plain codes; newer ones only the sized codes.
    bool known = call.cmd != 0 && (m_version >= 1 ? is_sized(request) : !is_sized(request));

    if (call.cmd == 0x80) {
        memcpy(&call.data, arg, sizeof(call.data));
        if (known) {
            memcpy(arg, &m_version, sizeof(m_version));
            call.result = 0;
        }
        m_calls.push_back(call);
        return known ? 0 : refuse(err, ENOTTY);
    }
    if (call.cmd == 0) {
        m_calls.push_back(call);
        return refuse(err, ENOTTY);
    }

    char* record = static_cast<char*>(arg);
    bool main_ok = false;
    bool sub_ok = false;
    call.main = name_of(record, &main_ok);
    call.sub = name_of(record + k_name_size, &sub_ok);
    memcpy(&call.data, record + k_data_offset, sizeof(call.data));
    auto failing = m_failing.find(key(call.main, call.sub));
    int e = 0;
    if (!known)
        e = ENOTTY;
    else if (!main_ok || !sub_ok)
        e = EINVAL;
    else if (failing != m_failing.end() && failing->second)
        e = EIO;
    if (e != 0) {
        m_calls.push_back(call);
        return refuse(err, e);
    }

    const std::string k = key(call.main, call.sub);
    if (call.cmd == 4 || call.cmd == 6) {  // set, and a regulator's voltage
        m_values[k] = call.data;
    } else if (call.cmd == 5) {
        auto in = m_inputs.find(k);
        auto out = m_values.find(k);
        int v = in != m_inputs.end() ? in->second : out != m_values.end() ? out->second : 0;
        memcpy(record + k_data_offset, &v, sizeof(v));
    }
    call.result = 0;
    m_calls.push_back(call);
    return 0;
}

}  // namespace vsim
