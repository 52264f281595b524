// Bitmap and PNG writers, bitmap reader, contact sheets.
#include "fpsynth/fpsynth.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace fpsynth {

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}
void put32be(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back((v >> (8 * i)) & 0xFF);
}
uint32_t get16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f) return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return false;
    return std::fflush(f.get()) == 0;
}

// 500 dpi in pixels per metre (500 / 0.0254, rounded).
constexpr uint32_t kPixelsPerMetre = 19685;
constexpr uint32_t kBmpDataOffset = 14 + 40 + 256 * 4;  // 1078

}  // namespace

std::vector<uint8_t> encode_bmp(const Image& image) {
    const uint32_t stride = (static_cast<uint32_t>(image.cols) + 3u) & ~3u;
    const uint32_t data = stride * static_cast<uint32_t>(image.rows);
    std::vector<uint8_t> b;
    b.reserve(kBmpDataOffset + data);
    b.push_back('B');
    b.push_back('M');
    put32(b, kBmpDataOffset + data);
    put32(b, 0);
    put32(b, kBmpDataOffset);
    put32(b, 40);
    put32(b, static_cast<uint32_t>(image.cols));
    put32(b, static_cast<uint32_t>(image.rows));  // positive: bottom-up
    put16(b, 1);
    put16(b, 8);
    put32(b, 0);  // no compression
    put32(b, data);
    put32(b, kPixelsPerMetre);
    put32(b, kPixelsPerMetre);
    put32(b, 256);
    put32(b, 256);
    for (uint32_t i = 0; i < 256; ++i) {
        b.push_back(static_cast<uint8_t>(i));
        b.push_back(static_cast<uint8_t>(i));
        b.push_back(static_cast<uint8_t>(i));
        b.push_back(0);
    }
    for (int r = image.rows - 1; r >= 0; --r) {
        const uint8_t* row = image.pixels.data() + static_cast<size_t>(r) * image.cols;
        b.insert(b.end(), row, row + image.cols);
        b.insert(b.end(), stride - image.cols, 0);
    }
    return b;
}

bool write_bmp(const std::string& path, const Image& image) { return write_file(path, encode_bmp(image)); }

bool decode_bmp(const std::vector<uint8_t>& bytes, Image& out, std::string* error) {
    out = Image();
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (bytes.size() < 54) return fail("file shorter than the bitmap headers");
    if (bytes[0] != 'B' || bytes[1] != 'M') return fail("not a bitmap (no BM signature)");
    const uint32_t offset = get32(&bytes[10]);
    const uint32_t header = get32(&bytes[14]);
    if (header < 40 || 14u + header > bytes.size()) return fail("bitmap info header truncated");
    const int32_t width = static_cast<int32_t>(get32(&bytes[18]));
    const int32_t height = static_cast<int32_t>(get32(&bytes[22]));
    if (get16(&bytes[28]) != 8) return fail("not an 8-bit bitmap");
    if (get32(&bytes[30]) != 0) return fail("compressed bitmap");
    if (width <= 0 || height == 0 || width > 65535 || height > 65535 || height < -65535)
        return fail("bitmap size out of range");
    const int rows = height < 0 ? -height : height;
    const uint64_t stride = (static_cast<uint64_t>(width) + 3u) & ~3ull;
    if (offset > bytes.size() || stride * rows > bytes.size() - offset) return fail("pixel data truncated");
    uint32_t colours = get32(&bytes[46]);
    if (colours == 0) colours = 256;
    const uint64_t palette = 14ull + header;
    if (colours > 256 || palette + 4ull * colours > offset) return fail("palette truncated");
    uint8_t grey[256] = {};
    for (uint32_t i = 0; i < colours; ++i) {
        const uint8_t* p = &bytes[palette + 4 * i];
        grey[i] = static_cast<uint8_t>((p[0] * 114 + p[1] * 587 + p[2] * 299 + 500) / 1000);
    }
    out = Image(rows, width);
    for (int r = 0; r < rows; ++r) {
        const int src = height > 0 ? rows - 1 - r : r;
        const uint8_t* p = &bytes[offset + stride * src];
        for (int c = 0; c < width; ++c) out.at(r, c) = grey[p[c]];
    }
    return true;
}

namespace {

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void png_chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    put32be(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32be(out, crc32(&out[start], out.size() - start));
}

}  // namespace

std::vector<uint8_t> encode_png(const Image& image) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    put32be(ihdr, static_cast<uint32_t>(image.cols));
    put32be(ihdr, static_cast<uint32_t>(image.rows));
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});  // 8-bit grey, no interlace
    png_chunk(out, "IHDR", ihdr);

    // Raw scanlines with filter byte 0, wrapped in stored deflate blocks.
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(image.rows) * (image.cols + 1));
    for (int r = 0; r < image.rows; ++r) {
        raw.push_back(0);
        const uint8_t* row = image.pixels.data() + static_cast<size_t>(r) * image.cols;
        raw.insert(raw.end(), row, row + image.cols);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        z.push_back(pos + n == raw.size() ? 1 : 0);
        z.push_back(n & 0xFF);
        z.push_back(n >> 8);
        z.push_back(~n & 0xFF);
        z.push_back((~n >> 8) & 0xFF);
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    } while (pos < raw.size());
    uint32_t s1 = 1, s2 = 0;
    for (uint8_t v : raw) {
        s1 = (s1 + v) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    put32be(z, (s2 << 16) | s1);
    png_chunk(out, "IDAT", z);
    png_chunk(out, "IEND", {});
    return out;
}

bool write_png(const std::string& path, const Image& image) { return write_file(path, encode_png(image)); }

Image contact_sheet(const std::vector<Image>& tiles, int columns, int gap, uint8_t background) {
    if (tiles.empty() || columns <= 0) return Image();
    int cell_r = 0, cell_c = 0;
    for (const Image& t : tiles) {
        cell_r = std::max(cell_r, t.rows);
        cell_c = std::max(cell_c, t.cols);
    }
    columns = std::min<int>(columns, static_cast<int>(tiles.size()));
    const int grid_rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
    Image sheet(gap + grid_rows * (cell_r + gap), gap + columns * (cell_c + gap), background);
    for (size_t i = 0; i < tiles.size(); ++i) {
        const int r0 = gap + static_cast<int>(i) / columns * (cell_r + gap);
        const int c0 = gap + static_cast<int>(i) % columns * (cell_c + gap);
        const Image& t = tiles[i];
        for (int r = 0; r < t.rows; ++r)
            std::copy_n(&t.pixels[static_cast<size_t>(r) * t.cols], t.cols, &sheet.at(r0 + r, c0));
    }
    return sheet;
}

}  // namespace fpsynth
