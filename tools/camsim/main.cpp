// camsim: a camera on the network for tests, benchmarks and demos.
#include <glib-unix.h>
#include <gst/gst.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <future>

#include "HttpServer.h"
#include "Options.h"
#include "Pictures.h"
#include "RtspServer.h"

namespace camsim {
namespace {

struct MainTask {
    std::function<void()> run;
};

gboolean RunTask(gpointer p) {
    static_cast<MainTask*>(p)->run();
    return G_SOURCE_REMOVE;
}

void DeleteTask(gpointer p) {
    delete static_cast<MainTask*>(p);
}

// Runs `task` on the main loop's thread after `delayMs`.
void RunInMain(std::function<void()> task, guint delayMs) {
    g_timeout_add_full(G_PRIORITY_DEFAULT, delayMs, &RunTask, new MainTask{std::move(task)},
                       &DeleteTask);
}

gboolean Quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

int Run(const Options& options) {
    std::shared_ptr<FileContent> file;
    std::vector<uint8_t> fileKeyFrame;
    if (!options.h264File.empty()) {
        file = std::make_shared<FileContent>();
        std::string error;
        if (!LoadH264File(options.h264File, &file->accessUnits, &fileKeyFrame, &error)) {
            fprintf(stderr, "camsim: %s\n", error.c_str());
            return 1;
        }
    }
    SimState state(options);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    RtspServer rtsp(&state, file);
    std::string error;
    if (!rtsp.Start(options.rtspPort, &error)) {
        fprintf(stderr, "camsim: %s\n", error.c_str());
        g_main_loop_unref(loop);
        return 1;
    }
    HttpServer* httpPtr = nullptr;
    SimControls controls;
    controls.rtspSessions = [&rtsp] { return rtsp.SessionCount(); };
    controls.rtspPort = [&rtsp] { return rtsp.Port(); };
    controls.dropSessions = [&rtsp] {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        RunInMain(
            [&rtsp, done] {
                rtsp.DropSessions();
                done->set_value();
            },
            0);
        return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    };
    controls.sendRtcp = [&rtsp, &state](const std::vector<uint8_t>& bytes, unsigned count,
                                        unsigned intervalMs) {
        auto reached = std::make_shared<std::promise<unsigned>>();
        std::future<unsigned> first = reached->get_future();
        RunInMain([&rtsp, bytes, reached] { reached->set_value(rtsp.SendRtcp(bytes)); }, 0);
        for (unsigned i = 1; i < count; ++i) {
            RunInMain(
                [&rtsp, &state, bytes] {
                    if (!state.Stopping()) rtsp.SendRtcp(bytes);
                },
                i * intervalMs);
        }
        if (first.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 0u;
        return first.get();
    };
    controls.sendStranger = [&rtsp, &state](unsigned count, unsigned intervalMs) {
        auto reached = std::make_shared<std::promise<unsigned>>();
        std::future<unsigned> first = reached->get_future();
        RunInMain([&rtsp, reached] { reached->set_value(rtsp.SendStranger()); }, 0);
        if (first.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return 0u;
        const unsigned clients = first.get();
        // The rest only when a client played: a caller may ask again until one does.
        for (unsigned i = 1; clients > 0 && i < count; ++i) {
            RunInMain(
                [&rtsp, &state] {
                    if (!state.Stopping()) rtsp.SendStranger();
                },
                i * intervalMs);
        }
        return clients;
    };
    controls.reboot = [&rtsp, &httpPtr, &state](double seconds) {
        // Later, so that the answer to this request still goes out.
        RunInMain(
            [&rtsp, &httpPtr, &state, seconds] {
                uint16_t port = httpPtr->Port();
                httpPtr->Stop();
                rtsp.Suspend();
                RunInMain(
                    [&rtsp, &httpPtr, &state, port] {
                        if (state.Stopping()) return;
                        std::string err;
                        if (!httpPtr->Start(port, &err) || !rtsp.Resume(&err))
                            fprintf(stderr, "camsim: after reboot: %s\n", err.c_str());
                    },
                    static_cast<guint>(seconds * 1000));
            },
            200);
    };
    HttpServer http(&state, controls, fileKeyFrame);
    httpPtr = &http;
    if (!http.Start(options.httpPort, &error)) {
        fprintf(stderr, "camsim: %s\n", error.c_str());
        g_main_loop_unref(loop);
        return 1;
    }
    printf("{\"http_port\":%u,\"rtsp_port\":%u,\"pid\":%d}\n", http.Port(), rtsp.Port(),
           static_cast<int>(getpid()));
    fflush(stdout);

    g_unix_signal_add(SIGINT, &Quit, loop);
    g_unix_signal_add(SIGTERM, &Quit, loop);
    if (options.durationS > 0)
        g_timeout_add(static_cast<guint>(options.durationS * 1000), &Quit, loop);
    g_main_loop_run(loop);

    state.Stop();
    http.Stop();
    rtsp.Suspend();
    // Let the server finish closing its clients and media.
    GMainContext* context = g_main_context_default();
    for (int i = 0; i < 100 && g_main_context_iteration(context, FALSE); ++i) {
    }
    g_main_loop_unref(loop);
    return 0;
}

}  // namespace
}  // namespace camsim

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    camsim::Options options;
    std::string error;
    if (!camsim::ParseOptions(args, &options, &error)) {
        fprintf(stderr, "camsim: %s\n\n%s", error.c_str(), camsim::UsageText().c_str());
        return 2;
    }
    if (options.help) {
        fputs(camsim::UsageText().c_str(), stdout);
        return 0;
    }
    gst_init(nullptr, nullptr);
    return camsim::Run(options);
}
