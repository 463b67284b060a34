#include "RtspServer.h"

#include <arpa/inet.h>
#include <gst/app/gstappsrc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "Query.h"

namespace camsim {
namespace {

// What a mount's factory needs to build a stream.
struct FactoryData {
    SimState* state = nullptr;
    unsigned sensor = 1;
    std::shared_ptr<const FileContent> file;
};

// Paces a looped file into appsrc at the requested rate.
struct FileFeed {
    std::shared_ptr<const FileContent> file;
    size_t index = 0;
    unsigned fps = 25;
    Clock::time_point next;
    bool started = false;
    uint64_t count = 0;     // access units pushed
    GstClockTime base = 0;  // running time of access unit 0
};

using StatsRef = std::shared_ptr<StreamStats>;

struct ProbeData {
    SimState* state;
    StatsRef stats;
};

void DeleteProbeData(gpointer p) {
    delete static_cast<ProbeData*>(p);
}
void DeleteStatsRef(gpointer p) {
    delete static_cast<StatsRef*>(p);
}
void DeleteFactoryData(gpointer p) {
    delete static_cast<FactoryData*>(p);
}
void DeleteFileFeed(gpointer p, GClosure*) {
    delete static_cast<FileFeed*>(p);
}

// The stats of a media's bin live as long as the bin; its end marks the
// stream inactive.
void EndStats(gpointer p) {
    auto* ref = static_cast<StatsRef*>(p);
    (*ref)->active = false;
    delete ref;
}

void OnNeedData(GstElement* src, guint, gpointer user) {
    auto* feed = static_cast<FileFeed*>(user);
    const auto& units = feed->file->accessUnits;
    if (units.empty()) return;
    // Time stamps at exact frame intervals, like a camera's capture clock;
    // the push itself follows the wall clock.
    const GstClockTime period = GST_SECOND / feed->fps;
    Clock::time_point now = Clock::now();
    if (!feed->started || feed->next < now - std::chrono::seconds(1)) {
        GstClockTime running = gst_element_get_current_running_time(src);
        if (!GST_CLOCK_TIME_IS_VALID(running)) running = 0;
        feed->base = running > feed->count * period ? running - feed->count * period : 0;
        feed->next = now;
        feed->started = true;
    }
    std::this_thread::sleep_until(feed->next);
    feed->next += std::chrono::nanoseconds(period);
    const auto& au = units[feed->index];
    feed->index = (feed->index + 1) % units.size();
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, au.size(), nullptr);
    gst_buffer_fill(buffer, 0, au.data(), au.size());
    GST_BUFFER_PTS(buffer) = feed->base + feed->count * period;
    GST_BUFFER_DURATION(buffer) = period;
    ++feed->count;
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
}

// Counts access units entering the payloader and holds them back while
// video is silenced.
GstPadProbeReturn OnAccessUnit(GstPad*, GstPadProbeInfo*, gpointer user) {
    auto* data = static_cast<ProbeData*>(user);
    if (data->state->Silenced()) return GST_PAD_PROBE_DROP;
    if (data->stats->playing) ++data->stats->frames;
    return GST_PAD_PROBE_OK;
}

// Deterministic loss: of every 100 packets, `percent` are dropped, spread evenly.
bool DropNext(StreamStats* stats, unsigned percent) {
    stats->dropAccumulator += percent;
    if (stats->dropAccumulator < 100) return false;
    stats->dropAccumulator -= 100;
    return true;
}

// Counts RTP packets leaving the payloader and drops the chosen share of them,
// which leaves real sequence-number gaps.
GstPadProbeReturn OnRtpPackets(GstPad*, GstPadProbeInfo* info, gpointer user) {
    auto* data = static_cast<ProbeData*>(user);
    StreamStats* stats = data->stats.get();
    if (!stats->playing) return GST_PAD_PROBE_OK;
    unsigned percent = data->state->RtpDropPercent();
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        ++stats->rtpPackets;
        if (percent > 0 && DropNext(stats, percent)) {
            ++stats->rtpDropped;
            return GST_PAD_PROBE_DROP;
        }
        return GST_PAD_PROBE_OK;
    }
    GstBufferList* list = gst_pad_probe_info_get_buffer_list(info);
    if (!list) return GST_PAD_PROBE_OK;
    guint n = gst_buffer_list_length(list);
    stats->rtpPackets += n;
    if (percent == 0) return GST_PAD_PROBE_OK;
    std::vector<bool> drop(n);
    guint dropped = 0;
    for (guint i = 0; i < n; ++i) {
        drop[i] = DropNext(stats, percent);
        dropped += drop[i] ? 1 : 0;
    }
    if (dropped == 0) return GST_PAD_PROBE_OK;
    stats->rtpDropped += dropped;
    if (dropped == n) return GST_PAD_PROBE_DROP;
    list = gst_buffer_list_make_writable(list);
    for (guint i = n; i-- > 0;) {
        if (drop[i]) gst_buffer_list_remove(list, i, 1);
    }
    GST_PAD_PROBE_INFO_DATA(info) = list;
    return GST_PAD_PROBE_OK;
}

