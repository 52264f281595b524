// Generator promises about its outputs: fixed random numbers, identical
// bytes for identical seeds, bitmap and PNG layout, sets and manifests,
// the scene-test finger image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fpsynth/fpsynth.h"

using namespace fpsynth;

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The generator's bitmaps read back through the tools' image layer.
bool decode_bmp(const std::vector<uint8_t>& bytes, Image& out, std::string* why = nullptr) {
    std::string problem;
    const bool ok = imageio::decode_bmp(bytes.data(), bytes.size(), &out, &problem);
    if (why != nullptr) *why = problem;
    return ok;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (static_cast<uint32_t>(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
}

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const char* name) {
        path = std::filesystem::temp_directory_path() /
               (std::string("fpsynth_") + name + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        std::filesystem::remove_all(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST(FpsynthRandom, GeneratorAndDistributionsAreFixed) {
    // splitmix64 reference outputs for state 0, and the first xoshiro256**
    // output seeded from it: a change here changes every generated set.
    uint64_t s = 0;
    EXPECT_EQ(splitmix64(s), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(splitmix64(s), 0x6E789E6AA1B965F4ull);
    Rng rng(0);
    EXPECT_EQ(rng.next(), 0x99EC5F36CB75F2B4ull);

    Rng r(42);
    double sum = 0, sum2 = 0, usum = 0;
    int counts[5] = {};
    const int n = 40000;
    for (int i = 0; i < n; ++i) {
        const double u = r.uniform();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        usum += u;
        const int k = r.below(5);
        ASSERT_GE(k, 0);
        ASSERT_LT(k, 5);
        ++counts[k];
        const double g = r.normal();
        sum += g;
        sum2 += g * g;
    }
    EXPECT_NEAR(usum / n, 0.5, 0.01);
    EXPECT_NEAR(sum / n, 0.0, 0.02);
    EXPECT_NEAR(std::sqrt(sum2 / n), 1.0, 0.02);
    for (int c : counts) EXPECT_NEAR(c, n / 5, n / 50);
    EXPECT_NE(derive_seed(7, 1), derive_seed(7, 2));
    EXPECT_NE(derive_seed(7, 1), derive_seed(8, 1));
}

TEST(FpsynthDeterminism, SameSeedSameBytesOtherSeedOtherBytes) {
    const Master a = make_master(99), b = make_master(99), c = make_master(100);
    EXPECT_EQ(encode_bmp(a.render()), encode_bmp(b.render()));
    EXPECT_NE(encode_bmp(a.render()), encode_bmp(c.render()));
    ASSERT_EQ(a.minutiae.size(), b.minutiae.size());
    const Impression i1 = make_impression(a, 5), i2 = make_impression(b, 5), i3 = make_impression(a, 6);
    EXPECT_EQ(i1.image.pixels, i2.image.pixels);
    EXPECT_NE(i1.image.pixels, i3.image.pixels);
    EXPECT_EQ(make_finger_image(3, 128, 128).pixels, make_finger_image(3, 128, 128).pixels);
}

TEST(FpsynthBitmap, LayoutIsEightBitBottomUpWithDataAt1078) {
    Image img(3, 5);  // odd width: rows padded to 8 bytes
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 5; ++c) img.at(r, c) = static_cast<uint8_t>(10 * r + c);
    const std::vector<uint8_t> b = encode_bmp(img);
    ASSERT_EQ(b.size(), 1078u + 3 * 8);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(le32(b, 2), b.size());
    EXPECT_EQ(le32(b, 10), 1078u);
    EXPECT_EQ(le32(b, 14), 40u);
    EXPECT_EQ(le32(b, 18), 5u);
    EXPECT_EQ(le32(b, 22), 3u);  // positive height: bottom-up
    EXPECT_EQ(b[28], 8);
    EXPECT_EQ(le32(b, 30), 0u);
    EXPECT_EQ(le32(b, 38), 19685u);  // 500 dpi
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(b[54 + 4 * i], i);
        EXPECT_EQ(b[54 + 4 * i + 1], i);
        EXPECT_EQ(b[54 + 4 * i + 2], i);
    }
    // First stored row is the bottom one.
    EXPECT_EQ(b[1078], 20);
    EXPECT_EQ(b[1078 + 4], 24);
    EXPECT_EQ(b[1078 + 5], 0);  // padding
    EXPECT_EQ(b[1078 + 16], 0);

    Image back;
    ASSERT_TRUE(decode_bmp(b, back));
    EXPECT_EQ(back.rows, 3);
    EXPECT_EQ(back.cols, 5);
    EXPECT_EQ(back.pixels, img.pixels);
}

TEST(FpsynthBitmap, ReaderRejectsMalformedFiles) {
    const std::vector<uint8_t> good = encode_bmp(Image(4, 4, 7));
    Image out;
    std::string why;
    for (size_t cut : {size_t(0), size_t(10), size_t(53), size_t(1077), good.size() - 1}) {
        std::vector<uint8_t> b(good.begin(), good.begin() + cut);
        EXPECT_FALSE(decode_bmp(b, out, &why)) << cut;
        EXPECT_FALSE(why.empty());
    }
    std::vector<uint8_t> b = good;
    b[28] = 24;
    EXPECT_FALSE(decode_bmp(b, out));
    b = good;
    b[10] = 0xFF;  // data offset beyond the file
    b[11] = 0xFF;
    EXPECT_FALSE(decode_bmp(b, out));
    b = good;
    b[22] = b[23] = b[24] = b[25] = 0xFF;  // height -1 is fine, huge is not
    b[24] = 0x00;
    EXPECT_FALSE(decode_bmp(b, out));

    // Random damage to headers and palette never reads outside the bytes
    // (the sanitizer run watches), and what is accepted is consistent.
    const std::vector<uint8_t> base = encode_bmp(Image(6, 7, 99));
    Rng rng(5);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> m = base;
        const int hits = 1 + rng.below(4);
        for (int k = 0; k < hits; ++k) m[rng.below(62)] = static_cast<uint8_t>(rng.next());
        if (rng.chance(0.3)) m.resize(rng.below(static_cast<int>(m.size())));
        if (decode_bmp(m, out)) {
            EXPECT_GT(out.rows, 0);
            EXPECT_GT(out.cols, 0);
            EXPECT_EQ(out.pixels.size(), static_cast<size_t>(out.rows) * out.cols);
        }
    }
}

TEST(FpsynthPng, SheetsAreEightBitGreyPngsThatReadBack) {
    Image img(2, 3);
    img.pixels = {1, 2, 3, 4, 5, 6};
    const std::vector<uint8_t> p = encode_png(img);
    const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_GT(p.size(), 8u + 25 + 12);
    EXPECT_TRUE(std::equal(sig, sig + 8, p.begin()));
    EXPECT_EQ(be32(p, 8), 13u);
    EXPECT_EQ(std::string(p.begin() + 12, p.begin() + 16), "IHDR");
    EXPECT_EQ(be32(p, 16), 3u);
    EXPECT_EQ(be32(p, 20), 2u);
    EXPECT_EQ(p[24], 8);  // bit depth
    EXPECT_EQ(p[25], 0);  // grey
    // The image end chunk has a fixed CRC.
    EXPECT_EQ(be32(p, p.size() - 4), 0xAE426082u);
    Image back;
    std::string why;
    ASSERT_TRUE(imageio::decode_png(p.data(), p.size(), &back, &why)) << why;
    EXPECT_EQ(back.rows, 2);
    EXPECT_EQ(back.cols, 3);
    EXPECT_EQ(back.pixels, img.pixels);
}

TEST(FpsynthFinger, SceneTestSizesGiveAFingerNotABlank) {
    for (int size : {96, 128, 160}) {
        const Image img = make_finger_image(11, size, size);
        ASSERT_EQ(img.rows, size);
        ASSERT_EQ(img.cols, size);
        ASSERT_LE(static_cast<size_t>(size) * size, 25600u);
        double sum = 0, sum2 = 0;
        int dark = 0, light = 0;
        for (uint8_t v : img.pixels) {
            sum += v;
            sum2 += double(v) * v;
            dark += v < 120;
            light += v > 160;
        }
        const double n = img.pixels.size(), mean = sum / n;
        EXPECT_GT(mean, 70) << size;
        EXPECT_LT(mean, 200) << size;
        EXPECT_GT(std::sqrt(sum2 / n - mean * mean), 30) << size;
        EXPECT_GT(dark, n / 8) << size;
        EXPECT_GT(light, n / 5) << size;
    }
}

TEST(FpsynthSet, WritesBitmapsManifestAndMinutiae) {
    TempDir dir("set");
    SetParams p;
    p.out_dir = dir.path.string();
    p.fingers = 2;
    p.impressions = 3;
    p.seed = 77;
    p.write_masters = true;
    p.sheet_path = (dir.path / "sheet.png").string();
    std::string error;
    ASSERT_TRUE(generate_set(p, error)) << error;

    const auto manifest = read_lines((dir.path / "manifest.csv").string());
    ASSERT_EQ(manifest.size(), 1u + 6);
    EXPECT_EQ(manifest[0].rfind("finger,impression,file,class,rows,cols,rotation_deg,a,b,c,d,e,f,", 0), 0u);
    EXPECT_EQ(manifest[1].rfind("1,1,f0001_01.bmp,", 0), 0u);
    EXPECT_EQ(manifest[6].rfind("2,3,f0002_03.bmp,", 0), 0u);

    // The files hold exactly what the library generates for the same seeds.
    const uint64_t fs = derive_seed(77, 2);
    const Master m = make_master(fs);
    const Impression imp = make_impression(m, derive_seed(fs, 3));
    Image back;
    ASSERT_TRUE(decode_bmp(read_file((dir.path / "f0002_03.bmp").string()), back));
    EXPECT_EQ(back.pixels, imp.image.pixels);
    EXPECT_EQ(back.rows, 88);
    ASSERT_TRUE(decode_bmp(read_file((dir.path / "masters" / "f0002.bmp").string()), back));
    EXPECT_EQ(back.pixels, m.render().pixels);
    EXPECT_TRUE(std::filesystem::exists(dir.path / "sheet.png"));

    // minutiae.csv: the master's (impression 0) and the impression's lists.
    const auto lines = read_lines((dir.path / "minutiae.csv").string());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "finger,impression,row,col,direction,type");
    size_t master_rows = 0, imp_rows = 0;
    for (const auto& l : lines) {
        master_rows += l.rfind("2,0,", 0) == 0;
        imp_rows += l.rfind("2,3,", 0) == 0;
    }
    EXPECT_EQ(master_rows, m.minutiae.size());
    EXPECT_EQ(imp_rows, imp.minutiae.size());
    if (!imp.minutiae.empty()) {
        const Minutia& first = imp.minutiae[0];
        const std::string want = "2,3," + std::to_string(first.row) + "," + std::to_string(first.col) + "," +
                                 std::to_string(first.direction) + "," + std::to_string(first.type);
        EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end());
    }

    // The same request writes the same bytes again.
    TempDir again("set_again");
    p.out_dir = again.path.string();
    p.sheet_path.clear();
    ASSERT_TRUE(generate_set(p, error)) << error;
    EXPECT_EQ(read_file((dir.path / "f0001_02.bmp").string()), read_file((again.path / "f0001_02.bmp").string()));
    EXPECT_EQ(read_file((dir.path / "minutiae.csv").string()), read_file((again.path / "minutiae.csv").string()));

    // Cores and deltas of each master.
    const auto singular = read_lines((dir.path / "singularities.csv").string());
    ASSERT_FALSE(singular.empty());
    EXPECT_EQ(singular[0], "finger,class,kind,row,col");
    size_t finger2 = 0;
    for (const auto& l : singular) finger2 += l.rfind("2,", 0) == 0;
    EXPECT_EQ(finger2, m.singularities.size());
}

