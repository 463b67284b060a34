// Cost per RTP packet of the receive path after the socket: parsing, the
// queue hand-over to the delivery thread, and (for comparison) the whole path
// from a loopback socket.
//   cmake --build build --target bench_rtp_queue && build/bench/bench_rtp_queue
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/Debug.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiver.h"

namespace {

using namespace talvik;

class NullLogger : public IDebugMessage {
public:
    std::string GetSourceName() override { return "bench"; }
    void DebugMessage(uint32_t, const char*, ...) override {}
};

class CountingUser : public IRTPReceiverUser {
public:
    void OnRTPPacket(const IPv4Endpoint&, const CRTPPacket& packet) override {
        bytes.fetch_add(packet.payloadLength, std::memory_order_relaxed);
        delivered.fetch_add(1, std::memory_order_release);
    }
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> bytes{0};
};

// A 1080p H.264 FU-A packet: 12-byte header and 1400 bytes of payload.
std::vector<uint8_t> MakePacket(uint16_t seq) {
    std::vector<uint8_t> p(1412);
    p[0] = 0x80;
    p[1] = 96;
    p[2] = uint8_t(seq >> 8);
    p[3] = uint8_t(seq);
    for (size_t i = 12; i < p.size(); ++i)
        p[i] = uint8_t(i);
    p[12] = 0x7C;  // FU indicator
    p[13] = 0x05;  // FU header: IDR slice
    return p;
}

// False when the packets stop arriving (a datagram lost in the kernel).
bool WaitDelivered(const CountingUser& user, uint64_t n) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (user.delivered.load(std::memory_order_acquire) < n) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::yield();
    }
    return true;
}

void BM_Parse(benchmark::State& state) {
    const std::vector<uint8_t> data = MakePacket(1);
    CRTPPacket packet;
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.Parse(data.data(), data.size()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Parse);

struct OpenReceiver {
    NullLogger logger;
    CountingUser user;
    CRTPReceiver receiver{&logger};
    IPv4Endpoint sender{IPv4Address(127, 0, 0, 1), 0};
    bool Open() {
        receiver.SetUser(&user);
        return receiver.Open(false, 0);
    }
};

// The socket thread's share: parse, copy and queue one datagram (batches of
// 1000; the delivery thread's drain between batches is not timed).
void BM_ParseAndQueue(benchmark::State& state) {
    OpenReceiver r;
    if (!r.Open()) {
        state.SkipWithError("cannot open a UDP port");
        return;
    }
    IRTPClient* client = r.receiver.GetClient();
    const std::vector<uint8_t> data = MakePacket(1);
    uint64_t sent = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            r.receiver.OnRTPData(client, r.sender, data.data(), data.size());
        }
        sent += 1000;
        state.PauseTiming();
        WaitDelivered(r.user, sent);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(sent));
    state.counters["ns_per_packet"] =
        benchmark::Counter(double(sent), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["dropped"] = double(r.receiver.GetDroppedCount());
}
BENCHMARK(BM_ParseAndQueue)->Unit(benchmark::kMicrosecond);

// Parse and queue on the calling thread, deliver on the receiver's thread,
// both running: packets per second through the whole hand-over.
void BM_ParseQueueDeliver(benchmark::State& state) {
    OpenReceiver r;
    if (!r.Open()) {
        state.SkipWithError("cannot open a UDP port");
        return;
    }
    IRTPClient* client = r.receiver.GetClient();
    const std::vector<uint8_t> data = MakePacket(1);
    uint64_t sent = 0;
    for (auto _ : state) {
        r.receiver.OnRTPData(client, r.sender, data.data(), data.size());
        // Bounded lead so that the queue never reaches its limit.
        if (++sent % 1024 == 0) WaitDelivered(r.user, sent);
    }
    WaitDelivered(r.user, sent);
    state.SetItemsProcessed(int64_t(sent));
    state.counters["dropped"] = double(r.receiver.GetDroppedCount());
}
BENCHMARK(BM_ParseQueueDeliver)->UseRealTime();

// The same through a loopback UDP socket (kernel send and receive included).
void BM_LoopbackSocketToUser(benchmark::State& state) {
    NullLogger logger;
    CountingUser user;
    CRTPReceiver receiver(&logger);
    receiver.SetUser(&user);
    if (!receiver.Open(false, 0)) {
        state.SkipWithError("cannot open a UDP port");
        return;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(receiver.GetPort());
    const std::vector<uint8_t> data = MakePacket(1);
    uint64_t sent = 0;
    for (auto _ : state) {
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (++sent % 64 == 0 && !WaitDelivered(user, sent)) {
            state.SkipWithError("datagrams lost in the kernel");
            break;
        }
    }
    WaitDelivered(user, sent);
    state.SetItemsProcessed(int64_t(sent));
    close(fd);
    receiver.Close();
}
BENCHMARK(BM_LoopbackSocketToUser)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
