// Draws the mouse effect icon set and writes it as ".ico" files into the folder given:
//   clickEffect_L0.ico .. clickEffect_L5.ico  an orange ring growing and fading (left button)
//   clickEffect_R0.ico .. clickEffect_R5.ico  the same ring in blue (right button)
//   highlight.ico                             a soft translucent yellow disc
// Each file holds one 32-bit entry with straight alpha and its AND mask.
#include <math.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// Straight-alpha BGRA pixels, rows top first.
struct Picture {
    int size;
    std::vector<uint8_t> bgra;
    explicit Picture(int s) : size(s), bgra(static_cast<size_t>(s) * s * 4, 0) {}
    void Set(int x, int y, Rgb c, double alpha) {
        uint8_t* p = &bgra[(static_cast<size_t>(y) * size + x) * 4];
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
        p[3] = static_cast<uint8_t>(lrint(std::clamp(alpha, 0.0, 1.0) * 255));
    }
};

double Distance(int x, int y, int size) {
    const double c = size / 2.0;
    return hypot(x + 0.5 - c, y + 0.5 - c);
}

// A ring of radius `radius` and width `width`, with a one-pixel soft edge, at `opacity`.
Picture Ring(int size, double radius, double width, Rgb colour, double opacity) {
    Picture pic(size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double coverage =
                std::clamp(width / 2 + 0.5 - fabs(Distance(x, y, size) - radius), 0.0, 1.0);
            pic.Set(x, y, colour, coverage * opacity);
        }
    return pic;
}

// A disc of radius `radius` whose edge fades over `soft` pixels, at `opacity`.
Picture Disc(int size, double radius, double soft, Rgb colour, double opacity) {
    Picture pic(size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double coverage = std::clamp((radius - Distance(x, y, size)) / soft, 0.0, 1.0);
            pic.Set(x, y, colour, coverage * opacity);
        }
    return pic;
}

void Put16(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(v & 0xFF);
    out->push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// One icon directory entry pointing at a BITMAPINFOHEADER, the colour rows bottom row first,
// then the AND mask (set where the pixel is wholly transparent).
std::vector<uint8_t> IcoFile(const Picture& pic) {
    const int n = pic.size;
    const uint32_t maskStride = (n + 31) / 32 * 4;
    const uint32_t imageBytes = 40 + n * n * 4 + maskStride * n;
    std::vector<uint8_t> out;
    Put16(&out, 0);  // reserved
    Put16(&out, 1);  // icon
    Put16(&out, 1);  // one image
    out.push_back(n >= 256 ? 0 : n);
    out.push_back(n >= 256 ? 0 : n);
    out.push_back(0);  // no palette
    out.push_back(0);
    Put16(&out, 1);   // planes
    Put16(&out, 32);  // bits per pixel
    Put32(&out, imageBytes);
    Put32(&out, 6 + 16);
    Put32(&out, 40);
    Put32(&out, n);
    Put32(&out, 2 * n);  // colour rows and mask rows
    Put16(&out, 1);
    Put16(&out, 32);
    Put32(&out, 0);  // uncompressed
    Put32(&out, imageBytes - 40);
    for (int i = 0; i < 4; ++i)
        Put32(&out, 0);
    for (int y = n - 1; y >= 0; --y)
        out.insert(out.end(), pic.bgra.begin() + static_cast<size_t>(y) * n * 4,
                   pic.bgra.begin() + static_cast<size_t>(y + 1) * n * 4);
    for (int y = n - 1; y >= 0; --y) {
        std::vector<uint8_t> row(maskStride, 0);
        for (int x = 0; x < n; ++x)
            if (pic.bgra[(static_cast<size_t>(y) * n + x) * 4 + 3] == 0)
                row[x / 8] |= 0x80 >> (x % 8);
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    // Click rings: 48 pixels, growing from a 6 to a 21 pixel radius and fading out over the
    // six frames of the animation.
    const Rgb left = {255, 136, 0}, right = {30, 120, 255};
    for (int i = 0; i < 6; ++i) {
        const double radius = 6 + 3 * i, opacity = 0.95 - 0.13 * i;
        const std::string n = std::to_string(i);
        if (!Write(dir + "clickEffect_L" + n + ".ico",
                   IcoFile(Ring(48, radius, 3.5, left, opacity))) ||
            !Write(dir + "clickEffect_R" + n + ".ico",
                   IcoFile(Ring(48, radius, 3.5, right, opacity)))) {
            fprintf(stderr, "cannot write the icons into %s\n", dir.c_str());
            return 1;
        }
    }
    // Highlight: 64 pixels, a yellow disc at 40 % opacity fading out over its last 6 pixels.
    if (!Write(dir + "highlight.ico", IcoFile(Disc(64, 30, 6, {255, 230, 0}, 0.4)))) {
        fprintf(stderr, "cannot write the icons into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