void AddProbe(GstElement* element, const char* pad, GstPadProbeType type,
              GstPadProbeCallback callback, SimState* state, const StatsRef& stats) {
    GstPad* p = gst_element_get_static_pad(element, pad);
    if (!p) return;
    gst_pad_add_probe(p, type, callback, new ProbeData{state, stats}, &DeleteProbeData);
    gst_object_unref(p);
}

std::string LaunchLine(const VideoRequest& r, bool file) {
    char desc[1024];
    if (file) {
        snprintf(desc, sizeof(desc),
                 "appsrc name=src is-live=true format=time max-bytes=1 "
                 "caps=video/x-h264,stream-format=byte-stream,alignment=au,framerate=%u/1 ! "
                 "h264parse ! rtph264pay name=pay0 pt=96 config-interval=1",
                 r.fps);
        return desc;
    }
    char rate[64] = "";
    if (r.qp > 0)
        snprintf(rate, sizeof(rate), "pass=quant quantizer=%u", r.qp);
    else if (r.bitrate > 0)
        snprintf(rate, sizeof(rate), "bitrate=%u", r.bitrate);
    // config-interval=1 puts SPS and PPS before each IDR picture, never
    // between the slices of a multi-slice one.
    snprintf(desc, sizeof(desc),
             "videotestsrc is-live=true pattern=smpte horizontal-speed=2 ! "
             "video/x-raw,format=I420,width=%u,height=%u,framerate=%u/1 ! "
             "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=%u %s ! "
             "video/x-h264,stream-format=byte-stream,alignment=au ! "
             "rtph264pay name=pay0 pt=96 config-interval=1",
             r.width, r.height, r.fps, r.fps, rate);
    return desc;
}

GstElement* CreateElement(GstRTSPMediaFactory* factory, const GstRTSPUrl* url) {
    auto* data = static_cast<FactoryData*>(g_object_get_data(G_OBJECT(factory), "camsim"));
    if (!data || !url) return nullptr;
    const Options& o = data->state->options();
    std::string query = url->query ? url->query : "";
    VideoRequest request;
    std::string error;
    if (!ParseVideoQuery(query, o.sensorWidth, o.sensorHeight, &request, &error)) return nullptr;
    bool file = data->file != nullptr;
    GError* gerror = nullptr;
    GstElement* bin = gst_parse_launch_full(LaunchLine(request, file).c_str(), nullptr,
                                            GST_PARSE_FLAG_PLACE_IN_BIN, &gerror);
    if (gerror) {
        fprintf(stderr, "camsim: cannot build stream: %s\n", gerror->message);
        g_error_free(gerror);
        if (bin) gst_object_unref(bin);
        return nullptr;
    }
    std::string path =
        std::string(url->abspath ? url->abspath : "") + (query.empty() ? "" : "?") + query;
    StatsRef stats = data->state->AddStream("rtsp", path, data->sensor, file ? 0 : request.width,
                                            file ? 0 : request.height, request.fps);
    GstElement* pay = gst_bin_get_by_name(GST_BIN(bin), "pay0");
    if (pay) {
        AddProbe(pay, "sink", GST_PAD_PROBE_TYPE_BUFFER, &OnAccessUnit, data->state, stats);
        AddProbe(pay, "src",
                 static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                              GST_PAD_PROBE_TYPE_BUFFER_LIST),
                 &OnRtpPackets, data->state, stats);
        gst_object_unref(pay);
    }
    if (file) {
        GstElement* src = gst_bin_get_by_name(GST_BIN(bin), "src");
        if (src) {
            auto* feed = new FileFeed;
            feed->file = data->file;
            feed->fps = request.fps;
            g_signal_connect_data(src, "need-data", G_CALLBACK(&OnNeedData), feed, &DeleteFileFeed,
                                  GConnectFlags(0));
            gst_object_unref(src);
        }
    }
    g_object_set_data_full(G_OBJECT(bin), "camsim-stats", new StatsRef(stats), &EndStats);
    return bin;
}

