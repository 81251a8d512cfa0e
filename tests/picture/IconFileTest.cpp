// The icon reader: BMP entries of every depth with their mask, PNG entries, the entry picked
// among several sizes, malformed files, and icon files as ImageMagick writes them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/Process.h"
#include "common/TempDir.h"
#include "platform/linux/IconFile.h"

using Bytes = std::vector<uint8_t>;

namespace {

// Appends each value as `bytes` little-endian bytes.
void Put(Bytes* b, std::initializer_list<int64_t> values, int bytes = 4) {
    for (int64_t v : values)
        for (int i = 0; i < bytes; ++i)
            b->push_back((v >> (8 * i)) & 0xFF);
}
void Set32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = (v >> (8 * i)) & 0xFF;
}

// A BMP entry, rows top first: palette indices or straight ARGB; mask true: transparent.
struct Bmp {
    int bpp, w, h;
    std::vector<uint32_t> palette, px;
    std::vector<bool> mask;
};

Bytes BmpBytes(const Bmp& b) {
    Bytes out;  // header size, width, twice the height, 1 plane, depth, palette size
    Put(&out, {40, b.w, 2 * b.h, 1 | b.bpp << 16, 0, 0, 0, 0, int64_t(b.palette.size()), 0});
    for (uint32_t c : b.palette)
        Put(&out, {c});
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
            row[x / 8] |= b.mask[y * b.w + x] ? 0x80 >> (x % 8) : 0;
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
    Put(&out, {0, 1, int64_t(images.size())}, 2);
    int64_t offset = 6 + 16 * images.size();
    for (const Image& im : images) {  // size, 1 plane, 32 bits, length, offset
        Put(&out, {(im.dirW & 0xFF) | (im.dirH & 0xFF) << 8, 1 | 32 << 16, int64_t(im.data.size()),
                   offset});
        offset += im.data.size();
    }
    for (const Image& im : images)
        out.insert(out.end(), im.data.begin(), im.data.end());
    return out;
}

std::unique_ptr<vistrec::platform::IconImage> Decode(const Bytes& b, std::string* error) {
    return vistrec::platform::ico::DecodeIcon(b.data(), b.size(), error);
}

