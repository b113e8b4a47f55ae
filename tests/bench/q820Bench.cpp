// The server link's costs, in a sandbox with the building server emulated on the LAN:
// the upload of a full card store (100000 cards, 2000 pages, 500 pauses of 10 ms that
// alone take 5 s), reading that store, and one heartbeat exchange.

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <memory>
#include <new>
#include <string>

#include "Sandbox.h"
#include "ServerEmu.h"
#include "__q820.h"
#include "__sys.h"

namespace {

const char SERVER[] = "192.168.12.40";
const char TERMINAL[] = "192.168.12.100";

vsim::ServerEmu* g_server = nullptr;

std::string card_store(int n)
{
    std::string text;
    char line[64];
    for (int i = 0; i < n; i++) {
        snprintf(line, sizeof(line), "%d-%d-%d-%d %d\n", i % 10000, i % 100, (i / 7) % 100, (i / 3) % 100,
                 1000000 + i);
        text += line;
    }
    return text;
}

void BM_CardUpload100000(benchmark::State& state)
{
    for (auto _ : state) {
        int uploads = g_server->card_uploads();
        q820.card_sync();
        state.PauseTiming();
        // Every page has arrived before the next round, so rounds do not overlap.
        vsim::wait_until([&] { return g_server->card_uploads() > uploads; }, 30000);
        g_server->clear();
        state.ResumeTiming();
    }
    state.counters["pages"] = 2000;
    state.counters["pauses_s"] = 5.0;
}
BENCHMARK(BM_CardUpload100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_CardStoreRead100000(benchmark::State& state)
{
    std::unique_ptr<q820_card_data_t> table(new q820_card_data_t);
    int n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(n = q820_load_card(table.get(), Q820_CARD_FILE));
    if (n != Q820_CARD_MAX)
        state.SkipWithError("the store did not read whole");
}
BENCHMARK(BM_CardStoreRead100000)->Unit(benchmark::kMillisecond);

void BM_HeartbeatExchange(benchmark::State& state)
{
    for (auto _ : state)
        q820.heartbeat();
    if (q820.m_timeout != 29)
        state.SkipWithError("the heartbeats were not answered");
    g_server->clear();
}
BENCHMARK(BM_HeartbeatExchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    vsim::Options options;
    vsim::Interface eth0;
    eth0.name = "eth0";
    eth0.address = std::string(TERMINAL) + "/24";
    eth0.peer = std::string(SERVER) + "/24";
    options.interfaces.push_back(eth0);
    return vsim::Sandbox::run(options, [](vsim::Sandbox& sb) {
        if (!sb.write(Q820_CARD_FILE, card_store(Q820_CARD_MAX)))
            return 1;
        vsim::ServerEmu server(sb, SERVER, TERMINAL);
        if (!server.ok() || q820.start() < 0)
            return 1;
        sys.setTalkServer(SERVER);
        q820.set_id("S00010203041");
        g_server = &server;
        benchmark::RunSpecifiedBenchmarks();
        g_server = nullptr;
        return 0;
    });
}