void InitFactoryClass(gpointer klass, gpointer) {
    GST_RTSP_MEDIA_FACTORY_CLASS(klass)->create_element = &CreateElement;
}

GType SimFactoryType() {
    static GType type = g_type_register_static_simple(
        GST_TYPE_RTSP_MEDIA_FACTORY, "CamSimMediaFactory", sizeof(GstRTSPMediaFactoryClass),
        &InitFactoryClass, sizeof(GstRTSPMediaFactory), nullptr, GTypeFlags(0));
    return type;
}

void OnRtcp(GObject*, GstBuffer*, gpointer user) {
    ++(*static_cast<StatsRef*>(user))->rtcpReceived;
}
void DeleteStatsClosure(gpointer p, GClosure*) {
    DeleteStatsRef(p);
}

void OnMediaPrepared(GstRTSPMedia* media, gpointer) {
    GstElement* element = gst_rtsp_media_get_element(media);
    if (!element) return;
    auto* stats = static_cast<StatsRef*>(g_object_get_data(G_OBJECT(element), "camsim-stats"));
    for (guint i = 0; stats && i < gst_rtsp_media_n_streams(media); ++i) {
        GObject* session = gst_rtsp_stream_get_rtpsession(gst_rtsp_media_get_stream(media, i));
        if (!session) continue;
        if (g_signal_lookup("on-receiving-rtcp", G_OBJECT_TYPE(session)) != 0)
            g_signal_connect_data(session, "on-receiving-rtcp", G_CALLBACK(&OnRtcp),
                                  new StatsRef(*stats), &DeleteStatsClosure, GConnectFlags(0));
        g_object_unref(session);
    }
    gst_object_unref(element);
}

void OnMediaConstructed(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer) {
    g_signal_connect(media, "prepared", G_CALLBACK(&OnMediaPrepared), nullptr);
}

// Path and query of a request URI such as "rtsp://host:port/h264.sdp?res=full".
std::string PathOf(const char* uri) {
    std::string text = uri ? uri : "";
    if (text.compare(0, 7, "rtsp://") != 0) return text;
    size_t slash = text.find('/', 7);
    return slash == std::string::npos ? "/" : text.substr(slash);
}

// The counters of the stream a request acts on, if any.
StatsRef StatsOf(GstRTSPContext* ctx) {
    StatsRef result;
    if (!ctx) return result;
    GstRTSPMedia* media = ctx->media;
    if (!media && ctx->sessmedia) media = gst_rtsp_session_media_get_media(ctx->sessmedia);
    if (!media) return result;
    GstElement* element = gst_rtsp_media_get_element(media);
    if (!element) return result;
    auto* stats = static_cast<StatsRef*>(g_object_get_data(G_OBJECT(element), "camsim-stats"));
    if (stats) result = *stats;
    gst_object_unref(element);
    return result;
}

// The request's method name ("GET_PARAMETER"), empty when unknown.
std::string MethodOf(GstRTSPContext* ctx) {
    GstRTSPMethod method;
    const gchar* uri = nullptr;
    GstRTSPVersion version;
    if (!ctx || !ctx->request ||
        gst_rtsp_message_parse_request(ctx->request, &method, &uri, &version) != GST_RTSP_OK)
        return std::string();
    return gst_rtsp_method_as_text(method);
}

// Under --refresh-on, a request of a listed method refreshes its session.
void NoteRefresh(GstRTSPContext* ctx, SimState* state) {
    const auto& methods = state->options().refreshOn;
    if (methods.empty() || !ctx || !ctx->session) return;
    if (std::find(methods.begin(), methods.end(), MethodOf(ctx)) == methods.end()) return;
    state->RefreshSession(gst_rtsp_session_get_sessionid(ctx->session));
}

