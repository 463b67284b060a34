// Receives RTP over UDP: parses each datagram on the socket thread, queues it,
// and hands the packets in arrival order to its user on a thread of its own,
// so that depacketising never holds up the socket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Event.h"
#include "base/MemoryBudget.h"
#include "base/SmartPtr.h"
#include "base/Thread.h"
#include "rtsp/RTPClient.h"
#include "rtsp/RTPPacket.h"

namespace talvik {

class IDebugMessage;

class IRTPReceiverUser {
public:
    virtual ~IRTPReceiverUser() = default;
    // On the receiver thread, in arrival order; the packet is valid only during the call.
    virtual void OnRTPPacket(const IPv4Endpoint& sender, const CRTPPacket& packet) = 0;
    // Not called by the receiver.
    virtual void OnRTPReceiverReserved1() {}
    virtual void OnRTPReceiverReserved2() {}
};

class CRTPReceiver : public IRTPClientUser, public CBaseThread {
public:
    // The queue is bounded: at either limit the newest datagram is dropped
    // (and counted), the packets already queued keep their order. Queued
    // packets are charged to the process's buffer budget too: when it is
    // full, every new datagram is dropped until the queue has drained, so
    // that the parser meets one gap and waits for the next key frame.
    static constexpr size_t kMaxQueuedPackets = 8192;
    static constexpr size_t kMaxQueuedBytes = 32 * 1024 * 1024;
    static constexpr uint32_t kReceiveBufferSize = 1536;
    static constexpr uint32_t kWaitTimeoutMs = 2000;
    // A key frame arrives as one burst: over a hundred datagrams at 1080p, up
    // to 1.8 MB at 2592x1944 and 40 Mbit/s. The socket must hold a whole one
    // while its thread is off the processor (a 15.6 ms tick on a busy Windows
    // host); Windows grants what is asked, where Linux doubles it.
    static constexpr uint32_t kSocketReceiveBuffer = 2 * 1024 * 1024;
    // The delivery thread is woken for the packet that ends a frame (the
    // marker), for the first packet after a pause, or once this many wait;
    // other packets ride along, so a frame costs one wake-up, not one per
    // packet. Anything left waits at most kIdleWaitMs.
    static constexpr size_t kWakeBatch = 256;
    static constexpr uint32_t kBurstGapMs = 100;
    static constexpr uint32_t kIdleWaitMs = 250;

    explicit CRTPReceiver(IDebugMessage* logger);
    ~CRTPReceiver() override;

    void SetUser(IRTPReceiverUser* user) { user_ = user; }
    // The delivery thread starts with the first open and ends only at
    // StopThread (or destruction): a reopen keeps it.
    bool OpenMulticast(const char* group, uint16_t port, uint32_t localInterface);
    // keepClient: reuse the present UDP client instead of creating a new one.
    bool Open(bool keepClient, uint16_t port);
    // Closes the UDP client and drops the queued packets, including those
    // taken for delivery but not yet delivered; the delivery thread stays.
    void Close();
    uint16_t GetPort();
    // The UDP client whose datagrams are accepted (null when closed); lets a
    // benchmark feed datagrams without the socket.
    IRTPClient* GetClient() const { return activeClient_; }

    // Lower limits, for tests of a full queue.
    void SetQueueLimits(size_t packets, size_t bytes) {
        maxPackets_ = packets;
        maxBytes_ = bytes;
    }
    // The budget the queued packets are charged to (the process's by
    // default); set while closed, for tests of a full budget.
    void SetMemoryBudget(CMemoryBudget* budget);
    // Datagrams dropped because the queue or the budget was full, since construction.
    uint64_t GetDroppedCount() const { return dropped_; }
    size_t GetQueuedCount();

    void OnRTPData(IRTPClient* client, const IPv4Endpoint& sender, const uint8_t* data,
                   size_t length) override;
    void OnRTPTimeout(IRTPClient*) override {}
    void OnRTPClientClosed(IRTPClient*) override {}
    // Within a burst the wake-up of the delivery thread waits for its end.
    void OnRTPBurst(IRTPClient* client, bool begins) override;
    // Datagrams are read straight into queued packets: the fixed header
    // beside the packet, the rest into its payload, which keeps it.
    int GetReceiveSlots(IRTPClient* client, UdpSlot* slots, int count, size_t size) override;
    void OnRTPSlotData(IRTPClient* client, const IPv4Endpoint& sender, int slot,
                       size_t length) override;

