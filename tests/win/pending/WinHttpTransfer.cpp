// Stand-in until src/platform/win/WinHttpTransfer.cpp exists: no transfer.
#include "platform/HttpTransfer.h"

namespace talvik {
namespace Web {

std::unique_ptr<IHttpTransfer> CreateHttpTransfer() {
    return nullptr;
}

}  // namespace Web
}  // namespace talvik