GstRTSPStatusCode CheckRequest(GstRTSPContext* ctx, SimState* state, bool describe) {
    if (!ctx || !ctx->uri) return GST_RTSP_STS_OK;
    NoteRefresh(ctx, state);
    std::string path = ctx->uri->abspath ? ctx->uri->abspath : "";
    FaultRule rule;
    if (state->MatchRule(path, &rule, true, MethodOf(ctx))) {
        // Clients have threads of their own: a delay holds back only this one.
        if (rule.delayMs > 0)
            state->SleepUntil(Clock::now() + std::chrono::milliseconds(rule.delayMs),
                              state->Epoch());
        if (rule.status != 0) return static_cast<GstRTSPStatusCode>(rule.status);
    }
    if (describe) {
        const Options& o = state->options();
        VideoRequest request;
        std::string error;
        if (!ParseVideoQuery(ctx->uri->query ? ctx->uri->query : "", o.sensorWidth, o.sensorHeight,
                             &request, &error))
            return GST_RTSP_STS_BAD_REQUEST;
    }
    return GST_RTSP_STS_OK;
}

GstRTSPStatusCode OnPreDescribe(GstRTSPClient*, GstRTSPContext* ctx, gpointer user) {
    return CheckRequest(ctx, static_cast<SimState*>(user), true);
}

GstRTSPStatusCode OnPreRequest(GstRTSPClient*, GstRTSPContext* ctx, gpointer user) {
    return CheckRequest(ctx, static_cast<SimState*>(user), false);
}

// The server library frees a message it does not own when an OPTIONS check
// fails (the process dies), so OPTIONS gets a rule's delay only: never its
// status, and it does not count as a use.
GstRTSPStatusCode OnPreOptions(GstRTSPClient*, GstRTSPContext* ctx, gpointer user) {
    auto* state = static_cast<SimState*>(user);
    if (!ctx || !ctx->uri) return GST_RTSP_STS_OK;
    NoteRefresh(ctx, state);
    FaultRule rule;
    if (state->MatchRule(ctx->uri->abspath ? ctx->uri->abspath : "", &rule, false, "OPTIONS") &&
        rule.delayMs > 0) {
        state->SleepUntil(Clock::now() + std::chrono::milliseconds(rule.delayMs), state->Epoch());
    }
    return GST_RTSP_STS_OK;
}

GstRTSPStatusCode OnPreTeardown(GstRTSPClient*, GstRTSPContext* ctx, gpointer user) {
    if (StatsRef stats = StatsOf(ctx)) ++stats->teardowns;
    return CheckRequest(ctx, static_cast<SimState*>(user), false);
}

GstRTSPStatusCode OnPrePlay(GstRTSPClient*, GstRTSPContext* ctx, gpointer user) {
    // A camera ignores a Range on its live stream; the server would seek.
    if (ctx && ctx->request) gst_rtsp_message_remove_header(ctx->request, GST_RTSP_HDR_RANGE, -1);
    return CheckRequest(ctx, static_cast<SimState*>(user), false);
}

void OnSendMessage(GstRTSPClient*, GstRTSPContext* ctx, GstRTSPMessage* message, gpointer user) {
    auto* state = static_cast<SimState*>(user);
    if (!ctx || !ctx->request || !message ||
        gst_rtsp_message_get_type(message) != GST_RTSP_MESSAGE_RESPONSE)
        return;
    GstRTSPMethod method;
    const gchar* uri = nullptr;
    GstRTSPVersion version;
    if (gst_rtsp_message_parse_request(ctx->request, &method, &uri, &version) != GST_RTSP_OK)
        return;
    // Without a Content-Base the SDP's relative control ("stream=0") is
    // resolved against the request URL, query and all.
    if (method == GST_RTSP_DESCRIBE && !state->SendContentBase())
        gst_rtsp_message_remove_header(message, GST_RTSP_HDR_CONTENT_BASE, -1);
    gchar* auth = nullptr;
    std::string scheme = "none";
    if (gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &auth, 0) ==
            GST_RTSP_OK &&
        auth) {
        if (g_ascii_strncasecmp(auth, "Basic", 5) == 0)
            scheme = "basic";
        else if (g_ascii_strncasecmp(auth, "Digest", 6) == 0)
            scheme = "digest";
        else
            scheme = "other";
    }
    state->LogRequest(gst_rtsp_method_as_text(method), PathOf(uri), scheme);
    if (method == GST_RTSP_TEARDOWN) ++state->teardowns;
}

