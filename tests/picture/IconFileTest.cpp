// The icon reader: BMP entries of every depth with their mask, PNG entries, the entry picked
// among several sizes, malformed files, and icon files as ImageMagick writes them.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/linux/IconFile.h"
#include "common/TempDir.h"

using vistrec::platform::IconImage;
using Bytes = std::vector<uint8_t>;

namespace {

void Put16(Bytes* b, uint32_t v) {
    b->push_back(v & 0xFF);
    b->push_back((v >> 8) & 0xFF);
}
void Put32(Bytes* b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void Set32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = (v >> (8 * i)) & 0xFF;
}

// A BMP entry of w x h pixels, rows top first: palette indices (8 bits and less) or straight
// ARGB (24 and 32 bits), and the AND mask (true: transparent).
struct Bmp {
    int bpp, w, h;
    std::vector<uint32_t> palette;
    std::vector<uint32_t> px;
    std::vector<bool> mask;
};

Bytes BmpBytes(const Bmp& b) {
    Bytes out;
    Put32(&out, 40);
    Put32(&out, b.w);
    Put32(&out, 2 * b.h);
    Put16(&out, 1);
    Put16(&out, b.bpp);
    for (int i = 0; i < 4; ++i)
        Put32(&out, 0);
    Put32(&out, static_cast<uint32_t>(b.palette.size()));
    Put32(&out, 0);
    for (uint32_t c : b.palette)
        Put32(&out, c);
    const size_t stride = (b.w * b.bpp + 31) / 32 * 4, maskStride = (b.w + 31) / 32 * 4;
    for (int y = b.h - 1; y >= 0; --y) {
        Bytes row(stride, 0);
        for (int x = 0; x < b.w; ++x) {
            const uint32_t v = b.px[y * b.w + x];
            if (b.bpp < 8)
                row[x * b.bpp / 8] |= v << (8 - b.bpp - (x * b.bpp) % 8);
            else
                for (int k = 0; k < b.bpp / 8; ++k)
                    row[x * b.bpp / 8 + k] = (v >> (8 * k)) & 0xFF;
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    for (int y = b.h - 1; y >= 0; --y) {
        Bytes row(maskStride, 0);
        for (int x = 0; x < b.w; ++x)
            if (b.mask[y * b.w + x])
                row[x / 8] |= 0x80 >> (x % 8);
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

struct Image {
    int dirW, dirH;  // as written in the directory (256 as 0)
    Bytes data;
};

Bytes IcoFile(const std::vector<Image>& images) {
    Bytes out;
    Put16(&out, 0);
    Put16(&out, 1);
    Put16(&out, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (const Image& im : images) {
        out.push_back(im.dirW & 0xFF);
        out.push_back(im.dirH & 0xFF);
        out.push_back(0);
        out.push_back(0);
        Put16(&out, 1);
        Put16(&out, 32);
        Put32(&out, static_cast<uint32_t>(im.data.size()));
        Put32(&out, offset);
        offset += static_cast<uint32_t>(im.data.size());
    }
    for (const Image& im : images)
        out.insert(out.end(), im.data.begin(), im.data.end());
    return out;
}

std::unique_ptr<IconImage> Decode(const Bytes& b, std::string* error = nullptr) {
    return vistrec::platform::ico::DecodeIcon(b.data(), b.size(), error);
}

// A 3 x 2 picture of two colours and one transparent pixel (top right):
//   A B -
//   B A A
const uint32_t kRed = 0xFFFF0000u, kBlue = 0xFF0000FFu;
const std::vector<bool> kMask = {false, false, true, false, false, false};

Bmp Indexed(int bpp, uint32_t a, uint32_t b) {
    std::vector<uint32_t> palette(static_cast<size_t>(1) << bpp, 0x00123456u);
    palette[a] = kRed & 0xFFFFFF;
    palette[b] = kBlue & 0xFFFFFF;
    return Bmp{bpp, 3, 2, palette, {a, b, 0, b, a, a}, kMask};
}

std::vector<uint32_t> Expected(uint32_t a, uint32_t b) {
    return {a, b, 0, b, a, a};
}

TEST(IconFile, BmpEntriesOfEveryDepth) {
    struct Case {
        const char* name;
        Bmp bmp;
        std::vector<uint32_t> argb;  // premultiplied
    };
    const Case cases[] = {
        {"1 bit", Indexed(1, 1, 0), Expected(kRed, kBlue)},
        {"4 bits, both nibbles", Indexed(4, 5, 10), Expected(kRed, kBlue)},
        {"8 bits", Indexed(8, 200, 7), Expected(kRed, kBlue)},
        {"24 bits", Bmp{24, 3, 2, {}, {kRed, kBlue, kRed, kBlue, kRed, kRed}, kMask},
         Expected(kRed, kBlue)},
        // 32 bits: the alpha channel rules, the mask is not read; half blue premultiplies.
        {"32 bits with alpha",
         Bmp{32, 3, 2, {}, {kRed, 0x800000FFu, 0x00FFFFFFu, 0x800000FFu, kRed, kRed}, kMask},
         Expected(kRed, 0x80000080u)},
        // 32 bits whose alpha is zero throughout: the mask decides, as for lower depths.
        {"32 bits without alpha",
         Bmp{32, 3, 2, {}, {0xFF0000, 0xFF, 0xFFFFFF, 0xFF, 0xFF0000, 0xFF0000}, kMask},
         Expected(kRed, kBlue)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto icon = Decode(IcoFile({{3, 2, BmpBytes(c.bmp)}}), &error);
        ASSERT_TRUE(icon) << error;
        EXPECT_EQ(3, icon->width);
        EXPECT_EQ(2, icon->height);
        EXPECT_EQ(1, icon->xHotspot);  // the centre, truncated
        EXPECT_EQ(1, icon->yHotspot);
        EXPECT_EQ(c.argb, icon->argb);
    }
}

TEST(IconFile, ThirtyTwoBitEntryWithoutMaskReads) {
    Bytes entry = BmpBytes(Bmp{32, 3, 2, {}, {kRed, kRed, kRed, kRed, kRed, kRed}, kMask});
    entry.resize(entry.size() - 2 * 4);  // drop the mask rows
    auto icon = Decode(IcoFile({{3, 2, entry}}));
    ASSERT_TRUE(icon);
    EXPECT_EQ(std::vector<uint32_t>(6, kRed), icon->argb);
}

// A w x h PNG of one straight RGBA colour, made with libavcodec's encoder.
Bytes Png(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = AV_PIX_FMT_RGBA;
    ctx->time_base = {1, 25};
    Bytes out;
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        frame->width = w;
        frame->height = h;
        frame->format = AV_PIX_FMT_RGBA;
        av_frame_get_buffer(frame, 0);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = frame->data[0] + y * frame->linesize[0] + x * 4;
                p[0] = r, p[1] = g, p[2] = b, p[3] = a;
            }
        if (avcodec_send_frame(ctx, frame) == 0 && avcodec_receive_packet(ctx, pkt) == 0)
            out.assign(pkt->data, pkt->data + pkt->size);
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

TEST(IconFile, PngEntryDecodesPremultiplied) {
    const Bytes png = Png(40, 20, 255, 0, 0, 128);
    ASSERT_FALSE(png.empty());
    std::string error;
    auto icon = Decode(IcoFile({{40, 20, png}}), &error);
    ASSERT_TRUE(icon) << error;
    EXPECT_EQ(40, icon->width);
    EXPECT_EQ(20, icon->height);
    EXPECT_EQ(20, icon->xHotspot);
    EXPECT_EQ(std::vector<uint32_t>(40 * 20, 0x80800000u), icon->argb);
}

TEST(IconFile, PicksTheFirstEntrysSizeAtItsDeepestColour) {
    // Entries told apart by colour: the first size is 32, and among the 32-pixel entries the
    // 32-bit one is the deepest; a larger or deeper entry of another size is not taken.
    auto solid = [](int bpp, int n, uint32_t argb) {
        const size_t count = static_cast<size_t>(n) * n;
        if (bpp <= 8)
            return BmpBytes(Bmp{bpp,
                                n,
                                n,
                                {argb & 0xFFFFFF, 0},
                                std::vector<uint32_t>(count, 0),
                                std::vector<bool>(count, false)});
        return BmpBytes(Bmp{
            bpp, n, n, {}, std::vector<uint32_t>(count, argb), std::vector<bool>(count, false)});
    };
    struct Case {
        const char* name;
        std::vector<Image> images;
        int size;
        uint32_t colour;
    };
    const Case cases[] = {
        {"deepest of the first size",
         {{32, 32, solid(4, 32, 0xFF010101)},
          {16, 16, solid(32, 16, 0xFF020202)},
          {32, 32, solid(32, 32, 0xFF030303)},
          {48, 48, solid(32, 48, 0xFF040404)},
          {32, 32, solid(8, 32, 0xFF050505)}},
         32,
         0xFF030303},
        {"first of equal depth",
         {{16, 16, solid(24, 16, 0xFF010101)}, {16, 16, solid(24, 16, 0xFF020202)}},
         16,
         0xFF010101},
        {"PNG counts as 32 bits; 0 in the directory is 256",
         {{0, 0, solid(8, 256, 0xFF010101)}, {0, 0, Png(256, 256, 9, 9, 9, 255)}},
         256,
         0xFF090909},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto icon = Decode(IcoFile(c.images), &error);
        ASSERT_TRUE(icon) << error;
        EXPECT_EQ(c.size, icon->width);
        EXPECT_EQ(c.colour, icon->argb[0]);
    }
}

TEST(IconFile, MalformedFilesGiveNoIcon) {
    const Bytes good = IcoFile({{3, 2, BmpBytes(Indexed(8, 200, 7))}});
    const size_t bmp = 22;  // the entry's header in `good`
    // Cuts the file to `n` bytes and shortens the entry's length to match.
    auto cut = [](Bytes* b, size_t n) {
        b->resize(n);
        Set32(b, 14, static_cast<uint32_t>(n - 22));
    };
    Bytes hugePng = Png(4, 4, 1, 2, 3, 4);
    for (int i = 16; i < 24; ++i)
        hugePng[i] = i == 17 || i == 21 ? 0x27 : 0;  // IHDR claims 9984 x 9984
    const Bytes png = Png(16, 16, 1, 2, 3, 4);
    const Bytes halfPng(png.begin(), png.begin() + png.size() / 2);
    struct Case {
        const char* name;
        std::function<void(Bytes*)> spoil;
        const char* error;
    };
    const Case cases[] = {
        {"empty", [](Bytes* b) { b->clear(); }, "file shorter than its header"},
        {"short header", [](Bytes* b) { b->resize(4); }, "file shorter than its header"},
        {"cursor, not icon", [](Bytes* b) { (*b)[2] = 2; }, "not an icon file"},
        {"no images", [](Bytes* b) { (*b)[4] = 0; }, "icon file without images"},
        {"directory truncated", [](Bytes* b) { (*b)[4] = 200; }, "icon directory truncated"},
        {"offset past the end", [](Bytes* b) { Set32(b, 18, 100000); },
         "icon image lies outside the file"},
        {"length past the end", [](Bytes* b) { Set32(b, 14, 0xFFFFFFF0u); },
         "icon image lies outside the file"},
        {"header size past the entry", [&](Bytes* b) { Set32(b, bmp, 5000); },
         "BMP entry header size out of range"},
        {"width 0", [&](Bytes* b) { Set32(b, bmp + 4, 0); }, "BMP entry size out of range"},
        {"width 300", [&](Bytes* b) { Set32(b, bmp + 4, 300); }, "BMP entry size out of range"},
        {"height 4000", [&](Bytes* b) { Set32(b, bmp + 8, 8000); }, "BMP entry size out of range"},
        {"negative height", [&](Bytes* b) { Set32(b, bmp + 8, 0xFFFFFFFCu); },
         "BMP entry size out of range"},
        {"16 bits", [&](Bytes* b) { (*b)[bmp + 14] = 16; }, "BMP entry bit depth not supported"},
        {"compressed", [&](Bytes* b) { (*b)[bmp + 16] = 1; }, "compressed BMP entry"},
        {"palette larger than the depth", [&](Bytes* b) { Set32(b, bmp + 32, 300); },
         "BMP entry palette too large"},
        {"palette truncated", [&](Bytes* b) { cut(b, bmp + 40 + 100); },
         "BMP entry palette truncated"},
        {"colour rows truncated", [&](Bytes* b) { cut(b, bmp + 40 + 1024 + 4); },
         "BMP entry colour rows truncated"},
        {"mask truncated", [&](Bytes* b) { cut(b, b->size() - 1); }, "BMP entry mask truncated"},
        {"PNG of 9984 x 9984",
         [&](Bytes* b) {
             *b = IcoFile({{0, 0, hugePng}});
         },
         "PNG entry size out of range"},
        {"PNG cut short",
         [&](Bytes* b) {
             *b = IcoFile({{16, 16, halfPng}});
         },
         "PNG entry does not decode"},
        {"too large a file", [](Bytes* b) { b->resize(vistrec::platform::ico::kMaxFileBytes + 1); },
         "file too large"},
    };
    ASSERT_TRUE(Decode(good));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        c.spoil(&b);
        std::string error;
        EXPECT_FALSE(Decode(b, &error));
        EXPECT_EQ(c.error, error);
    }
}

TEST(IconFile, LoadsFromFileOrSaysWhyNot) {
    vistrec::test::TempDir dir;
    const Bytes bytes = IcoFile({{3, 2, BmpBytes(Indexed(1, 1, 0))}});
    const std::string path = dir.Write("a.ico", std::string(bytes.begin(), bytes.end()));
    auto icon = vistrec::platform::LoadIconFile(path);
    ASSERT_TRUE(icon);
    EXPECT_EQ(Expected(kRed, kBlue), icon->argb);
    std::string error;
    EXPECT_FALSE(vistrec::platform::LoadIconFile(dir.File("missing.ico"), &error));
    EXPECT_EQ("cannot open the file", error);
}

// Icon files as ImageMagick writes them: several sizes, a PNG entry, palette entries of 1 and
// 4 bits with their mask.
TEST(IconFile, ReadsImageMagickLayouts) {
    if (system("convert -version 2>/dev/null | grep -q ImageMagick") != 0)
        GTEST_SKIP() << "ImageMagick's convert is not installed (scripts/install-deps.sh)";
    vistrec::test::TempDir dir;
    const std::string halfPlane = "-size 32x32 xc:white -fill black -draw 'rectangle 0,0 15,31' ";
    struct Case {
        const char* name;
        std::string args;
        int size, depth;  // expected size, and bits per pixel of the first entry
        int x, y;
        uint32_t argb;  // premultiplied, at (x, y)
    };
    const Case cases[] = {
        {"several sizes, the first taken",
         "-size 48x48 'xc:rgba(0,255,0,0.5)' -size 16x16 xc:red -size 32x32 xc:blue", 48, 32, 5, 5,
         0x80008000u},
        {"PNG entry", "-size 256x256 'xc:rgba(0,0,255,0.5)'", 256, 32, 200, 100, 0x80000080u},
        {"1 bit with its mask",
         halfPlane + "-alpha set -region 8x8+24+24 -alpha transparent +region -colors 2 "
                     "-type palettealpha",
         32, 1, 20, 3, 0xFFFFFFFFu},
        {"4 bits, a masked corner",
         halfPlane + "-alpha set -region 8x8+24+24 -alpha transparent +region -type palettealpha",
         32, 4, 30, 30, 0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("im.ico");
        ASSERT_EQ(0, system(("convert " + c.args + " " + path).c_str()));
        FILE* f = fopen(path.c_str(), "rb");
        ASSERT_TRUE(f);
        Bytes bytes(1 << 20);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
        fclose(f);
        // The layout under test: the first entry's depth, or a PNG.
        ASSERT_GT(bytes.size(), 22u);
        const size_t at = bytes[18] | bytes[19] << 8 | bytes[20] << 16;
        ASSERT_LT(at + 16, bytes.size());
        if (c.size == 256)
            EXPECT_EQ(0, memcmp(bytes.data() + at, "\x89PNG", 4));
        else
            EXPECT_EQ(c.depth, bytes[at + 14]);
        std::string error;
        auto icon = vistrec::platform::LoadIconFile(path, &error);
        ASSERT_TRUE(icon) << error;
        EXPECT_EQ(c.size, icon->width);
        EXPECT_EQ(c.size, icon->height);
        const uint32_t got = icon->argb[static_cast<size_t>(c.y) * icon->width + c.x];
        // ImageMagick rounds half alpha either way.
        for (int k = 0; k < 32; k += 8)
            EXPECT_NEAR(static_cast<int>((c.argb >> k) & 0xFF), static_cast<int>((got >> k) & 0xFF),
                        1)
                << std::hex << got;
    }
}

}  // namespace
