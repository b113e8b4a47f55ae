// Cost of one emulated device request (a GPIO set over the device server's socket)
// and of a wall-clock read through the interposition library.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "DeviceServer.h"
#include "sGpio.h"
#include "vsim_proto.h"

namespace {

void BM_GpioRequest(benchmark::State& state)
{
    char tmpl[] = "/tmp/vsim-benchXXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("mkdtemp");
        return;
    }
    std::string dir = tmpl;
    vsim::GpioEmu gpio(1);
    auto server = std::make_unique<vsim::DeviceServer>(dir);
    if (!server->add_gpio(gpio) || !server->start()) {
        state.SkipWithError("device server");
        return;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, server->gpio_path().c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        state.SkipWithError("connect");
        return;
    }
    struct {
        vsim_request head;
        sunxi_ctrl_t record;
    } req = {};
    req.head = {VSIM_MAGIC, 0xC0444404u, 0, sizeof(sunxi_ctrl_t), 0};
    strcpy(req.record.main, "rk");
    strcpy(req.record.sub, "lock");
    char answer[sizeof(vsim_answer) + sizeof(sunxi_ctrl_t)];
    for (auto _ : state) {
        send(fd, &req, sizeof(req.head) + sizeof(req.record), MSG_NOSIGNAL);
        size_t got = 0;
        while (got < sizeof(answer)) {
            ssize_t n = recv(fd, answer + got, sizeof(answer) - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got != sizeof(answer)) {
            state.SkipWithError("answer");
            break;
        }
        if (gpio.calls().size() > 100000)
            gpio.clear();
    }
    close(fd);
    server.reset();
    rmdir(dir.c_str());
}
BENCHMARK(BM_GpioRequest);

void BM_WallClockRead(benchmark::State& state)
{
    for (auto _ : state) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_WallClockRead);

}  // namespace

BENCHMARK_MAIN();
