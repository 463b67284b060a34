#include "rtsp/RTPReceiver.h"

#include <algorithm>
#include <chrono>

#include "ThreadCancel.h"
#include "base/Debug.h"
#include "base/Text.h"
#include "platform/Clock.h"
#include "rtsp/UDPClient.h"

namespace talvik {

namespace {

// Milliseconds of the monotonic clock at tick resolution: read for every
// packet, where the precise clock would cost more than the rest of the push.
uint64_t CoarseNowMs() {
    return CoarseMonotonicMs();
}

}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* logger) : CBaseThread(logger), logger_(logger) {}

CRTPReceiver::~CRTPReceiver() {
    Close();
    StopThread(2000);
}

void CRTPReceiver::CreateClient() {
    CUDPClient* udp = new CUDPClient(logger_);
    // Set before the socket thread starts, which reads them once.
    udp->SetReceiveBufferSize(kReceiveBufferSize);
    udp->SetWaitTimeout(kWaitTimeoutMs);
    udp->SetSocketReceiveBuffer(kSocketReceiveBuffer);
    udp->SetCoalesceFrames(true);
    client_.Reset(udp);
}

bool CRTPReceiver::OpenMulticast(const char* group, uint16_t port, uint32_t localInterface) {
    Close();
    CreateClient();
    IRTPClient* client = client_.Get();
    activeClient_ = client;
    if (client == nullptr || !client->OpenMulticast(this, group, port, localInterface) ||
        !StartQueue(client->GetPort())) {
        Close();
        return false;
    }
    return true;
}

bool CRTPReceiver::Open(bool keepClient, uint16_t port) {
    if (!keepClient || !client_) {
        Close();
        CreateClient();
    }
    IRTPClient* client = client_.Get();
    activeClient_ = client;
    if (client == nullptr || !client->Open(this, port) || !StartQueue(client->GetPort())) {
        Close();
        return false;
    }
    return true;
}

bool CRTPReceiver::StartQueue(uint16_t port) {
    ClearQueue();
    if (queueRunning_) return true;
    // A thread that a stop left running must not be woken into a second life.
    if (ThreadLingers()) return false;
    stopping_ = false;
    queueRunning_ = StartThread(FormatString("RTP Packet Queue (%hu)", port));
    return queueRunning_;
}

// The delivery thread outlives a close: a reconnect never waits for a user
// (and the host behind it) still busy with a packet. It ends at StopThread.
void CRTPReceiver::Close() {
    activeClient_ = nullptr;
    if (IRTPClient* client = client_.Get()) {
        client->Close();
        client_.Reset();
    }
    // The socket thread is gone; a burst it left open ends here.
    inBurst_ = false;
    wakeOwed_ = false;
    ClearQueue();
}

uint16_t CRTPReceiver::GetPort() {
    IRTPClient* client = client_.Get();
    return client != nullptr ? client->GetPort() : 0;
}

size_t CRTPReceiver::GetQueuedCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

void CRTPReceiver::SetMemoryBudget(CMemoryBudget* budget) {
    ClearQueue();
    std::lock_guard<std::mutex> guard(lock_);
    budget_ = budget;
}

void CRTPReceiver::ClearQueue() {
    std::deque<PacketPtr> dropped;
    {
        std::lock_guard<std::mutex> guard(lock_);
        dropped.swap(queue_);
        queuedBytes_ = 0;
        budget_->Release(queuedCharge_);
        queuedCharge_ = 0;
        budgetFull_ = false;
        // Packets already taken for delivery belong to the cleared queue too.
        generation_.fetch_add(1, std::memory_order_relaxed);
    }
}

void CRTPReceiver::OnRTPData(IRTPClient* client, const IPv4Endpoint& sender, const uint8_t* data,
                             size_t length) {
    if (client == nullptr || client != activeClient_) return;
    // Parsed and copied here, outside the lock, so the queue thread is never held up.
    PacketPtr queued = std::move(next_);
    if (!queued) queued.reset(new QueuedPacket);
    queued->sender = sender;
    if (!queued->packet.Parse(data, length) || Stopping() || !Push(queued, length)) {
        next_ = std::move(queued);
    }
}

