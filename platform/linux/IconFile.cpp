// Reading ".ico" files: the directory, BMP entries of 1, 4, 8, 24 and 32 bits with their AND
// mask, and PNG entries (decoded by libavcodec, already used for the video). Every offset and
// length is checked against the file before it is used, sizes are bounded before anything is
// allocated, and every failure is a null result with a reason.
#include "platform/linux/IconFile.h"
#include "support/FFmpegPtr.h"

#include <stdio.h>
#include <string.h>

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace vistrec {
namespace platform {
namespace ico {
namespace {

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t U32BE(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint32_t Premultiply(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    r = (r * a + 127) / 255;
    g = (g * a + 127) / 255;
    b = (b * a + 127) / 255;
    return (a << 24) | (r << 16) | (g << 8) | b;
}

std::unique_ptr<IconImage> Fail(std::string* error, const char* why) {
    if (error)
        *error = why;
    return nullptr;
}

std::unique_ptr<IconImage> NewIcon(int w, int h) {
    auto icon = std::make_unique<IconImage>();
    icon->width = w;
    icon->height = h;
    icon->xHotspot = w / 2;
    icon->yHotspot = h / 2;
    icon->argb.assign(static_cast<size_t>(w) * h, 0);
    return icon;
}

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool IsPng(const uint8_t* p, size_t n) {
    return n >= 8 && memcmp(p, kPngSignature, 8) == 0;
}

// ---- BMP entries ----

// A BMP entry: a BITMAPINFOHEADER whose height counts the colour rows and the mask rows, the
// palette (8 bits and less), the colour rows and the AND mask rows, both bottom row first.
std::unique_ptr<IconImage> DecodeBmp(const uint8_t* p, size_t n, std::string* error) {
    if (n < 40)
        return Fail(error, "BMP entry shorter than its header");
    const uint32_t headerSize = U32(p);
    const int32_t w = static_cast<int32_t>(U32(p + 4));
    const int32_t fullH = static_cast<int32_t>(U32(p + 8));
    const int bpp = U16(p + 14);
    const uint32_t compression = U32(p + 16);
    const uint32_t clrUsed = U32(p + 32);
    if (headerSize < 40 || headerSize > n)
        return Fail(error, "BMP entry header size out of range");
    const int h = fullH / 2;
    if (w < 1 || w > kMaxSide || h < 1 || h > kMaxSide)
        return Fail(error, "BMP entry size out of range");
    if (compression != 0)
        return Fail(error, "compressed BMP entry");
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32)
        return Fail(error, "BMP entry bit depth not supported");

    size_t at = headerSize;
    uint32_t palette[256] = {0};
    if (bpp <= 8) {
        const uint32_t maxColours = 1u << bpp;
        const uint32_t colours = clrUsed == 0 ? maxColours : clrUsed;
        if (colours > maxColours)
            return Fail(error, "BMP entry palette too large");
        if (n - at < colours * 4)
            return Fail(error, "BMP entry palette truncated");
        for (uint32_t i = 0; i < colours; ++i)
            palette[i] = U32(p + at + 4 * i) & 0xFFFFFFu;
        at += colours * 4;
    }
    const size_t xorStride = (static_cast<size_t>(w) * bpp + 31) / 32 * 4;
    const size_t andStride = (static_cast<size_t>(w) + 31) / 32 * 4;
    if (n - at < xorStride * h)
        return Fail(error, "BMP entry colour rows truncated");
    const uint8_t* xorRows = p + at;
    at += xorStride * h;
    // 32-bit entries carry their own alpha; some writers leave the mask out.
    const bool hasMask = n - at >= andStride * h;
    if (!hasMask && bpp != 32)
        return Fail(error, "BMP entry mask truncated");
    const uint8_t* andRows = hasMask ? p + at : nullptr;

    auto icon = NewIcon(w, h);
    bool anyAlpha = false;
    for (int r = 0; r < h && bpp == 32; ++r)
        for (int c = 0; c < w && !anyAlpha; ++c)
            anyAlpha = xorRows[r * xorStride + c * 4 + 3] != 0;
    for (int r = 0; r < h; ++r) {
        const uint8_t* row = xorRows + r * xorStride;
        const uint8_t* mask = andRows ? andRows + r * andStride : nullptr;
        uint32_t* out = icon->argb.data() + static_cast<size_t>(h - 1 - r) * w;
        for (int c = 0; c < w; ++c) {
            uint32_t rgb = 0;
            switch (bpp) {
                case 1:
                    rgb = palette[(row[c / 8] >> (7 - c % 8)) & 1];
                    break;
                case 4:
                    rgb = palette[(row[c / 2] >> (c % 2 ? 0 : 4)) & 0xF];
                    break;
                case 8:
                    rgb = palette[row[c]];
                    break;
                default: {
                    const uint8_t* px = row + c * (bpp / 8);
                    rgb = px[0] | (px[1] << 8) | (px[2] << 16);
                }
            }
            uint32_t a = 255;
            if (bpp == 32 && anyAlpha)
                a = row[c * 4 + 3];
            else if (mask && ((mask[c / 8] >> (7 - c % 8)) & 1))
                a = 0;  // a set mask bit is a transparent pixel
            out[c] = Premultiply(a, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
        }
    }
    return icon;
}

// ---- PNG entries ----

// One pixel of a decoded PNG row as straight (a, r, g, b).
bool ReadPngPixel(const AVFrame* f, int x, int y, uint32_t* a, uint32_t* r, uint32_t* g,
                  uint32_t* b) {
    const uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    *a = 255;
    switch (f->format) {
        case AV_PIX_FMT_RGBA:
            *r = row[x * 4], *g = row[x * 4 + 1], *b = row[x * 4 + 2], *a = row[x * 4 + 3];
            return true;
        case AV_PIX_FMT_RGB24:
            *r = row[x * 3], *g = row[x * 3 + 1], *b = row[x * 3 + 2];
            return true;
        case AV_PIX_FMT_RGBA64BE:  // 16-bit samples: the high byte is the 8-bit value
            *r = row[x * 8], *g = row[x * 8 + 2], *b = row[x * 8 + 4], *a = row[x * 8 + 6];
            return true;
        case AV_PIX_FMT_RGB48BE:
            *r = row[x * 6], *g = row[x * 6 + 2], *b = row[x * 6 + 4];
            return true;
        case AV_PIX_FMT_GRAY8:
            *r = *g = *b = row[x];
            return true;
        case AV_PIX_FMT_YA8:
            *r = *g = *b = row[x * 2], *a = row[x * 2 + 1];
            return true;
        case AV_PIX_FMT_GRAY16BE:
            *r = *g = *b = row[x * 2];
            return true;
        case AV_PIX_FMT_YA16BE:
            *r = *g = *b = row[x * 4], *a = row[x * 4 + 2];
            return true;
        case AV_PIX_FMT_MONOBLACK:
            *r = *g = *b = ((row[x / 8] >> (7 - x % 8)) & 1) ? 255 : 0;
            return true;
        case AV_PIX_FMT_PAL8: {
            // The palette is native-endian ARGB, its alpha from the PNG's transparency chunk.
            uint32_t argb = 0;
            memcpy(&argb, f->data[1] + 4 * row[x], 4);
            *a = argb >> 24, *r = (argb >> 16) & 0xFF, *g = (argb >> 8) & 0xFF, *b = argb & 0xFF;
            return true;
        }
        default:
            return false;
    }
}

std::unique_ptr<IconImage> DecodePng(const uint8_t* p, size_t n, std::string* error) {
    // The size in the header is checked before the decoder allocates anything for it.
    if (n < 24 || memcmp(p + 12, "IHDR", 4) != 0)
        return Fail(error, "PNG entry without a header");
    const uint32_t w = U32BE(p + 16), h = U32BE(p + 20);
    if (w < 1 || w > kMaxSide || h < 1 || h > kMaxSide)
        return Fail(error, "PNG entry size out of range");
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (!codec)
        return Fail(error, "no PNG decoder");
    AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
    AVFramePtr frame(av_frame_alloc());
    AVPacketPtr packet(av_packet_alloc());
    if (!ctx || !frame || !packet)
        return Fail(error, "out of memory");
    ctx->thread_count = 1;
    ctx->max_pixels = static_cast<int64_t>(kMaxSide) * kMaxSide;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return Fail(error, "PNG decoder does not open");
    if (av_new_packet(packet.get(), static_cast<int>(n)) < 0)
        return Fail(error, "out of memory");
    memcpy(packet->data, p, n);
    if (avcodec_send_packet(ctx.get(), packet.get()) < 0)
        return Fail(error, "PNG entry does not decode");
    int got = avcodec_receive_frame(ctx.get(), frame.get());
    if (got == AVERROR(EAGAIN)) {
        avcodec_send_packet(ctx.get(), nullptr);
        got = avcodec_receive_frame(ctx.get(), frame.get());
    }
    if (got < 0)
        return Fail(error, "PNG entry does not decode");
    if (frame->width != static_cast<int>(w) || frame->height != static_cast<int>(h))
        return Fail(error, "PNG entry size differs from its header");
    auto icon = NewIcon(frame->width, frame->height);
    for (int y = 0; y < frame->height; ++y) {
        for (int x = 0; x < frame->width; ++x) {
            uint32_t a, r, g, b;
            if (!ReadPngPixel(frame.get(), x, y, &a, &r, &g, &b))
                return Fail(error, "PNG entry pixel format not supported");
            icon->argb[static_cast<size_t>(y) * frame->width + x] = Premultiply(a, r, g, b);
        }
    }
    return icon;
}

// ---- the directory ----

struct Entry {
    int width = 0, height = 0;  // from the directory; 0 there means 256
    int depth = 0;              // bits per pixel of the entry's data; PNG counts as 32
    size_t offset = 0, size = 0;
};

}  // namespace

// The entry read is the one Windows gives for an icon loaded at size 0 ("the size in the
// file"): the size of the first entry of the directory, and among the entries of that size the
// one of the greatest colour depth (the first of equal ones). An entry whose data lies outside
// the file counts as depth 0, so it is only taken when nothing else has that size.
std::unique_ptr<IconImage> DecodeIcon(const uint8_t* data, size_t size, std::string* error) {
    if (!data || size < 6)
        return Fail(error, "file shorter than its header");
    if (size > kMaxFileBytes)
        return Fail(error, "file too large");
    if (U16(data) != 0 || U16(data + 2) != 1)
        return Fail(error, "not an icon file");
    const size_t count = U16(data + 4);
    if (count == 0)
        return Fail(error, "icon file without images");
    if (size - 6 < count * 16)
        return Fail(error, "icon directory truncated");

    std::vector<Entry> entries(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* d = data + 6 + 16 * i;
        Entry& e = entries[i];
        e.width = d[0] == 0 ? 256 : d[0];
        e.height = d[1] == 0 ? 256 : d[1];
        e.size = U32(d + 8);
        e.offset = U32(d + 12);
        if (e.offset > size || e.size > size - e.offset || e.size == 0)
            continue;  // depth stays 0
        const uint8_t* p = data + e.offset;
        if (IsPng(p, e.size))
            e.depth = 32;
        else if (e.size >= 16)
            e.depth = U16(p + 14);
    }
    size_t best = 0;
    for (size_t i = 1; i < count; ++i) {
        const Entry& e = entries[i];
        if (e.width == entries[0].width && e.height == entries[0].height &&
            e.depth > entries[best].depth)
            best = i;
    }
    const Entry& e = entries[best];
    if (e.depth == 0)
        return Fail(error, "icon image lies outside the file");
    const uint8_t* p = data + e.offset;
    return IsPng(p, e.size) ? DecodePng(p, e.size, error) : DecodeBmp(p, e.size, error);
}

}  // namespace ico

std::unique_ptr<IconImage> LoadIconFile(const std::string& path, std::string* error) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return ico::Fail(error, "cannot open the file");
    std::unique_ptr<FILE, int (*)(FILE*)> owner(f, fclose);
    if (fseek(f, 0, SEEK_END) != 0)
        return ico::Fail(error, "cannot read the file");
    const long length = ftell(f);
    if (length < 0)
        return ico::Fail(error, "cannot read the file");
    if (static_cast<unsigned long>(length) > ico::kMaxFileBytes)
        return ico::Fail(error, "file too large");
    rewind(f);
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!bytes.empty() && fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
        return ico::Fail(error, "cannot read the file");
    return ico::DecodeIcon(bytes.data(), bytes.size(), error);
}

}  // namespace platform
}  // namespace vistrec
