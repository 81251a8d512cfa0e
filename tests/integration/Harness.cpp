#include "Harness.h"

#include "support/FFmpegPtr.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

extern char** environ;

namespace it {

// ---- time, files, processes ---------------------------------------------------------------

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string ExePath() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string ExeDir() {
    const std::string path = ExePath();
    return path.empty() ? "./" : path.substr(0, path.rfind('/') + 1);
}

FileGuard::~FileGuard() {
    unlink(path_.c_str());
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Child::~Child() {
    Terminate();
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
}

bool Child::Start(const std::vector<std::string>& args, bool captureStdout) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (captureStdout) {
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureStdout) {
        close(fds[1]);
        stdoutFd_ = fds[0];
    }
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool Child::ReadLine(std::string* line, int timeoutMs) {
    const int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        const size_t eol = pending_.find('\n');
        if (eol != std::string::npos) {
            *line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            return true;
        }
        const int64_t left = deadline - MonotonicMs();
        if (stdoutFd_ < 0 || left <= 0)
            return false;
        pollfd p{stdoutFd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

bool Child::Wait(int timeoutMs, int* status, struct rusage* usage) {
    if (pid_ <= 0)
        return false;
    const int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        int st = 0;
        const pid_t r = wait4(pid_, &st, WNOHANG, usage);
        if (r == pid_) {
            pid_ = -1;
            if (status)
                *status = st;
            return true;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return false;
        }
        if (MonotonicMs() >= deadline)
            return false;
        SleepMs(10);
    }
}

void Child::Terminate() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!Wait(5000, nullptr) && pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait(5000, nullptr);
    }
    pid_ = -1;
}

int RunCommand(const std::vector<std::string>& argv, int timeoutMs) {
    Child child;
    // Its output is read and dropped (xrandr chatters on standard output).
    if (!child.Start(argv, true))
        return -1;
    std::string line;
    while (child.ReadLine(&line, timeoutMs)) {
    }
    int status = 0;
    if (!child.Wait(timeoutMs, &status))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double ProcessCpuSeconds(pid_t pid) {
    const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name, which is in parentheses and may hold blanks.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1.0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- the test scene -----------------------------------------------------------------------

bool Scene::Start(int fps, bool flash) {
    fps_ = fps;
    flash_ = flash;
    std::vector<std::string> argv = {VISTREC_TESTSCENE_PATH, "--fps", std::to_string(fps)};
    if (flash)
        argv.push_back("--flash");
    if (!child_.Start(argv, true))
        return false;
    std::string line;
    if (!child_.ReadLine(&line, 20000) || line.compare(0, 6, "ready ") != 0)
        return false;
    startMs_ = std::stoll(line.substr(6));
    return true;
}

testscene::SceneOptions Scene::options() const {
    testscene::SceneOptions o;
    o.fps = fps_;
    o.flash = flash_;
    return o;
}

// ---- an X client of the test display ------------------------------------------------------

namespace {
Display* Dpy(void* d) {
    return static_cast<Display*>(d);
}
}  // namespace

XClient::XClient() {
    display_ = XOpenDisplay(nullptr);
}

XClient::~XClient() {
    if (!display_)
        return;
    for (unsigned long w : windows_)
        XDestroyWindow(Dpy(display_), w);
    XCloseDisplay(Dpy(display_));
}

int XClient::screenWidth() const {
    return DisplayWidth(Dpy(display_), 0);
}
int XClient::screenHeight() const {
    return DisplayHeight(Dpy(display_), 0);
}

unsigned long XClient::CreateWindow(const std::string& windowClass, int x, int y, int w, int h,
                                    unsigned long parent, bool map) {
    Display* d = Dpy(display_);
    if (!d)
        return 0;
    XSetWindowAttributes attributes{};
    attributes.background_pixel = BlackPixel(d, 0);
    attributes.override_redirect = True;
    const Window window =
        XCreateWindow(d, parent ? parent : DefaultRootWindow(d), x, y, w, h, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    std::string instance = "vistrec-it";
    std::string klass = windowClass;
    XClassHint hint{&instance[0], &klass[0]};
    XSetClassHint(d, window, &hint);
    if (map)
        XMapWindow(d, window);
    XSync(d, False);
    if (!parent)
        windows_.push_back(window);
    return window;
}

std::vector<XMessage> XClient::CollectClientMessages(int timeoutMs, size_t expected) {
    std::vector<XMessage> messages;
    Display* d = Dpy(display_);
    if (!d)
        return messages;
    const int64_t deadline = MonotonicMs() + timeoutMs;
    while (MonotonicMs() < deadline && (expected == 0 || messages.size() < expected)) {
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type != ClientMessage)
                continue;
            XMessage m{};
            char* name = XGetAtomName(d, event.xclient.message_type);
            m.type = name ? name : "";
            if (name)
                XFree(name);
            for (int i = 0; i < 5; ++i)
                m.data[i] = event.xclient.data.l[i];
            messages.push_back(m);
        }
        if (expected != 0 && messages.size() >= expected)
            break;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, 20);
    }
    return messages;
}

bool XClient::GrabScreen(Bgra* out) {
    Display* d = Dpy(display_);
    if (!d)
        return false;
    const int w = screenWidth(), h = screenHeight();
    XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, w, h, AllPlanes, ZPixmap);
    if (!image)
        return false;
    const bool usable = image->bits_per_pixel == 32 && image->byte_order == LSBFirst;
    if (usable) {
        out->width = w;
        out->height = h;
        out->pixels.resize(static_cast<size_t>(w) * h * 4);
        for (int y = 0; y < h; ++y) {
            std::memcpy(out->Row(y),
                        image->data + static_cast<ptrdiff_t>(y) * image->bytes_per_line,
                        static_cast<size_t>(w) * 4);
        }
    }
    XDestroyImage(image);
    return usable;
}