int CRTPReceiver::GetReceiveSlots(IRTPClient* client, UdpSlot* slots, int count, size_t size) {
    if (client == nullptr || client != activeClient_ || size <= CRTPPacket::kFixedHeaderSize)
        return 0;
    count = std::min(count, int(CUdpSocket::kMaxBatch));
    bool missing = false;
    for (int i = 0; i < count; ++i) {
        if (!slots_[i] && next_) slots_[i] = std::move(next_);
        missing = missing || !slots_[i];
    }
    if (missing) {
        std::lock_guard<std::mutex> guard(lock_);
        for (int i = 0; i < count && !spare_.empty(); ++i) {
            if (slots_[i]) continue;
            slots_[i] = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    const size_t body = size - CRTPPacket::kFixedHeaderSize;
    for (int i = 0; i < count; ++i) {
        if (!slots_[i]) slots_[i].reset(new QueuedPacket);
        QueuedPacket& packet = *slots_[i];
        // Grows only past the largest datagram so far; a recycled packet
        // clears just the bytes beyond its last payload.
        packet.packet.payload.resize(body);
        slots[i].head = packet.head;
        slots[i].headSize = sizeof packet.head;
        slots[i].body = packet.packet.payload.data();
        slots[i].bodySize = body;
    }
    return count;
}

void CRTPReceiver::OnRTPSlotData(IRTPClient* client, const IPv4Endpoint& sender, int slot,
                                 size_t length) {
    if (client == nullptr || client != activeClient_ || slot < 0 ||
        slot >= int(CUdpSocket::kMaxBatch) || !slots_[slot]) {
        return;
    }
    PacketPtr& queued = slots_[slot];
    queued->sender = sender;
    // On any failure the packet stays in its slot for the next datagram.
    if (!queued->packet.ParseReceived(queued->head, length) || Stopping()) return;
    Push(queued, length);
}

bool CRTPReceiver::Push(PacketPtr& queued, size_t length) {
    const bool marker = queued->packet.marker != 0;
    // Within a burst the datagrams are microseconds apart: its start time serves.
    const uint64_t nowMs = inBurst_ ? burstStartMs_ : CoarseNowMs();
    bool wake = false;
    bool budgetRunStarts = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (queue_.size() >= maxPackets_ || queuedBytes_ + length > maxBytes_) {
            ++dropped_;
            return false;
        }
        const size_t charge = sizeof(QueuedPacket) + queued->packet.payload.capacity();
        // Within a run of drops nothing is taken until the queue has drained:
        // what is delivered then ends where the run began.
        if ((budgetFull_ && !queue_.empty()) || !budget_->TryCharge(charge, queuedCharge_)) {
            ++dropped_;
            budgetRunStarts = !budgetFull_;
            budgetFull_ = true;
        } else {
            budgetFull_ = false;
            queued->charged = charge;
            queuedCharge_ += charge;
            queued->bytes = length;
            queuedBytes_ += length;
            queue_.push_back(std::move(queued));
            if (deliveryWaiting_ &&
                (marker || queue_.size() >= kWakeBatch || nowMs - lastPushMs_ >= kBurstGapMs)) {
                deliveryWaiting_ = false;
                wake = true;
            }
            lastPushMs_ = nowMs;
            if (!next_ && !spare_.empty()) {
                next_ = std::move(spare_.back());
                spare_.pop_back();
            }
        }
    }
    if (queued) {
        if (budgetRunStarts) LogBudgetFull();
        return false;
    }
    if (!wake) return true;
    // Woken at the burst's end instead: the socket thread is about to sleep
    // then, so the delivery thread does not preempt it in the middle.
    if (inBurst_) {
        wakeOwed_ = true;
        return true;
    }
    WakeDelivery();
    return true;
}

// Once per run of drops: the run ends when the queue has drained and a
// packet fits again.
void CRTPReceiver::LogBudgetFull() {
    if (logger_ == nullptr) return;
    logger_->DebugMessage(kLevelWarning,
                          "%s: The buffers of all streams are at their limit of %u KiB: RTP "
                          "packets of device %s are dropped until its queue has drained",
                          "talvik::CRTPReceiver::Push", unsigned(budget_->Limit() >> 10),
                          logger_->GetSourceName().c_str());
}

void CRTPReceiver::OnRTPBurst(IRTPClient*, bool begins) {
    inBurst_ = begins;
    if (begins) burstStartMs_ = CoarseNowMs();
    if (begins || !wakeOwed_) return;
    wakeOwed_ = false;
    WakeDelivery();
}

void CRTPReceiver::WakeDelivery() {
    {
        std::lock_guard<std::mutex> guard(wakeMutex_);
        wakePending_ = true;
    }
    // Outside the mutex, so the woken thread does not block on it at once.
    wakeCondition_.notify_one();
}

void CRTPReceiver::WaitForWake(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(wakeMutex_);
    wakeCondition_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [this] { return wakePending_ || Stopping(); });
    wakePending_ = false;
}

bool CRTPReceiver::StopThread(uint32_t timeoutMs) {
    queueRunning_ = false;
    stopping_ = true;
    WakeDelivery();
    return CBaseThread::StopThread(timeoutMs);
}

uint32_t CRTPReceiver::PopBatch(std::vector<PacketPtr>& batch) {
    std::lock_guard<std::mutex> guard(lock_);
    size_t charged = 0;
    while (!queue_.empty() && batch.size() < kPopBatch) {
        queuedBytes_ -= queue_.front()->bytes;
        charged += queue_.front()->charged;
        queue_.front()->charged = 0;
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    queuedCharge_ -= charged;
    budget_->Release(charged);
    deliveryWaiting_ = batch.empty();
    return generation_.load(std::memory_order_relaxed);
}

void CRTPReceiver::Recycle(std::vector<PacketPtr>& batch) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (PacketPtr& packet : batch) {
            if (spare_.size() >= kMaxSparePackets ||
                packet->packet.payload.capacity() > kMaxSparePayload) {
                break;
            }
            spare_.push_back(std::move(packet));
        }
    }
    batch.clear();  // frees what was not kept, outside the lock
}

void CRTPReceiver::Run() {
    std::vector<PacketPtr> batch;
    batch.reserve(kPopBatch);
    while (!Stopping()) {
        const uint32_t generation = PopBatch(batch);
        if (batch.empty()) {
            // A push after the pop sees the waiting mark and signals; a signal
            // that raced the pop stays pending, so no wake-up is lost.
            WaitForWake(kIdleWaitMs);
            if (StopRequested()) break;
            continue;
        }
        for (const PacketPtr& packet : batch) {
            if (Stopping() || generation_.load(std::memory_order_relaxed) != generation) break;
            IRTPReceiverUser* user = user_;
            if (user == nullptr) continue;
            try {
                user->OnRTPPacket(packet->sender, packet->packet);
            } catch (...) {
                RethrowThreadCancellation();
            }
        }
        Recycle(batch);
    }
    ClearQueue();
}

}  // namespace talvik
