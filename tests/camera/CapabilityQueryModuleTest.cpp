// The query's worker, its outcomes as the host's callback sees them, and the
// lifetime rules: one query per instance, stop, delete while running, delete
// from inside the callback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CapabilityStore.h"
#include "base/Event.h"
#include "camera/ArecontCameraProperties.h"
#include "camera/CapabilityQueryModule.h"
#include "platform/OsThread.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

using namespace talvik;
using talvik_host::CCapabilityStore;
using talvik_test::FakeCamera;
using Calls = std::vector<std::string>;

namespace {

constexpr uint32_t kWaitMs = 20000;  // generous: only a broken query takes this long

// Records what the module reported; deletes `owner` first when set, as a
// host may from inside the callback.
class RecordingCallback : public ICapabilityQueryCallback {
public:
    void OnCompleted() override { Record("completed"); }
    void OnFailed(uint32_t code, const char* message) override {
        Record("failed " + std::to_string(code) + ": " + (message ? message : "(null)"));
    }
    void OnTerminated() override { Record("terminated"); }
    Calls Recorded() {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

    CCapabilityQueryModule* owner = nullptr;
    CManualEvent done;

private:
    void Record(const std::string& call) {
        delete std::exchange(owner, nullptr);
        std::lock_guard<std::mutex> guard(mutex_);
        calls_.push_back(call);
        done.Set();
    }
    std::mutex mutex_;
    Calls calls_;
};

// Properties whose read fails with a chosen code and extra text.
struct FailingProperties : CBaseCameraProperties {
    FailingProperties(uint32_t code, std::string text)
        : CBaseCameraProperties({}, 0), code(code), text(std::move(text)) {}
    bool WriteCustomProperties(ICapabilityStore*) override { return true; }
    bool ReadFromDevice(uint32_t& errorCode) override {
        errorCode = code;
        return false;
    }
    std::string GetErrorText() override { return text; }
    const uint32_t code;
    const std::string text;
};

// The Arecont query over a fake camera, or over properties that fail when
// `failCode` is set.
class FakeCameraQuery : public CCapabilityQueryModule {
public:
    FakeCameraQuery(ICapabilityQueryCallback* callback, FakeCamera* camera)
        : CCapabilityQueryModule(callback, false), camera_(camera) {}
    ~FakeCameraQuery() override { WaitForThreadEnd(); }
    int failCode = -1;
    std::string failText;
    // Set when the worker's properties let go of the camera.
    CManualEvent* cameraReleased = nullptr;

protected:
    CBaseCameraProperties* CreateCameraProperties() override {
        if (failCode >= 0) return new FailingProperties(uint32_t(failCode), failText);
        auto* properties = new CArecontCameraProperties(Device(), 0);
        properties->SetCamera(cameraReleased != nullptr ? std::make_unique<Releasing>(
                                                              camera_->Requester(), *cameraReleased)
                                                        : camera_->Requester());
        properties->SetHostCoreVersionReader([] { return HostCoreVersion{}; });
        return properties;
    }

private:
    // The camera's requester, saying when it goes.
    class Releasing : public ICameraRequest {
    public:
        Releasing(std::unique_ptr<ICameraRequest> camera, CManualEvent& released)
            : camera_(std::move(camera)), released_(released) {}
        ~Releasing() override {
            camera_.reset();
            released_.Set();
        }
        CameraReply Get(const std::string& path, bool readBody) override {
            return camera_->Get(path, readBody);
        }
        void Cancel() override { camera_->Cancel(); }
        void Rearm() override { camera_->Rearm(); }

    private:
        std::unique_ptr<ICameraRequest> camera_;
        CManualEvent& released_;
    };

