// Writes a few small PNG and JPEG files into the directory given as the argument: seeds for
// decode_fuzz covering RGBA, palette, gray, 16-bit and interlaced PNGs, and baseline,
// progressive, gray and CMYK JPEGs (one with an EXIF orientation segment).
#include <png.h>
#include <turbojpeg.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<unsigned char>;

void save(const std::string& dir, const char* name, const Bytes& b) {
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f) return;
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

void sink(png_structp png, png_bytep d, png_size_t n) {
    Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), d, d + n);
}

Bytes png(int w, int h, int type, int depth, bool interlace) {
    Bytes out;
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) {
        png_destroy_write_struct(&p, &info);
        return {};
    }
    png_set_write_fn(p, &out, sink, nullptr);
    png_set_IHDR(p, info, w, h, depth, type, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color pal[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};
    unsigned char trns[4] = {255, 128, 0, 255};
    if (type == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(p, info, pal, 4);
        png_set_tRNS(p, info, trns, 4, nullptr);
    }
    png_write_info(p, info);
    int passes = png_set_interlace_handling(p);
    int channels = type == PNG_COLOR_TYPE_RGBA ? 4 : type == PNG_COLOR_TYPE_RGB ? 3 : 1;
    size_t stride = (size_t(w) * channels * depth + 7) / 8;
    Bytes row(stride);
    unsigned char mask = type == PNG_COLOR_TYPE_PALETTE ? 3 : 255;
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < h; ++y) {
            for (size_t i = 0; i < stride; ++i) row[i] = (unsigned char)((i * 37 + y * 11) & mask);
            png_write_row(p, row.data());
        }
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    return out;
}

Bytes jpeg(int w, int h, int pf, int subsamp, int flags) {
    Bytes px(size_t(w) * h * tjPixelSize[pf]);
    for (size_t i = 0; i < px.size(); ++i) px[i] = (unsigned char)(i * 7);
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    Bytes out;
    if (tjCompress2(tj, px.data(), w, 0, h, pf, &buf, &size, subsamp, 80, flags) == 0)
        out.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(tj);
    return out;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string dir = argv[1];
    save(dir, "rgba.png", png(7, 5, PNG_COLOR_TYPE_RGBA, 8, false));
    save(dir, "palette.png", png(6, 4, PNG_COLOR_TYPE_PALETTE, 8, false));
    save(dir, "gray1.png", png(9, 3, PNG_COLOR_TYPE_GRAY, 1, false));
    save(dir, "rgb16.png", png(4, 4, PNG_COLOR_TYPE_RGB, 16, false));
    save(dir, "interlaced.png", png(11, 9, PNG_COLOR_TYPE_RGBA, 8, true));
    save(dir, "baseline.jpg", jpeg(16, 16, TJPF_BGRA, TJSAMP_420, 0));
    save(dir, "progressive.jpg", jpeg(16, 16, TJPF_BGRA, TJSAMP_422, TJFLAG_PROGRESSIVE));
    save(dir, "gray.jpg", jpeg(8, 8, TJPF_GRAY, TJSAMP_GRAY, 0));
    save(dir, "cmyk.jpg", jpeg(8, 8, TJPF_CMYK, TJSAMP_444, 0));
    Bytes j = jpeg(8, 8, TJPF_BGRA, TJSAMP_444, 0);
    Bytes exif = {0xFF, 0xE1, 0,    34,   'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                  1,    0,    0x12, 0x01, 3,   0,   1,   0,   0, 0, 6,   0,   0,  0, 0, 0, 0, 0};
    if (j.size() > 2) {
        j.insert(j.begin() + 2, exif.begin(), exif.end());
        save(dir, "exif6.jpg", j);
    }
    return 0;
}
