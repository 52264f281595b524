// Minutia overlay drawing and a dependency-free PNG encoder.
#include "overlay.h"

#include <cmath>
#include <cstdio>

namespace overlay {

namespace {

void put(Rgb &im, int r, int c, uint8_t R, uint8_t G, uint8_t B) {
  if (r < 0 || c < 0 || r >= im.rows || c >= im.cols) return;
  uint8_t *p = &im.px[(static_cast<size_t>(r) * im.cols + c) * 3];
  p[0] = R;
  p[1] = G;
  p[2] = B;
}

void line(Rgb &im, double r0, double c0, double r1, double c1, uint8_t R, uint8_t G, uint8_t B) {
  const int steps = static_cast<int>(std::max(std::fabs(r1 - r0), std::fabs(c1 - c0))) + 1;
  for (int k = 0; k <= steps; ++k) {
    const double t = static_cast<double>(k) / steps;
    put(im, static_cast<int>(std::lround(r0 + t * (r1 - r0))), static_cast<int>(std::lround(c0 + t * (c1 - c0))), R,
        G, B);
  }
}

void tick(Rgb &im, double r, double c, int direction, double len, uint8_t R, uint8_t G, uint8_t B) {
  const double a = direction * 2 * M_PI / 256;
  line(im, r, c, r - len * std::sin(a), c + len * std::cos(a), R, G, B);
}

uint32_t crc32(const uint8_t *p, size_t n, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void be32(std::vector<uint8_t> &o, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) o.push_back(static_cast<uint8_t>(v >> s));
}

void chunk(std::vector<uint8_t> &o, const char *type, const std::vector<uint8_t> &data) {
  be32(o, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  o.insert(o.end(), body.begin(), body.end());
  be32(o, crc32(body.data(), body.size()));
}

}  // namespace

Rgb draw(const uint8_t *grey, int rows, int cols, const bal_extract_result &r, int zoom,
         const std::vector<Mark> &truth) {
  Rgb im;
  im.rows = rows * zoom;
  im.cols = cols * zoom;
  im.px.resize(static_cast<size_t>(im.rows) * im.cols * 3);
  for (int y = 0; y < im.rows; ++y)
    for (int x = 0; x < im.cols; ++x) {
      const uint8_t g = grey[static_cast<size_t>(y / zoom) * cols + x / zoom];
      put(im, y, x, g, g, g);
    }
  const double z = zoom, h = zoom / 2.0;
  for (const Mark &t : truth) {
    const double rr = t.row * z + h, cc = t.col * z + h;
    line(im, rr - 3 * z, cc, rr + 3 * z, cc, 230, 200, 0);
    line(im, rr, cc - 3 * z, rr, cc + 3 * z, 230, 200, 0);
    tick(im, rr, cc, t.direction, 6 * z, 230, 200, 0);
  }
  const minutiastruct &ms = r.minutiae;
  for (int i = 0; i < ms.count; ++i) {
    const bal_minutia &m = ms.minutiae[i];
    const double rr = m.row * z + h, cc = m.col * z + h;
    if (m.type == 1) {
      const double s = 3 * z;
      line(im, rr - s, cc - s, rr - s, cc + s, 230, 20, 20);
      line(im, rr + s, cc - s, rr + s, cc + s, 230, 20, 20);
      line(im, rr - s, cc - s, rr + s, cc - s, 230, 20, 20);
      line(im, rr - s, cc + s, rr + s, cc + s, 230, 20, 20);
      tick(im, rr, cc, m.direction, 8 * z, 230, 20, 20);
    } else {
      for (int a = 0; a < 64; ++a) {
        const double t = a * 2 * M_PI / 64;
        put(im, static_cast<int>(rr + 3 * z * std::sin(t)), static_cast<int>(cc + 3 * z * std::cos(t)), 30, 60, 240);
      }
      tick(im, rr, cc, m.direction, 8 * z, 30, 60, 240);
    }
  }
  for (int i = 0; i < r.cores.count; ++i) {
    const bal_core &c = r.cores.entries[i];
    const double rr = c.row * z + h, cc = c.col * z + h;
    for (int a = 0; a < 96; ++a) {
      const double t = a * 2 * M_PI / 96;
      put(im, static_cast<int>(rr + 6 * z * std::sin(t)), static_cast<int>(cc + 6 * z * std::cos(t)), 20, 200, 40);
    }
    tick(im, rr, cc, c.direction, 14 * z, 20, 200, 40);
  }
  for (int i = 0; i < r.deltas.count; ++i) {
    const bal_delta &d = r.deltas.entries[i];
    const double rr = d.row * z + h, cc = d.col * z + h;
    for (int k = 0; k < 3; ++k) tick(im, rr, cc, d.direction[k], 12 * z, 220, 20, 220);
  }
  return im;
}

std::vector<uint8_t> encode_png(const Rgb &im) {
  std::vector<uint8_t> o = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  be32(ihdr, static_cast<uint32_t>(im.cols));
  be32(ihdr, static_cast<uint32_t>(im.rows));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  chunk(o, "IHDR", ihdr);
  // Raw scanlines (filter byte 0), then zlib with stored blocks.
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(im.rows) * (im.cols * 3 + 1));
  for (int r = 0; r < im.rows; ++r) {
    raw.push_back(0);
    const uint8_t *row = &im.px[static_cast<size_t>(r) * im.cols * 3];
    raw.insert(raw.end(), row, row + im.cols * 3);
  }
  std::vector<uint8_t> z = {0x78, 0x01};
  for (size_t pos = 0; pos < raw.size() || pos == 0;) {
    const size_t n = std::min<size_t>(65535, raw.size() - pos);
    const bool last = pos + n >= raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
    pos += n;
    if (last) break;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  be32(z, (b << 16) | a);
  chunk(o, "IDAT", z);
  chunk(o, "IEND", {});
  return o;
}

bool write_png(const std::string &path, const Rgb &image) {
  const std::vector<uint8_t> bytes = encode_png(image);
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace overlay