    FakeCamera* camera_;
};

void SetUpCamera(FakeCamera& camera) {
    camera.Reply("/get?model=releasename", "model=AV2155DN");
    camera.Reply("/get?channelenable", "channelenable=1");
    camera.Reply("/get?sensorwidth", "sensorwidth=1920");
    camera.Reply("/get?sensorheight", "sensorheight=1088");
}

// A store that throws from the host side.
class ThrowingStore : public CCapabilityStore {
public:
    void SetModelName(const char*) override { throw std::runtime_error("host store broke"); }
};

// Outcomes of a query, as the callback reports them, and the worker's exit
// code: from the worker's own checks, the camera, a read failing with a
// chosen code and text, or a store that throws.
TEST(CapabilityQuery, ReportsEachOutcome) {
    for (const auto& c : talvik::test::DataRows("camera/data/query_outcomes.txt", "|")) {
        const std::string& report = c[5];
        SCOPED_TRACE(report);
        FakeCamera camera;
        if (c[2] == "1") SetUpCamera(camera);
        RecordingCallback callback;
        CCapabilityStore store;
        ThrowingStore throwing;
        ICapabilityStore* stores[] = {nullptr, &store, &throwing};
        FakeCameraQuery query(&callback, &camera);
        query.failCode = std::stoi(c[3]);
        query.failText = c[4];
        ASSERT_EQ(query.StartQuery(c[0].c_str(), 8080, "admin", "pw", stores[std::stoi(c[1])]), 1u);
        ASSERT_TRUE(talvik_test::WaitUntil([&] { return query.WorkerExitCode() >= 0; }, kWaitMs));
        EXPECT_EQ(std::to_string(query.WorkerExitCode()), c[6]);
        EXPECT_EQ(callback.Recorded(), report.empty() ? Calls{} : Calls{report});
        if (report != "completed") continue;
        // What the host gave reaches the camera's properties.
        const auto s = store.Snapshot();
        EXPECT_EQ(s.modelName, "Arecont AV AV2155DN");
        EXPECT_EQ(s.connection, (std::map<uint32_t, std::string>{
                                    {1, c[0]}, {2, "8080"}, {3, "admin"}, {4, "pw"}}));
        EXPECT_EQ(s.properties.at(7).value, "1");
    }
}

// Starts without an address, user or password are refused and leave the
// instance free for its one query; the host may delete the instance from
// inside its callback. The module-wide instance: none before init, one at a
// time, one query each (refused by the worker before any camera request
// here), a new one after uninit.
TEST(CapabilityQuery, RefusedStartsOneQueryEachDeleteInsideCallback) {
    FakeCamera camera;
    SetUpCamera(camera);
    RecordingCallback callback;
    CCapabilityStore store;
    CCapabilityQueryModule* query = callback.owner = new FakeCameraQuery(&callback, &camera);
    EXPECT_EQ((std::vector<uint32_t>{query->StartQuery(nullptr, 80, "", "", &store),
                                     query->StartQuery("192.0.2.7", 80, nullptr, "", &store),
                                     query->StartQuery("192.0.2.7", 80, "", nullptr, &store),
                                     query->StartQuery("192.0.2.7", 80, "", "", &store)}),
              (std::vector<uint32_t>{0, 0, 0, 1}));
    ASSERT_TRUE(callback.done.Wait(kWaitMs));
    EXPECT_EQ(callback.Recorded(), Calls{"completed"});
    EXPECT_EQ(store.Snapshot().modelName, "Arecont AV AV2155DN");

    RecordingCallback module;
    EXPECT_EQ((std::vector<uint32_t>{StartModuleQuery("192.0.2.7", 80, "", "", &store),
                                     TerminateModuleQuery(), UninitModuleQuery(),
                                     InitModuleQuery(&module, 0), InitModuleQuery(&module, 1),
                                     StartModuleQuery("192.0.2.7", 80, "", nullptr, &store),
                                     StartModuleQuery("192.0.2.7:80", 80, "", "", &store)}),
              (std::vector<uint32_t>{0, 1, 1, 1, 0, 0, 1}));
    ASSERT_TRUE(module.done.Wait(kWaitMs));
    EXPECT_EQ((std::vector<uint32_t>{StartModuleQuery("192.0.2.7", 80, "", "", &store),
                                     TerminateModuleQuery(), UninitModuleQuery()}),
              (std::vector<uint32_t>{0, 1, 1}));
    EXPECT_EQ(module.Recorded(),
              Calls{"failed 0: Failed to start capability fetching thread. Device address is "
                    "invalid!"});
    RecordingCallback second;
    EXPECT_EQ(InitModuleQuery(&second, 0), 1u);
    EXPECT_EQ(UninitModuleQuery(), 1u);
    EXPECT_TRUE(second.Recorded().empty());
}

TEST(CapabilityQuery, StopDuringModelRequestSkipsTheRest) {
    FakeCamera camera;
    SetUpCamera(camera);
    RecordingCallback callback;
    CCapabilityStore store;
    CManualEvent inModel, stopped;
    camera.OnRequest([&](const std::string& path) {
        if (path != "/get?model=releasename") return;
        inModel.Set();
        stopped.Wait(kWaitMs);  // the model request completes after the stop
    });
    {
        FakeCameraQuery query(&callback, &camera);
        ASSERT_EQ(query.StartQuery("192.0.2.7", 80, "", "", &store), 1u);
        ASSERT_TRUE(inModel.Wait(kWaitMs));
        query.StopQuery();
        stopped.Set();
        ASSERT_TRUE(callback.done.Wait(kWaitMs));
    }
    EXPECT_EQ(callback.Recorded(), Calls{"failed 3: Failed to save capability query results"});
    EXPECT_EQ(camera.Requests(), (Calls{"/get?model=releasename", "/get?channelenable"}));
}

// A camera request that does not return: deleting the query waits twice the
// device time-out (10 s), then gives up on the worker and says so. The worker
// is left to end by itself, with the module held for it; it tells the host
// nothing more.
TEST(CapabilityQuery, DeleteGivesUpOnHungWorker) {
    FakeCamera camera;
    SetUpCamera(camera);
    // Outlive the worker's last touch, which no join orders before the end.
    static CManualEvent inModel, unhang, released;
    camera.OnRequest([&](const std::string&) {
        inModel.Set();
        unhang.Wait(60000);
    });
    RecordingCallback callback;
    CCapabilityStore store;
    auto query = std::make_unique<FakeCameraQuery>(&callback, &camera);
    query->cameraReleased = &released;
    ASSERT_EQ(query->StartQuery("192.0.2.7", 80, "", "", &store), 1u);
    ASSERT_TRUE(inModel.Wait(kWaitMs));
    const uint32_t holds = ModuleHoldCount();
    query.reset();
    EXPECT_EQ(callback.Recorded(), Calls{"terminated"});
    EXPECT_EQ(ModuleHoldCount() - holds, 1u);
    unhang.Set();
    EXPECT_TRUE(released.Wait(kWaitMs)) << "the worker never ended";
    EXPECT_EQ(callback.Recorded(), Calls{"terminated"});
}

}  // namespace
