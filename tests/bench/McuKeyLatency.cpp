// Latency from a key frame written on the MCU's pty to its message at the user
// interface, through the real daemon in the sandbox: one key at a time, and a burst
// of five keys in one write.
#include <atomic>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "BusPeer.h"
#include "McuEmu.h"
#include "Sandbox.h"

namespace {

struct Terminal {
    bool w350;
    vsim::McuEmu* mcu;
    vsim::BusPeer* ui;
    std::atomic<int64_t>* written;  // when the last key or raw write's first byte went out
    const char* path;
};

void key_latency(benchmark::State& state, Terminal t)
{
    int key = 0;
    for (auto _ : state) {
        size_t from = t.ui->messages().size();
        t.written->store(0);
        t.mcu->press_key(key);
        vsim::BusMessage m;
        if (!t.ui->wait(t.path, &m, 3000, from)) {
            state.SkipWithError("no message at the user interface");
            break;
        }
        // The emulator logs the write on its own thread, possibly after the answer.
        vsim::wait_until([&] { return t.written->load() != 0; }, 1000);
        state.SetIterationTime(double(m.t_us - t.written->load()) / 1e6);
        key = (key + 1) % 10;
    }
}

void burst_latency(benchmark::State& state, Terminal t)
{
    const uint8_t sync = t.w350 ? 0xA5 : 0xA7;
    for (auto _ : state) {
        std::vector<uint8_t> chunk;
        for (int k = 0; k < 5; k++) {
            std::vector<uint8_t> f = t.w350 ? vsim::McuEmu::frame(sync, 3, {uint8_t(k)})
                                            : vsim::McuEmu::frame(sync, 2, {uint8_t(k), 1});
            chunk.insert(chunk.end(), f.begin(), f.end());
        }
        size_t from = t.ui->messages().size();
        t.written->store(0);
        t.mcu->send_raw(chunk);
        bool all = vsim::wait_until([&] { return t.ui->messages().size() >= from + 5; }, 5000);
        if (!all) {
            state.SkipWithError("the burst did not arrive whole");
            break;
        }
        vsim::wait_until([&] { return t.written->load() != 0; }, 1000);
        state.SetIterationTime(double(t.ui->messages()[from + 4].t_us - t.written->load()) / 1e6);
    }
}

int run_variant(bool w350)
{
    return vsim::Sandbox::run(vsim::Options(), [w350](vsim::Sandbox& sb) {
        if (w350)
            sb.write("/vesko/bin/limit", "970");
        vsim::BusPeer ui(9801);
        std::unique_ptr<vsim::McuEmu> mcu(new vsim::McuEmu(sb.serial("/dev/ttyS3"), "/dev/ttyS3", w350));
        std::atomic<int64_t> written(0);
        const int key_code = w350 ? 3 : 2;
        mcu->set_frame_callback([&](const vsim::McuFrame& f) {
            if (!f.to_mcu && (f.code == key_code || f.code == -1))
                written.store(f.t_us);
        });
        // The standard variant shows the link connected by asking for the MCU's kind.
        if (!ui.ok() || sb.start_daemon() <= 0 || !mcu->wait_frame(w350 ? 176 : 139, 15000))
            return 1;

        Terminal t = {w350, mcu.get(), &ui, &written, w350 ? "/ui/w350/key" : "/ui/key/mcu"};
        std::string name = w350 ? "w350" : "standard";
        benchmark::RegisterBenchmark(("KeyToUi/" + name).c_str(), key_latency, t)->UseManualTime()->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("FiveKeyBurstToUi/" + name).c_str(), burst_latency, t)->UseManualTime()->Unit(benchmark::kMicrosecond);
        benchmark::RunSpecifiedBenchmarks();
        mcu->set_frame_callback(nullptr);
        return 0;
    });
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    for (bool w350 : {false, true}) {
        int rc = run_variant(w350);
        if (rc != 0)
            return rc;
    }
    return 0;
}