    // Also wakes the delivery thread, which does not wait on the stop event.
    bool StopThread(uint32_t timeoutMs) override;

protected:
    void Run() override;

private:
    struct QueuedPacket {
        IPv4Endpoint sender;
        size_t bytes = 0;    // datagram size, for the queue's byte limit
        size_t charged = 0;  // what the packet holds, charged to the budget
        CRTPPacket packet;
        uint8_t head[CRTPPacket::kFixedHeaderSize];  // read beside the payload
    };
    using PacketPtr = std::unique_ptr<QueuedPacket>;
    // Packets taken from the queue under one lock.
    static constexpr size_t kPopBatch = 256;
    // Delivered packets kept for reuse, so that a running stream allocates nothing.
    static constexpr size_t kMaxSparePackets = 256;
    static constexpr size_t kMaxSparePayload = 16 * 1024;

    void CreateClient();
    // Mirrors the stop event for the per-packet checks.
    bool Stopping() const { return stopping_.load(std::memory_order_acquire); }
    bool StartQueue(uint16_t port);
    void ClearQueue();
    // Queues a parsed packet of `length` datagram bytes; false (the packet
    // left in `packet`) when the queue or the budget is full.
    bool Push(PacketPtr& packet, size_t length);
    void LogBudgetFull();
    // Moves up to kPopBatch packets into batch; with none queued, marks the
    // delivery thread as about to wait. Returns the queue's generation.
    uint32_t PopBatch(std::vector<PacketPtr>& batch);
    void Recycle(std::vector<PacketPtr>& batch);
    void WakeDelivery();
    // Returns when woken, stopping, or after timeoutMs.
    void WaitForWake(uint32_t timeoutMs);

    IDebugMessage* logger_;
    TSmartPtr<IRTPClient> client_;
    // The client whose datagrams are accepted; read on the socket thread.
    std::atomic<IRTPClient*> activeClient_{nullptr};
    std::atomic<IRTPReceiverUser*> user_{nullptr};
    // A plain mutex: taken twice per packet, never recursively, and the
    // recursive lock's owner check costs a thread-local look-up each time.
    std::mutex lock_;
    std::deque<PacketPtr> queue_;
    size_t queuedBytes_ = 0;
    CMemoryBudget* budget_ = &CMemoryBudget::Process();
    size_t queuedCharge_ = 0;  // of the budget, for the packets in queue_
    bool budgetFull_ = false;  // dropping until the queue drains
    std::vector<PacketPtr> spare_;
    bool deliveryWaiting_ = false;  // the delivery thread wants a wake-up
    uint64_t lastPushMs_ = 0;       // coarse monotonic clock: only gaps of kBurstGapMs matter
    // The next packet to fill, and those offered as receive slots; touched
    // only by the thread that feeds datagrams.
    PacketPtr next_;
    PacketPtr slots_[CUdpSocket::kMaxBatch];
    // Feeding thread only: inside a burst (and since when), and a wake-up
    // owed at its end.
    bool inBurst_ = false;
    uint64_t burstStartMs_ = 0;
    bool wakeOwed_ = false;
    // The delivery thread's wake-up: a set flag and one futex call on each
    // side, where an event waited on together with the stop event costs
    // several calls and often a second sleep on the event's own lock.
    std::mutex wakeMutex_;
    std::condition_variable wakeCondition_;
    bool wakePending_ = false;  // under wakeMutex_
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> stopping_{true};
    bool queueRunning_ = false;  // owner's side: the delivery thread was started and not stopped
    // Counts clears of the queue, so that a batch popped before one is dropped.
    std::atomic<uint32_t> generation_{0};
    std::atomic<size_t> maxPackets_{kMaxQueuedPackets};
    std::atomic<size_t> maxBytes_{kMaxQueuedBytes};
};

}  // namespace talvik