void XClient::WarpPointer(int x, int y) {
    Display* d = Dpy(display_);
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    XSync(d, False);
}

void XClient::Sync() {
    XSync(Dpy(display_), False);
}

// ---- decoding ------------------------------------------------------------------------------

namespace {

using SwsPtr = SwsContextPtr;

std::string AvError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

FramePtr NewFrame(AVPixelFormat format, int w, int h) {
    FramePtr f(av_frame_alloc());
    if (!f)
        return f;
    f->format = format;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0)
        f.reset();
    return f;
}

}  // namespace

bool DecodeVideo(const std::string& path, MediaInfo* info,
                 const std::function<void(const AVFrame&, double)>& onFrame, std::string* error) {
    *info = MediaInfo();
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        *error = "cannot open " + path + ": " + AvError(rc);
        return false;
    }
    AVFormatInputPtr input(raw);
    rc = avformat_find_stream_info(input.get(), nullptr);
    if (rc < 0) {
        *error = "no stream information: " + AvError(rc);
        return false;
    }
    info->streams = static_cast<int>(input->nb_streams);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVMediaType type = input->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO)
            ++info->videoStreams;
        if (type == AVMEDIA_TYPE_AUDIO)
            ++info->audioStreams;
    }
    if (input->duration != AV_NOPTS_VALUE && input->duration > 0) {
        info->formatDuration = input->duration / static_cast<double>(AV_TIME_BASE);
    }
    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) {
        *error = "no decodable video stream";
        return false;
    }
    AVStream* stream = input->streams[index];
    const AVRational tb = stream->time_base;
    info->videoCodec = decoder->name;
    info->width = stream->codecpar->width;
    info->height = stream->codecpar->height;
    info->frameRate = av_q2d(stream->r_frame_rate);
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        info->videoDuration = stream->duration * av_q2d(tb);
    }
    AVCodecContextPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) {
        *error = "cannot set up the decoder";
        return false;
    }
    codec->thread_count = 1;
    rc = avcodec_open2(codec.get(), decoder, nullptr);
    if (rc < 0) {
        *error = "cannot open the decoder: " + AvError(rc);
        return false;
    }
    AVPacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    SwsPtr converter;
    FramePtr converted;
    bool first = true;
    auto drain = [&]() {
        while (avcodec_receive_frame(codec.get(), frame.get()) == 0) {
            const int64_t ts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                                   ? frame->best_effort_timestamp
                                   : frame->pts;
            const double pts = ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(tb);
            if (first)
                info->firstPts = pts;
            first = false;
            info->lastPts = pts;
            ++info->decodedFrames;
            if (frame->format == AV_PIX_FMT_YUV420P) {
                onFrame(*frame, pts);
            } else {
                if (!converter) {
                    converter.reset(sws_getContext(frame->width, frame->height,
                                                   static_cast<AVPixelFormat>(frame->format),
                                                   frame->width, frame->height, AV_PIX_FMT_YUV420P,
                                                   SWS_BICUBIC, nullptr, nullptr, nullptr));
                    converted = NewFrame(AV_PIX_FMT_YUV420P, frame->width, frame->height);
                }
                sws_scale(converter.get(), frame->data, frame->linesize, 0, frame->height,
                          converted->data, converted->linesize);
                onFrame(*converted, pts);
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            avcodec_send_packet(codec.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
    return true;
}

// ---- reference pictures and comparison ----------------------------------------------------

Bgra Crop(const Bgra& source, const testscene::Rect& r) {
    Bgra out;
    out.width = r.w;
    out.height = r.h;
    out.pixels.resize(static_cast<size_t>(r.w) * r.h * 4);
    for (int y = 0; y < r.h; ++y) {
        std::memcpy(out.Row(y), source.Row(r.y + y) + static_cast<size_t>(r.x) * 4,
                    static_cast<size_t>(r.w) * 4);
    }
    return out;
}

Bgra ScaleBgra(const Bgra& source, int w, int h) {
    if (w == source.width && h == source.height)
        return source;
    Bgra out;
    out.width = w;
    out.height = h;
    out.pixels.resize(static_cast<size_t>(w) * h * 4);
    SwsPtr sws(sws_getContext(source.width, source.height, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_BGRA,
                              SWS_BICUBIC, nullptr, nullptr, nullptr));
    const uint8_t* src[4] = {source.pixels.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {source.width * 4, 0, 0, 0};
    uint8_t* dst[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {w * 4, 0, 0, 0};
    sws_scale(sws.get(), src, srcStride, 0, source.height, dst, dstStride);
    return out;
}

FramePtr ToYuv420(const Bgra& source, int w, int h) {
    FramePtr out = NewFrame(AV_PIX_FMT_YUV420P, w, h);
    SwsPtr sws(sws_getContext(source.width, source.height, AV_PIX_FMT_BGRA, w, h,
                              AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    const uint8_t* src[4] = {source.pixels.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {source.width * 4, 0, 0, 0};
    sws_scale(sws.get(), src, srcStride, 0, source.height, out->data, out->linesize);
    return out;
}

double LumaPsnr(const AVFrame& a, const AVFrame& b, testscene::Rect area,
                const std::vector<testscene::Rect>& exclude) {
    if (area.w == 0)
        area = testscene::Rect{0, 0, a.width, a.height};
    area.w = std::min(area.w, std::min(a.width, b.width) - area.x);
    area.h = std::min(area.h, std::min(a.height, b.height) - area.y);
    double sum = 0.0;
    long count = 0;
    for (int y = area.y; y < area.y + area.h; ++y) {
        const uint8_t* pa = a.data[0] + static_cast<ptrdiff_t>(y) * a.linesize[0];
        const uint8_t* pb = b.data[0] + static_cast<ptrdiff_t>(y) * b.linesize[0];
        for (int x = area.x; x < area.x + area.w; ++x) {
            bool skip = false;
            for (const auto& e : exclude) {
                if (x >= e.x && x < e.x + e.w && y >= e.y && y < e.y + e.h) {
                    skip = true;
                    break;
                }
            }
            if (skip)
                continue;
            const double d = static_cast<double>(pa[x]) - pb[x];
            sum += d * d;
            ++count;
        }
    }
    if (count == 0)
        return 0.0;
    const double mse = sum / static_cast<double>(count);
    if (mse < 1e-10)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

bool ReadFrameCounter(const AVFrame& yuv, const testscene::ScreenToImage& map, int screenW,
                      int screenH, uint32_t* counter) {
    testscene::ImageView luma;
    luma.data = yuv.data[0];
    luma.width = yuv.width;
    luma.height = yuv.height;
    luma.stride = yuv.linesize[0];
    luma.bytesPerPixel = 1;
    for (const auto& mark : testscene::MarkRects(screenW, screenH)) {
        if (testscene::ReadCounter(luma, map, mark.x, mark.y, counter))
            return true;
    }
    return false;
}

}  // namespace it