// A w x h PNG of one straight RGBA colour, made by ffmpeg.
Bytes Png(int w, int h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    vistrec::test::TempDir dir;
    char colour[64];
    snprintf(colour, sizeof colour, "color=c=0x%02x%02x%02x%02x:s=%dx%d,format=rgba", r, g, b, a, w,
             h);
    vistrec::test::RunCommand({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", colour,
                               "-frames:v", "1", dir.File("p.png")});
    const std::string png = vistrec::test::ReadTextFile(dir.File("p.png"));
    return Bytes(png.begin(), png.end());
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

std::vector<uint32_t> RedBlue(uint32_t blue = kBlue) {
    return {kRed, blue, 0, blue, kRed, kRed};
}

TEST(IconFile, EntriesOfEveryDepthAndPng) {
    const auto direct = [](int bpp, std::vector<uint32_t> px) {
        return BmpBytes(Bmp{bpp, 3, 2, {}, px, kMask});
    };
    Bytes noMask = direct(32, std::vector<uint32_t>(6, kRed));
    noMask.resize(noMask.size() - 2 * 4);  // a 32-bit entry may leave its mask rows out
    const struct {
        const char* name;
        Bytes entry;
        int w, h;
        std::vector<uint32_t> argb;  // premultiplied
    } cases[] = {
        {"1 bit", BmpBytes(Indexed(1, 1, 0)), 3, 2, RedBlue()},
        {"4 bits, both nibbles", BmpBytes(Indexed(4, 5, 10)), 3, 2, RedBlue()},
        {"8 bits", BmpBytes(Indexed(8, 200, 7)), 3, 2, RedBlue()},
        {"24 bits", direct(24, {kRed, kBlue, kRed, kBlue, kRed, kRed}), 3, 2, RedBlue()},
        // 32 bits: the alpha channel rules, the mask is not read; half blue premultiplies.
        {"32 bits with alpha", direct(32, {kRed, 0x800000FF, 0xFFFFFF, 0x800000FF, kRed, kRed}), 3,
         2, RedBlue(0x80000080u)},
        // 32 bits whose alpha is zero throughout: the mask decides, as for lower depths.
        {"32 bits without alpha", direct(32, {0xFF0000, 0xFF, 0xFFFFFF, 0xFF, 0xFF0000, 0xFF0000}),
         3, 2, RedBlue()},
        {"32 bits without mask", noMask, 3, 2, std::vector<uint32_t>(6, kRed)},
        {"PNG", Png(40, 20, 255, 0, 0, 128), 40, 20, std::vector<uint32_t>(800, 0x80800000u)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto icon = Decode(IcoFile({{c.w, c.h, c.entry}}), &error);
        ASSERT_TRUE(icon) << error;
        // The hotspot in the centre, truncated.
        EXPECT_EQ(
            std::make_tuple(c.w, c.h, c.w / 2, c.h / 2, c.argb),
            std::make_tuple(icon->width, icon->height, icon->xHotspot, icon->yHotspot, icon->argb));
    }
}

TEST(IconFile, PicksTheFirstEntrysSizeAtItsDeepestColour) {
    // An n x n entry of one colour, grey level k.
    auto solid = [](int bpp, int n, uint32_t k) {
        const uint32_t grey = 0xFF000000u | k * 0x010101u;
        const size_t count = static_cast<size_t>(n) * n;
        Bmp b{bpp, n, n, {}, std::vector<uint32_t>(count, grey), std::vector<bool>(count)};
        if (bpp <= 8)  // palette entry 0
            b.palette = {grey & 0xFFFFFF, 0}, b.px.assign(count, 0);
        return Image{n, n, BmpBytes(b)};
    };
    const struct {
        const char* name;
        std::vector<Image> images;
        int size;
        uint32_t k;
    } cases[] = {
        {"deepest of the first size; not a larger or deeper entry of another size",
         {solid(4, 32, 1), solid(32, 16, 2), solid(32, 32, 3), solid(32, 48, 4), solid(8, 32, 5)},
         32,
         3},
        {"first of equal depth", {solid(24, 16, 1), solid(24, 16, 2)}, 16, 1},
        {"PNG counts as 32 bits; 0 in the directory is 256",
         {solid(8, 256, 1), {0, 0, Png(256, 256, 9, 9, 9, 255)}},
         256,
         9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto icon = Decode(IcoFile(c.images), &error);
        ASSERT_TRUE(icon) << error;
        EXPECT_EQ(std::make_pair(c.size, 0xFF000000u | c.k * 0x010101u),
                  std::make_pair(icon->width, icon->argb[0]));
    }
}

TEST(IconFile, MalformedFilesGiveNoIconAndAReason) {
    const Bytes good = IcoFile({{3, 2, BmpBytes(Indexed(8, 200, 7))}});
    const size_t bmp = 22;  // the entry's header in `good`
    // Cuts the file to `n` bytes and shortens the entry's length to match.
    auto cut = [](Bytes* b, size_t n) {
        b->resize(n);
        Set32(b, 14, static_cast<uint32_t>(n - 22));
    };
    Bytes huge = Png(4, 4, 1, 2, 3, 4), half = Png(16, 16, 1, 2, 3, 4);
    for (int i = 16; i < 24; ++i)
        huge[i] = i == 17 || i == 21 ? 0x27 : 0;  // IHDR claims 9984 x 9984
    half.resize(half.size() / 2);
    const Bytes hugePng = IcoFile({{0, 0, huge}}), halfPng = IcoFile({{16, 16, half}});
    const struct {
        std::function<void(Bytes*)> spoil;
        const char* error;
    } cases[] = {
        {[](Bytes* b) { b->resize(4); }, "file shorter than its header"},
        {[](Bytes* b) { (*b)[2] = 2; }, "not an icon file"},  // a cursor
        {[](Bytes* b) { (*b)[4] = 0; }, "icon file without images"},
        {[](Bytes* b) { (*b)[4] = 200; }, "icon directory truncated"},
        {[](Bytes* b) { Set32(b, 18, 100000); }, "icon image lies outside the file"},
        {[](Bytes* b) { Set32(b, 14, 0xFFFFFFF0u); }, "icon image lies outside the file"},
        {[&](Bytes* b) { Set32(b, bmp, 5000); }, "BMP entry header size out of range"},
        {[&](Bytes* b) { Set32(b, bmp + 4, 300); }, "BMP entry size out of range"},
        {[&](Bytes* b) { Set32(b, bmp + 8, 0xFFFFFFFCu); }, "BMP entry size out of range"},
        {[&](Bytes* b) { (*b)[bmp + 14] = 16; }, "BMP entry bit depth not supported"},
        {[&](Bytes* b) { (*b)[bmp + 16] = 1; }, "compressed BMP entry"},
        {[&](Bytes* b) { Set32(b, bmp + 32, 300); }, "BMP entry palette too large"},
        {[&](Bytes* b) { cut(b, bmp + 40 + 100); }, "BMP entry palette truncated"},
        {[&](Bytes* b) { cut(b, bmp + 40 + 1024 + 4); }, "BMP entry colour rows truncated"},
        {[&](Bytes* b) { cut(b, b->size() - 1); }, "BMP entry mask truncated"},
        {[&](Bytes* b) { *b = hugePng; }, "PNG entry size out of range"},
        {[&](Bytes* b) { *b = halfPng; }, "PNG entry does not decode"},
        {[](Bytes* b) { b->resize(vistrec::platform::ico::kMaxFileBytes + 1); }, "file too large"},
    };
    std::string error;
    ASSERT_TRUE(Decode(good, &error)) << error;
    for (const auto& c : cases) {
        Bytes b = good;
        c.spoil(&b);
        EXPECT_FALSE(Decode(b, &error));
        EXPECT_EQ(c.error, error);
    }
    EXPECT_FALSE(vistrec::platform::LoadIconFile("/nonexistent/missing.ico", &error));
    EXPECT_EQ("cannot open the file", error);
}

// Icon files as ImageMagick writes them: a 256-pixel PNG entry, palette entries of 1 and 4 bits
// with their mask (a transparent corner). Premultiplied ARGB at (x, y).
TEST(IconFile, ReadsImageMagickLayouts) {
    vistrec::test::TempDir dir;
    const std::string half =
        "-size 32x32 xc:white -fill black -draw 'rectangle 0,0 15,31' "
        "-alpha set -region 8x8+24+24 -alpha transparent +region ";
    const std::tuple<std::string, int, int, int, uint32_t> cases[] = {
        {"-size 256x256 'xc:rgba(0,0,255,0.5)'", 256, 200, 100, 0x80000080u},
        {half + "-colors 2 -type palettealpha", 32, 20, 3, 0xFFFFFFFFu},
        {half + "-type palettealpha", 32, 30, 30, 0u}};
    for (const auto& [args, size, x, y, argb] : cases) {
        std::string error;
        ASSERT_EQ(0, system(("convert " + args + " " + dir.File("im.ico")).c_str())) << args;
        auto icon = vistrec::platform::LoadIconFile(dir.File("im.ico"), &error);
        ASSERT_TRUE(icon) << args << ": " << error;
        EXPECT_EQ(std::make_pair(size, size), std::make_pair(icon->width, icon->height)) << args;
        const uint32_t got = icon->argb[static_cast<size_t>(y) * icon->width + x];
        for (int k = 0; k < 32; k += 8)  // ImageMagick rounds half alpha either way
            EXPECT_NEAR(int(argb >> k & 0xFF), int(got >> k & 0xFF), 1) << args << std::hex << got;
    }
}

}  // namespace