TEST(FpsynthSet, BadRequestsFailWithAMessage) {
    SetParams p;
    std::string error;
    EXPECT_FALSE(generate_set(p, error));
    EXPECT_FALSE(error.empty());
    p.out_dir = "/proc/fpsynth-cannot-write-here";
    error.clear();
    EXPECT_FALSE(generate_set(p, error));
    EXPECT_FALSE(error.empty());
    TempDir dir("bad");
    p.out_dir = dir.path.string();
    p.fingers = 0;
    error.clear();
    EXPECT_FALSE(generate_set(p, error));
    EXPECT_FALSE(error.empty());
}

TEST(FpsynthCommand, FingerCommandWritesTheLibrarysFingerAndRejectsBadArguments) {
    TempDir dir("cmd");
    std::filesystem::create_directories(dir.path);
    const std::string out = (dir.path / "finger.bmp").string();
    const std::string exe = FPSYNTH_EXE;
    ASSERT_EQ(std::system((exe + " finger --out " + out + " --size 128 --seed 7").c_str()), 0);
    const std::vector<uint8_t> bytes = read_file(out);
    EXPECT_EQ(bytes.size(), 1078u + 128 * 128);
    EXPECT_EQ(bytes, encode_bmp(make_finger_image(7, 128, 128)));

    auto exit_code = [&](const std::string& args) {
        const int rc = std::system((exe + " " + args + " >/dev/null 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    EXPECT_EQ(exit_code("finger --out " + out + " --size 5"), 2);
    EXPECT_EQ(exit_code("set --fingers 2"), 2);  // no --out
    EXPECT_EQ(exit_code("set --out " + out + "x --period 11:8"), 2);
    EXPECT_EQ(exit_code("set --out " + out + "x --skin soggy"), 2);
    EXPECT_EQ(exit_code("shuffle --out " + out), 2);
    EXPECT_EQ(exit_code("sheet --out /proc/fpsynth-no.png --fingers 1 --impressions 1"), 1);
    EXPECT_EQ(exit_code("--help"), 0);
}
