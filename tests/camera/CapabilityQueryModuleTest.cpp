// The query's worker, its outcomes as the host's callback sees them, and the
// lifetime rules: one query per instance, stop, delete while running, delete
// from inside the callback.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapabilityStore.h"
#include "base/Event.h"
#include "camera/ArecontCameraProperties.h"
#include "camera/CapabilityQueryModule.h"
#include "support/FakeCamera.h"
#include "support/TestFiles.h"
#include "support/Threads.h"

using talvik::CArecontCameraProperties;
using talvik::CBaseCameraProperties;
using talvik::CCapabilityQueryModule;
using talvik::CManualEvent;
using talvik::HostCoreVersion;
using talvik_host::CCapabilityStore;
using talvik_test::FakeCamera;

namespace {

constexpr uint32_t kWaitMs = 20000;  // generous: only a broken query takes this long

// Records what the module reported; `done` is set by the first report.
class RecordingCallback : public talvik::ICapabilityQueryCallback {
public:
    void OnCompleted() override { Record("completed"); }
    void OnFailed(uint32_t code, const char* message) override {
        Record("failed " + std::to_string(code) + ": " + (message ? message : "(null)"));
    }
    void OnTerminated() override { Record("terminated"); }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }
    bool WaitDone() { return done.Wait(kWaitMs); }

    CManualEvent done;

private:
    void Record(const std::string& call) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            calls_.push_back(call);
        }
        done.Set();
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// Properties that fail with a chosen code and extra text.
class FailingProperties : public CBaseCameraProperties {
public:
    FailingProperties(uint32_t code, std::string extra)
        : CBaseCameraProperties(talvik::DEVICE_INFO{}, 0), code_(code), extra_(std::move(extra)) {}
    bool WriteCustomProperties(talvik::ICapabilityStore*) override { return true; }
    bool ReadFromDevice(uint32_t& errorCode) override {
        errorCode = code_;
        return false;
    }
    std::string GetErrorText() override { return extra_; }

private:
    uint32_t code_;
    std::string extra_;
};

// The Arecont query over a fake camera, or over properties that fail when
// `failCode` is set.
class FakeCameraQuery : public CCapabilityQueryModule {
public:
    FakeCameraQuery(talvik::ICapabilityQueryCallback* callback, FakeCamera* camera)
        : CCapabilityQueryModule(callback, false), camera_(camera) {}
    ~FakeCameraQuery() override { WaitForThreadEnd(); }
    int failCode = -1;
    std::string failText;

protected:
    CBaseCameraProperties* CreateCameraProperties() override {
        if (failCode >= 0) return new FailingProperties(uint32_t(failCode), failText);
        auto* properties = new CArecontCameraProperties(Device(), VideoStandard() ? 1 : 0);
        properties->SetCamera(camera_->Requester());
        properties->SetHostCoreVersionReader([] { return HostCoreVersion{5, 12, 0, 0}; });
        return properties;
    }

private:
    FakeCamera* camera_;
};

void SetUpCamera(FakeCamera& camera) {
    camera.SetUpArecont("AV2155DN", "1920", "1088");
}

// Outcomes of a query, as the callback reports them: from the worker's own
// checks, the camera, or a read failing with a chosen code and text.
TEST(CapabilityQuery, ReportsEachOutcome) {
    std::istringstream rows(
        talvik::test::ReadFile(TALVIK_SOURCE_DIR "/tests/camera/data/query_outcomes.txt"));
    for (std::string row; std::getline(rows, row);) {
        if (row[0] == '#') continue;
        std::vector<std::string> c;
        std::istringstream fields(row + "|");
        for (std::string field; std::getline(fields, field, '|');)
            c.push_back(field);
        std::string report = c[5];
        if (report.find("$GET") != std::string::npos)
            report.replace(report.find("$GET"), 4, "Failed to get camera properties");
        SCOPED_TRACE(report);
        FakeCamera camera;
        if (c[2] == "1") SetUpCamera(camera);
        RecordingCallback callback;
        CCapabilityStore store;
        {
            FakeCameraQuery query(&callback, &camera);
            query.failCode = std::stoi(c[3]);
            query.failText = c[4];
            ASSERT_EQ(
                query.StartQuery(c[0].c_str(), 8080, "admin", "pw", c[1] == "1" ? &store : nullptr),
                1u);
            ASSERT_TRUE(callback.WaitDone());
        }
        EXPECT_EQ(callback.Calls(), std::vector<std::string>{report});
        if (report != "completed") continue;
        // What the host gave reaches the camera's properties.
        const auto s = store.Snapshot();
        EXPECT_EQ(s.modelName, "Arecont AV AV2155DN");
        EXPECT_EQ(s.connection, (std::map<uint32_t, std::string>{
                                    {1, c[0]}, {2, "8080"}, {3, "admin"}, {4, "pw"}}));
        EXPECT_EQ(s.properties.at(7).value, "1");
    }
}

