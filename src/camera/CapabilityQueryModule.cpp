#include "camera/CapabilityQueryModule.h"

#include <atomic>
#include <new>

#include "ThreadCancel.h"
#include "base/Event.h"
#include "camera/ArecontCameraProperties.h"

namespace talvik {

namespace {

// An address with a port, a path, credentials or shell and URL punctuation is
// not a host name.
const char kForbiddenAddressCharacters[] = "@#$%^&*(){}[]/\\+=|:;,~'!?\"";

}  // namespace

struct CCapabilityQueryModule::WorkerState {
    enum Phase : int { kReading, kReporting, kLeft };
    std::atomic<int64_t> exitCode{-1};
    // Settles the worker's report against its owner giving up on it: of the
    // two exchanges, the second knows whether the host hears from the worker
    // (its result) or from the owner (OnTerminated).
    std::atomic<int> phase{kReading};
};

CCapabilityQueryModule::CCapabilityQueryModule(ICapabilityQueryCallback* callback,
                                               bool videoStandard)
    : videoStandard_(videoStandard), callback_(callback) {
    device_.address.clear();
    device_.userName.clear();
    device_.password.clear();
    device_.port = 80;
    device_.timeoutMs = 5000;
    device_.dataTimeoutMs = 5000;
}

CCapabilityQueryModule::~CCapabilityQueryModule() {
    WaitForThreadEnd();
}

TSmartPtr<CBaseCameraProperties> CCapabilityQueryModule::TakePropertiesReference() {
    std::lock_guard<std::mutex> guard(propertiesGuard_);
    return properties_;
}

uint32_t CCapabilityQueryModule::StartQuery(const char* address, uint16_t port, const char* user,
                                            const char* password, ICapabilityStore* store) {
    try {
        CLockGuard guard(lock_);
        if (thread_.HasThread()) return 0;  // one query per instance
        store_ = store;
        if (address == nullptr || user == nullptr || password == nullptr) return 0;
        device_.address = address;
        device_.port = port;
        device_.userName = user;
        device_.password = password;
        if (device_.timeoutMs == 0) return 0;

        TSmartPtr<CBaseCameraProperties> properties(CreateCameraProperties());
        if (!properties) return 0;
        {
            std::lock_guard<std::mutex> propertiesGuard(propertiesGuard_);
            properties_ = std::move(properties);
        }

        auto state = std::make_shared<WorkerState>();
        // The body holds the state alive past a deletion of the module by
        // its callback; the module itself may be gone once the callback ran.
        const bool started = thread_.Start([this, state] {
            uint32_t exitCode = 0;
            try {
                FetchCapabilities(*state);
            } catch (...) {
                RethrowThreadCancellation();
                exitCode = kWorkerFailedExitCode;
            }
            state->exitCode.store(exitCode);
        });
        if (!started) return 0;
        worker_ = std::move(state);
        return 1;
    } catch (...) {
        RethrowThreadCancellation();
        return 0;
    }
}

void CCapabilityQueryModule::StopQuery() {
    try {
        TSmartPtr<CBaseCameraProperties> properties = TakePropertiesReference();
        if (properties) properties->Cancel();
    } catch (...) {
        RethrowThreadCancellation();
        // Cancelling is best effort; the read then runs to its end.
    }
}

int64_t CCapabilityQueryModule::WorkerExitCode() const {
    return worker_ ? worker_->exitCode.load() : -1;
}

void CCapabilityQueryModule::FetchCapabilities(WorkerState& state) {
    // All the worker needs from the instance is taken now: the read may
    // outlast the instance (its owner then gives up on the worker).
    const bool validAddress =
        device_.address.find_first_of(kForbiddenAddressCharacters) == std::string::npos;
    TSmartPtr<CBaseCameraProperties> properties;
    if (validAddress) properties = TakePropertiesReference();
    ICapabilityStore* const store = store_;
    ICapabilityQueryCallback* const callback = callback_;
    std::string message;
    uint32_t code = 3;
    bool succeeded = false;
    const bool read = properties && store != nullptr && properties->ReadFromDevice(code);
    // Given up on: the host has been told so and is told nothing more.
    if (state.phase.exchange(WorkerState::kReporting) == WorkerState::kLeft) return;
    if (!validAddress) {
        message = "Failed to start capability fetching thread. Device address is invalid!";
        code = 0;
    } else if (!properties || store == nullptr) {
        message = "Failed to start capability fetching thread. Internal error occurs";
    } else if (read) {
        if (properties->WriteCapabilities(store)) {
            succeeded = true;
        } else {
            message = "Failed to save capability query results";
        }
    } else {
        const std::string extra = properties->GetErrorText();
        message = "Failed to get camera properties";
        switch (code) {
            case 1:
                message += extra.empty() ? ", login failed (invalid credentials)" : ": " + extra;
                break;
            case 2:
                message += ", device is offline or is located in unaccessible subnet";
                break;
            case 3:
                if (!extra.empty()) message += ": " + extra;
                break;
            default:
                break;
        }
    }
    // The host may delete the instance from inside the call.
    if (callback == nullptr) return;
    if (succeeded) {
        callback->OnCompleted();
    } else {
        callback->OnFailed(code, message.c_str());
    }
}

void CCapabilityQueryModule::WaitForThreadEnd() {
    StopQuery();
    bool givenUp = false;
    {
        CLockGuard guard(lock_);
        if (thread_.HasThread()) {
            if (thread_.CalledFromOwnThread()) {
                // Deleted from inside the callback: the worker ends right
                // after it returns, and nobody is left to join it (the module
                // stays loaded until it has).
                thread_.Detach();
            } else if (!thread_.Stop(2 * device_.timeoutMs, nullptr)) {
                // Left to end by itself, holding its own reference to the
                // properties. Once its report into the host's store has
                // begun, that report is the host's outcome and is waited for.
                givenUp = worker_->phase.exchange(WorkerState::kLeft) == WorkerState::kReading;
                if (!givenUp) thread_.WaitFinished(kInfinite);
            }
        }
        std::lock_guard<std::mutex> propertiesGuard(propertiesGuard_);
        properties_.Reset();
    }
    if (givenUp && callback_ != nullptr) {
        try {
            callback_->OnTerminated();
        } catch (...) {
            RethrowThreadCancellation();
            // The host's exception must not leave the destructor.
        }
    }
}

CArecontCapabilityQueryModule::~CArecontCapabilityQueryModule() {
    WaitForThreadEnd();
}

CBaseCameraProperties* CArecontCapabilityQueryModule::CreateCameraProperties() {
    try {
        return new CArecontCameraProperties(Device(), VideoStandard() ? 1 : 0);
    } catch (...) {
        RethrowThreadCancellation();
        return nullptr;
    }
}

// Module-wide instance of the Init/Start/Terminate/Uninit exports. The guard
// keeps a Terminate from racing an Uninit; the deletion itself runs outside
// it, so that a callback may call the exports while the worker is waited for.
namespace {
std::mutex g_moduleQueryGuard;
CCapabilityQueryModule* g_moduleQuery = nullptr;
}  // namespace

uint32_t InitModuleQuery(ICapabilityQueryCallback* callback, uint32_t videoStandard) {
    std::lock_guard<std::mutex> guard(g_moduleQueryGuard);
    if (g_moduleQuery != nullptr) return 0;
    try {
        g_moduleQuery = new CArecontCapabilityQueryModule(callback, videoStandard != 0);
    } catch (...) {
        RethrowThreadCancellation();
        g_moduleQuery = nullptr;  // out of memory still answers 1, with no instance
    }
    return 1;
}

uint32_t StartModuleQuery(const char* address, uint16_t port, const char* user,
                          const char* password, ICapabilityStore* store) {
    std::lock_guard<std::mutex> guard(g_moduleQueryGuard);
    if (address == nullptr || user == nullptr || password == nullptr) return 0;
    if (g_moduleQuery == nullptr) return 0;
    return g_moduleQuery->StartQuery(address, port, user, password, store);
}

uint32_t TerminateModuleQuery() {
    std::lock_guard<std::mutex> guard(g_moduleQueryGuard);
    if (g_moduleQuery != nullptr) g_moduleQuery->StopQuery();
    return 1;
}

uint32_t UninitModuleQuery() {
    CCapabilityQueryModule* query = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_moduleQueryGuard);
        query = g_moduleQuery;
        g_moduleQuery = nullptr;
    }
    delete query;
    return 1;
}

}  // namespace talvik