void OnPlayed(GstRTSPClient*, GstRTSPContext* ctx, gpointer) {
    if (StatsRef stats = StatsOf(ctx)) stats->playing = true;
}

void OnPaused(GstRTSPClient*, GstRTSPContext* ctx, gpointer) {
    if (StatsRef stats = StatsOf(ctx)) stats->playing = false;
}

void OnNewSession(GstRTSPClient*, GstRTSPSession* session, gpointer user) {
    auto* state = static_cast<SimState*>(user);
    gst_rtsp_session_set_timeout(session, state->options().sessionTimeoutS);
    if (!state->options().refreshOn.empty())
        state->RefreshSession(gst_rtsp_session_get_sessionid(session));
}

void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer user) {
    g_signal_connect(client, "pre-describe-request", G_CALLBACK(&OnPreDescribe), user);
    g_signal_connect(client, "pre-play-request", G_CALLBACK(&OnPrePlay), user);
    g_signal_connect(client, "pre-teardown-request", G_CALLBACK(&OnPreTeardown), user);
    g_signal_connect(client, "pre-options-request", G_CALLBACK(&OnPreOptions), user);
    static const char* const kOthers[] = {"pre-setup-request", "pre-pause-request",
                                          "pre-get-parameter-request", "pre-set-parameter-request"};
    for (const char* signal : kOthers)
        g_signal_connect(client, signal, G_CALLBACK(&OnPreRequest), user);
    g_signal_connect(client, "send-message", G_CALLBACK(&OnSendMessage), user);
    g_signal_connect(client, "new-session", G_CALLBACK(&OnNewSession), user);
    g_signal_connect(client, "play-request", G_CALLBACK(&OnPlayed), user);
    g_signal_connect(client, "pause-request", G_CALLBACK(&OnPaused), user);
}

// Ends the sessions that the chosen methods did not refresh in time, as the
// server library ends a timed-out one.
GstRTSPFilterResult RemoveLapsed(GstRTSPSessionPool*, GstRTSPSession* session, gpointer user) {
    auto* state = static_cast<SimState*>(user);
    const auto timeout = std::chrono::seconds(state->options().sessionTimeoutS);
    return state->SessionLapsed(gst_rtsp_session_get_sessionid(session), timeout)
               ? GST_RTSP_FILTER_REMOVE
               : GST_RTSP_FILTER_KEEP;
}

GstRTSPFilterResult RemoveSession(GstRTSPSessionPool*, GstRTSPSession*, gpointer) {
    return GST_RTSP_FILTER_REMOVE;
}

GstRTSPFilterResult RemoveClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
    return GST_RTSP_FILTER_REMOVE;
}

struct RtcpSend {
    const std::vector<uint8_t>* bytes;
    unsigned reached;
};

GstRTSPFilterResult SendRtcpToSession(GstRTSPSessionPool*, GstRTSPSession* session, gpointer user) {
    auto* send = static_cast<RtcpSend*>(user);
    GList* medias = gst_rtsp_session_filter(session, nullptr, nullptr);
    for (GList* m = medias; m; m = m->next) {
        auto* sessionMedia = static_cast<GstRTSPSessionMedia*>(m->data);
        GstRTSPMedia* media = gst_rtsp_session_media_get_media(sessionMedia);
        const guint streams = media ? gst_rtsp_media_n_streams(media) : 0;
        for (guint i = 0; i < streams; ++i) {
            GstRTSPStreamTransport* t = gst_rtsp_session_media_get_transport(sessionMedia, i);
            const GstRTSPTransport* tr = t ? gst_rtsp_stream_transport_get_transport(t) : nullptr;
            if (!tr || tr->lower_transport != GST_RTSP_LOWER_TRANS_TCP) continue;
            GstBuffer* buffer = gst_buffer_new_allocate(nullptr, send->bytes->size(), nullptr);
            gst_buffer_fill(buffer, 0, send->bytes->data(), send->bytes->size());
            if (gst_rtsp_stream_transport_send_rtcp(t, buffer)) ++send->reached;
            gst_buffer_unref(buffer);
        }
    }
    g_list_free_full(medias, g_object_unref);
    return GST_RTSP_FILTER_KEEP;
}

