#include "rtsp/RTPReceiver.h"

#include <cxxabi.h>

#include "base/Text.h"
#include "rtsp/UDPClient.h"

namespace talvik {

CRTPReceiver::CRTPReceiver(IDebugMessage* logger) : CBaseThread(logger), logger_(logger) {}

CRTPReceiver::~CRTPReceiver() {
    Close();
}

void CRTPReceiver::CreateClient() {
    CUDPClient* udp = new CUDPClient(logger_);
    // Set before the socket thread starts, which reads them once.
    udp->SetReceiveBufferSize(kReceiveBufferSize);
    udp->SetWaitTimeout(kWaitTimeoutMs);
    udp->SetSocketReceiveBuffer(kSocketReceiveBuffer);
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
    stopping_ = false;
    return StartThread(FormatString("RTP Packet Queue (%hu)", port));
}

void CRTPReceiver::Close() {
    stopping_ = true;
    StopEvent().Set();
    activeClient_ = nullptr;
    if (IRTPClient* client = client_.Get()) {
        client->Close();
        client_.Reset();
    }
    ClearQueue();
    StopThread(2000);
}

uint16_t CRTPReceiver::GetPort() {
    IRTPClient* client = client_.Get();
    return client != nullptr ? client->GetPort() : 0;
}

size_t CRTPReceiver::GetQueuedCount() {
    CLockGuard guard(lock_);
    return queue_.size();
}

void CRTPReceiver::ClearQueue() {
    std::deque<PacketPtr> dropped;
    {
        CLockGuard guard(lock_);
        dropped.swap(queue_);
        queuedBytes_ = 0;
    }
}

void CRTPReceiver::OnRTPData(IRTPClient* client, const sockaddr_in& sender, const uint8_t* data,
                             size_t length) {
    if (client == nullptr || client != activeClient_) return;
    // Parsed and copied here, outside the lock, so the queue thread is never held up.
    PacketPtr queued(new QueuedPacket);
    queued->sender = sender;
    if (!queued->packet.Parse(data, length)) return;
    if (Stopping()) return;
    {
        CLockGuard guard(lock_);
        if (queue_.size() >= maxPackets_ || queuedBytes_ + length > maxBytes_) {
            ++dropped_;
            return;
        }
        queued->bytes = length;
        queuedBytes_ += length;
        queue_.push_back(std::move(queued));
    }
    queueEvent_.Set();
}

CRTPReceiver::PacketPtr CRTPReceiver::Pop(size_t& remaining) {
    CLockGuard guard(lock_);
    PacketPtr packet;
    if (!queue_.empty()) {
        packet = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= packet->bytes;
    }
    remaining = queue_.size();
    return packet;
}

void CRTPReceiver::Run() {
    CEvent* events[] = {&StopEvent(), &queueEvent_};
    while (!Stopping()) {
        size_t remaining = 0;
        PacketPtr packet = Pop(remaining);
        if (!packet) {
            // Empty: sleep until the next push. A push that raced the pop left
            // the event signalled, so no wake-up is lost.
            if (WaitAny(events, 2, 1000) == 0) break;
            continue;
        }
        IRTPReceiverUser* user = user_;
        if (user == nullptr) continue;
        try {
            user->OnRTPPacket(packet->sender, packet->packet);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
        }
    }
    ClearQueue();
}

}  // namespace talvik
