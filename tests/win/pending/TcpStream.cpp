// Stand-in until src/platform/win/TcpStream.cpp exists: nothing connects.
#include "platform/TcpStream.h"

namespace talvik {

CTcpStream::CTcpStream() = default;
CTcpStream::~CTcpStream() = default;
CTcpStream::ConnectResult CTcpStream::StartConnect(uint32_t, uint16_t, uint32_t) {
    return ConnectResult::kFailed;
}
bool CTcpStream::ConnectSucceeded() {
    return false;
}
CTcpStream::WaitResult CTcpStream::Wait(bool, uint32_t, bool) {
    return WaitResult::kFailed;
}
long CTcpStream::SendSome(const char*, size_t) {
    return -1;
}
long CTcpStream::ReceiveSome(uint8_t*, size_t) {
    return -1;
}
void CTcpStream::Wake() {}
void CTcpStream::DrainWake() {}
void CTcpStream::Close() {}

}  // namespace talvik