// A stranger's SSRC: never the one GStreamer picks for a stream.
constexpr uint32_t kStrangerSsrc = 0x0BADC0DE;
constexpr size_t kNoiseBytes = 100;

// Noise frames waiting for a client's next send. Once a client has one, all
// it sends goes out through WriteWithNoise, in order, straight on its
// connection: the noise can only stand between two whole messages there.
struct NoiseInjector {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> pending;
};

void DeleteInjector(gpointer p) {
    delete static_cast<NoiseInjector*>(p);
}

// The server library hands a messages function the data of the plain send
// function, not its own: the injector is found on the client instead.
gboolean WriteWithNoise(GstRTSPClient* client, GstRTSPMessage* messages, guint count, gboolean,
                        gpointer) {
    auto* injector =
        static_cast<NoiseInjector*>(g_object_get_data(G_OBJECT(client), "camsim-noise"));
    if (!injector) return FALSE;
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    if (!connection) return FALSE;
    constexpr gint64 kTimeoutUs = 5 * G_USEC_PER_SEC;
    std::vector<std::vector<uint8_t>> noise;
    {
        std::lock_guard<std::mutex> guard(injector->lock);
        noise.swap(injector->pending);
    }
    for (const auto& frame : noise) {
        if (gst_rtsp_connection_write_usec(connection, frame.data(), guint(frame.size()),
                                           kTimeoutUs) != GST_RTSP_OK)
            return FALSE;
    }
    return gst_rtsp_connection_send_messages_usec(connection, messages, count, kTimeoutUs) ==
           GST_RTSP_OK;
}

struct StrangerSend {
    GstRTSPClient* client;
    std::function<void(GstRTSPClient*, const GstRTSPTransport*)> each;
};

GstRTSPFilterResult EachTransport(GstRTSPClient*, GstRTSPSession* session, gpointer user) {
    auto* send = static_cast<StrangerSend*>(user);
    GList* medias = gst_rtsp_session_filter(session, nullptr, nullptr);
    for (GList* m = medias; m; m = m->next) {
        auto* sessionMedia = static_cast<GstRTSPSessionMedia*>(m->data);
        if (gst_rtsp_session_media_get_rtsp_state(sessionMedia) != GST_RTSP_STATE_PLAYING) continue;
        GstRTSPMedia* media = gst_rtsp_session_media_get_media(sessionMedia);
        const guint streams = media ? gst_rtsp_media_n_streams(media) : 0;
        for (guint i = 0; i < streams; ++i) {
            GstRTSPStreamTransport* t = gst_rtsp_session_media_get_transport(sessionMedia, i);
            const GstRTSPTransport* tr = t ? gst_rtsp_stream_transport_get_transport(t) : nullptr;
            if (tr) send->each(send->client, tr);
        }
    }
    g_list_free_full(medias, g_object_unref);
    return GST_RTSP_FILTER_KEEP;
}

GstRTSPFilterResult EachClient(GstRTSPServer*, GstRTSPClient* client, gpointer user) {
    auto* send = static_cast<StrangerSend*>(user);
    send->client = client;
    GList* kept = gst_rtsp_client_session_filter(client, &EachTransport, send);
    g_list_free_full(kept, g_object_unref);
    return GST_RTSP_FILTER_KEEP;
}

}  // namespace

RtspServer::RtspServer(SimState* state, std::shared_ptr<const FileContent> file)
    : state_(state), file_(std::move(file)) {}

RtspServer::~RtspServer() {
    if (strangerSocket_ >= 0) close(strangerSocket_);
    if (!server_) return;
    if (cleanupId_) g_source_remove(cleanupId_);
    Suspend();
    g_object_unref(server_);
}