// Refused starts leave the instance free for its one query; after that query
// every start is refused.
TEST(CapabilityQuery, MissingTextIsRefusedAndOneQueryPerInstance) {
    FakeCamera camera;
    SetUpCamera(camera);
    RecordingCallback callback;
    CCapabilityStore store;
    {
        FakeCameraQuery query(&callback, &camera);
        EXPECT_EQ(query.StartQuery(nullptr, 80, "", "", &store), 0u);
        EXPECT_EQ(query.StartQuery("192.0.2.7", 80, nullptr, "", &store), 0u);
        EXPECT_EQ(query.StartQuery("192.0.2.7", 80, "", nullptr, &store), 0u);
        // Nothing was started, so the instance still serves a query.
        EXPECT_EQ(query.StartQuery("192.0.2.7", 80, "", "", &store), 1u);
        ASSERT_TRUE(callback.WaitDone());
        EXPECT_EQ(query.StartQuery("192.0.2.7", 80, "", "", &store), 0u);
    }
    EXPECT_EQ(callback.Calls(), std::vector<std::string>{"completed"});
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
        ASSERT_TRUE(callback.WaitDone());
    }
    EXPECT_EQ(callback.Calls(),
              std::vector<std::string>{"failed 3: Failed to save capability query results"});
    EXPECT_EQ(camera.Requests(),
              (std::vector<std::string>{"/get?model=releasename", "/get?channelenable"}));
}

// Deletes its query from inside OnCompleted; the flag is its last access, so
// once it is seen the test may go.
class DeletingCallback : public talvik::ICapabilityQueryCallback {
public:
    void OnCompleted() override {
        delete query;
        finished.store(true);
    }
    void OnFailed(uint32_t, const char*) override { finished.store(true); }
    void OnTerminated() override {}

    CCapabilityQueryModule* query = nullptr;
    std::atomic<bool> finished{false};
};

TEST(CapabilityQuery, DeleteInsideCallbackIsSafe) {
    FakeCamera camera;
    SetUpCamera(camera);
    CCapabilityStore store;
    DeletingCallback callback;
    callback.query = new FakeCameraQuery(&callback, &camera);
    ASSERT_EQ(callback.query->StartQuery("192.0.2.7", 80, "", "", &store), 1u);
    ASSERT_TRUE(talvik_test::WaitUntil([&] { return callback.finished.load(); }, kWaitMs));
    EXPECT_EQ(store.Snapshot().modelName, "Arecont AV AV2155DN");
}

// A store that throws from the host side: the worker swallows it, gives no
// callback and ends with its failure exit code.
class ThrowingStore : public CCapabilityStore {
public:
    void SetModelName(const char*) override { throw std::runtime_error("host store broke"); }
};

TEST(CapabilityQuery, ExceptionFromHostEndsWorkerWithoutCallback) {
    FakeCamera camera;
    SetUpCamera(camera);
    RecordingCallback callback;
    ThrowingStore store;
    FakeCameraQuery query(&callback, &camera);
    ASSERT_EQ(query.StartQuery("192.0.2.7", 80, "", "", &store), 1u);
    talvik_test::WaitUntil([&] { return query.WorkerExitCode() >= 0; }, kWaitMs);
    EXPECT_EQ(query.WorkerExitCode(), static_cast<int64_t>(talvik::kWorkerFailedExitCode));
    EXPECT_TRUE(callback.Calls().empty());
}

// A camera request that never returns: deleting the query waits twice the
// device time-out (10 s), then gives up on the worker and says so.
TEST(CapabilityQuery, DeleteGivesUpOnHungWorker) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not model thread cancellation";
#endif
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    FakeCamera camera;
    SetUpCamera(camera);
    CManualEvent inModel;
    camera.OnRequest([&](const std::string& path) {
        if (path != "/get?model=releasename") return;
        inModel.Set();
        pollfd fd{pipeFds[0], POLLIN, 0};
        poll(&fd, 1, 60000);  // a cancellation point, like a blocked socket
    });
    RecordingCallback callback;
    CCapabilityStore store;
    auto query = std::make_unique<FakeCameraQuery>(&callback, &camera);
    ASSERT_EQ(query->StartQuery("192.0.2.7", 80, "", "", &store), 1u);
    ASSERT_TRUE(inModel.Wait(kWaitMs));
    query.reset();
    EXPECT_EQ(callback.Calls(), std::vector<std::string>{"terminated"});
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(ModuleQuery, LifecycleOfTheModuleWideInstance) {
    RecordingCallback callback;
    CCapabilityStore store;
    EXPECT_EQ(talvik::StartModuleQuery("192.0.2.7", 80, "", "", &store), 0u);  // before init
    EXPECT_EQ(talvik::TerminateModuleQuery(), 1u);
    EXPECT_EQ(talvik::UninitModuleQuery(), 1u);

    EXPECT_EQ(talvik::InitModuleQuery(&callback, 0), 1u);
    EXPECT_EQ(talvik::InitModuleQuery(&callback, 1), 0u);  // one at a time
    EXPECT_EQ(talvik::StartModuleQuery("192.0.2.7", 80, "", nullptr, &store), 0u);
    // Refused by the worker before any camera request.
    EXPECT_EQ(talvik::StartModuleQuery("192.0.2.7:80", 80, "", "", &store), 1u);
    ASSERT_TRUE(callback.WaitDone());
    EXPECT_EQ(talvik::StartModuleQuery("192.0.2.7", 80, "", "", &store), 0u);  // used up
    EXPECT_EQ(talvik::TerminateModuleQuery(), 1u);
    EXPECT_EQ(talvik::UninitModuleQuery(), 1u);
    EXPECT_EQ(callback.Calls(),
              std::vector<std::string>{
                  "failed 0: Failed to start capability fetching thread. Device address is "
                  "invalid!"});
    // A new instance after uninit.
    RecordingCallback second;
    EXPECT_EQ(talvik::InitModuleQuery(&second, 0), 1u);
    EXPECT_EQ(talvik::UninitModuleQuery(), 1u);
    EXPECT_TRUE(second.Calls().empty());
}

}  // namespace