bool RtspServer::Start(uint16_t port, std::string* error) {
    const Options& o = state_->options();
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, o.bind.c_str());
    gst_rtsp_server_set_service(server_, std::to_string(port).c_str());
    if (o.auth != AuthMode::None) {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        GstRTSPToken* token =
            gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "user", nullptr);
        gst_rtsp_auth_set_realm(auth, "camsim");
        if (o.auth == AuthMode::Basic) {
            gchar* basic = gst_rtsp_auth_make_basic(o.user.c_str(), o.password.c_str());
            gst_rtsp_auth_add_basic(auth, basic, token);
            g_free(basic);
            gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_BASIC);
        } else {
            gst_rtsp_auth_add_digest(auth, o.user.c_str(), o.password.c_str(), token);
            gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
        }
        gst_rtsp_token_unref(token);
        gst_rtsp_server_set_auth(server_, auth);
        g_object_unref(auth);
    }
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
    for (unsigned sensor = 0; sensor <= o.sensors; ++sensor) {
        // "/h264.sdp" is the first sensor; "/h264.sdpN" names sensor N.
        std::string path = sensor == 0 ? "/h264.sdp" : "/h264.sdp" + std::to_string(sensor);
        auto* factory = GST_RTSP_MEDIA_FACTORY(g_object_new(SimFactoryType(), nullptr));
        g_object_set_data_full(G_OBJECT(factory), "camsim",
                               new FactoryData{state_, sensor == 0 ? 1 : sensor, file_},
                               &DeleteFactoryData);
        // Every client gets its own pipeline: no shared seeks, no mixing of
        // UDP and TCP clients on one media.
        gst_rtsp_media_factory_set_shared(factory, FALSE);
        if (o.auth != AuthMode::None)
            gst_rtsp_media_factory_add_role(
                factory, "user", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
        // Bound to an address of its own (several simulators side by side),
        // the RTP must leave from that address too: clients drop packets from
        // another source.
        if (o.bind != "127.0.0.1" && o.bind != "0.0.0.0") {
            GstRTSPAddressPool* pool = gst_rtsp_address_pool_new();
            gst_rtsp_address_pool_add_range(pool, o.bind.c_str(), o.bind.c_str(), 20000, 29999, 0);
            gst_rtsp_media_factory_set_address_pool(factory, pool);
            g_object_unref(pool);
        }
        g_signal_connect(factory, "media-constructed", G_CALLBACK(&OnMediaConstructed), nullptr);
        gst_rtsp_mount_points_add_factory(mounts, path.c_str(), factory);
    }
    g_object_unref(mounts);
    g_signal_connect(server_, "client-connected", G_CALLBACK(&OnClientConnected), state_);
    // One thread per client (up to 64), so that a slow answer to one client
    // does not hold back the others.
    GstRTSPThreadPool* threads = gst_rtsp_server_get_thread_pool(server_);
    gst_rtsp_thread_pool_set_max_threads(threads, 64);
    g_object_unref(threads);
    if (!Attach(error)) return false;
    port_ = static_cast<uint16_t>(gst_rtsp_server_get_bound_port(server_));
    cleanupId_ = g_timeout_add_seconds(1, &RtspServer::OnCleanup, this);
    return true;
}

gboolean RtspServer::OnCleanup(gpointer self) {
    auto* server = static_cast<RtspServer*>(self);
    GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server->server_);
    gst_rtsp_session_pool_cleanup(pool);
    if (!server->state_->options().refreshOn.empty()) {
        GList* kept = gst_rtsp_session_pool_filter(pool, &RemoveLapsed, server->state_);
        g_list_free_full(kept, g_object_unref);
    }
    g_object_unref(pool);
    return G_SOURCE_CONTINUE;
}

bool RtspServer::Attach(std::string* error) {
    sourceId_ = gst_rtsp_server_attach(server_, nullptr);
    if (sourceId_ == 0) {
        gchar* service = gst_rtsp_server_get_service(server_);
        *error = std::string("cannot listen on RTSP port ") + (service ? service : "");
        g_free(service);
        return false;
    }
    return true;
}

void RtspServer::DropSessions() {
    if (!server_) return;
    GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server_);
    GList* kept = gst_rtsp_session_pool_filter(pool, &RemoveSession, nullptr);
    g_list_free_full(kept, g_object_unref);
    g_object_unref(pool);
    kept = gst_rtsp_server_client_filter(server_, &RemoveClient, nullptr);
    g_list_free_full(kept, g_object_unref);
}

void RtspServer::Suspend() {
    if (sourceId_) g_source_remove(sourceId_);
    sourceId_ = 0;
    DropSessions();
}

bool RtspServer::Resume(std::string* error) {
    if (sourceId_) return true;
    gst_rtsp_server_set_service(server_, std::to_string(port_).c_str());
    return Attach(error);
}

unsigned RtspServer::SendRtcp(const std::vector<uint8_t>& bytes) {
    if (!server_ || bytes.empty()) return 0;
    RtcpSend send{&bytes, 0};
    GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server_);
    GList* kept = gst_rtsp_session_pool_filter(pool, &SendRtcpToSession, &send);
    g_list_free_full(kept, g_object_unref);
    g_object_unref(pool);
    return send.reached;
}

unsigned RtspServer::SendStranger() {
    if (!server_) return 0;
    if (strangerSocket_ < 0) {
        strangerSocket_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        const std::string& bind = state_->options().bind;
        if (strangerSocket_ < 0 ||
            inet_pton(AF_INET, bind == "0.0.0.0" ? "127.0.0.1" : bind.c_str(), &local.sin_addr) !=
                1 ||
            ::bind(strangerSocket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            if (strangerSocket_ >= 0) close(strangerSocket_);
            strangerSocket_ = -1;
            return 0;
        }
    }
    unsigned reached = 0;
    auto noise = [this](std::vector<uint8_t>& bytes) {
        while (bytes.size() < 12 + kNoiseBytes)
            bytes.push_back(static_cast<uint8_t>(random_()));
    };
    StrangerSend send{nullptr, nullptr};
    send.each = [&](GstRTSPClient* client, const GstRTSPTransport* tr) {
        if (tr->lower_transport == GST_RTSP_LOWER_TRANS_TCP) {
            auto* injector =
                static_cast<NoiseInjector*>(g_object_get_data(G_OBJECT(client), "camsim-noise"));
            if (!injector) {
                injector = new NoiseInjector;
                g_object_set_data_full(G_OBJECT(client), "camsim-noise", injector, &DeleteInjector);
                gst_rtsp_client_set_send_messages_func(client, &WriteWithNoise, nullptr, nullptr);
            }
            // Random from the first byte on, the header as well as the payload,
            // except that the first byte never reads as RTP version 2: one that
            // does, with the session's payload type (1 in 512), is believed
            // and costs the frames it swallows, so a run's loss would depend on
            // chance. The reader's unit tests cover that case.
            std::vector<uint8_t> frame = {'$', static_cast<uint8_t>(tr->interleaved.min), 0xFF,
                                          0xFF, static_cast<uint8_t>(random_() & 0x7F)};
            frame.reserve(4 + kNoiseBytes);
            while (frame.size() < 4 + kNoiseBytes)
                frame.push_back(static_cast<uint8_t>(random_()));
            std::lock_guard<std::mutex> guard(injector->lock);
            injector->pending.push_back(std::move(frame));
            ++reached;
            return;
        }
        if (!tr->destination || tr->client_port.min <= 0) return;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(tr->client_port.min));
        if (inet_pton(AF_INET, tr->destination, &to.sin_addr) != 1) return;
        const uint16_t seq = strangerSequence_++;
        const uint32_t timestamp = random_();
        std::vector<uint8_t> packet = {0x80,
                                       0x80 | 96,  // marker, the session's payload type
                                       uint8_t(seq >> 8),
                                       uint8_t(seq),
                                       uint8_t(timestamp >> 24),
                                       uint8_t(timestamp >> 16),
                                       uint8_t(timestamp >> 8),
                                       uint8_t(timestamp),
                                       uint8_t(kStrangerSsrc >> 24),
                                       uint8_t(kStrangerSsrc >> 16),
                                       uint8_t(kStrangerSsrc >> 8),
                                       uint8_t(kStrangerSsrc)};
        noise(packet);
        if (sendto(strangerSocket_, packet.data(), packet.size(), 0,
                   reinterpret_cast<sockaddr*>(&to), sizeof(to)) > 0)
            ++reached;
    };
    GList* kept = gst_rtsp_server_client_filter(server_, &EachClient, &send);
    g_list_free_full(kept, g_object_unref);
    return reached;
}

unsigned RtspServer::SessionCount() {
    if (!server_) return 0;
    GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server_);
    unsigned n = gst_rtsp_session_pool_get_n_sessions(pool);
    g_object_unref(pool);
    return n;
}

}  // namespace camsim
