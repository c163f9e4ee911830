#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/error.h"
#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A one-row 24-bit raster whose pixel x is grey level `levels[x]`.
Raster GreyRow(const std::vector<int>& levels) {
    Raster r(static_cast<int>(levels.size()), 1, 24);
    for (std::size_t x = 0; x < levels.size(); ++x)
        for (int c = 0; c < 3; ++c) r.row(0)[3 * x + c] = static_cast<std::uint8_t>(levels[x]);
    return r;
}

Bytes PixelData(const Bytes& tga) { return Bytes(tga.begin() + 18, tga.end()); }

// Packet bytes for grey pixels: a run packet of `count` pixels or a raw packet of `levels`.
Bytes RunPacket(int count, int level) {
    return {static_cast<std::uint8_t>(0x80 | (count - 1)), static_cast<std::uint8_t>(level),
            static_cast<std::uint8_t>(level), static_cast<std::uint8_t>(level)};
}
Bytes RawPacket(const std::vector<int>& levels) {
    Bytes b{static_cast<std::uint8_t>(levels.size() - 1)};
    for (int v : levels) b.insert(b.end(), 3, static_cast<std::uint8_t>(v));
    return b;
}
Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
std::vector<int> Repeat(int count, int level) { return std::vector<int>(static_cast<std::size_t>(count), level); }
std::vector<int> Distinct(int count, int first) {
    std::vector<int> v;
    for (int i = 0; i < count; ++i) v.push_back((first + i) % 256);
    return v;
}

TEST(TgaWriter, PacketsFollowTheRunRule) {
    const std::vector<int> abcccd = {10, 20, 30, 30, 30, 40};
    std::vector<int> distinct300 = Distinct(300, 0);
    std::vector<int> runThenRaw = Repeat(129, 7);
    runThenRaw.push_back(8);
    struct Case {
        const char* name;
        std::vector<int> row;
        Bytes packets;
    };
    const Case cases[] = {
        {"130 identical", Repeat(130, 5), Concat({RunPacket(128, 5), RunPacket(2, 5)})},
        {"A B C C C D", abcccd, Concat({RawPacket({10, 20}), RunPacket(3, 30), RawPacket({40})})},
        {"single pixel", {9}, RawPacket({9})},
        {"two identical", {9, 9}, RunPacket(2, 9)},
        {"300 distinct", distinct300,
         Concat({RawPacket(Distinct(128, 0)), RawPacket(Distinct(128, 128)), RawPacket(Distinct(44, 0))})},
        {"run of 129 then one", runThenRaw, Concat({RunPacket(128, 7), RawPacket({7, 8})})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.packets, PixelData(EncodeTga(GreyRow(c.row), nullptr)));
    }

    // Each row is encoded on its own: two rows of three identical pixels are two runs of 3.
    Raster twoRows(3, 2, 24);
    EXPECT_EQ(Concat({RunPacket(3, 0), RunPacket(3, 0)}), PixelData(EncodeTga(twoRows, nullptr)));
}

TEST(TgaWriter, HeaderDescribesTopDownTrueColour) {
    const Raster image(300, 200, 24);
    const Raster mask(300, 200, 24);
    const Bytes header24 = {0, 0, 10, 0, 0, 0, 1, 24, 0, 0, 0, 0, 44, 1, 200, 0, 24, 0x20};
    const Bytes header32 = {0, 0, 10, 0, 0, 0, 1, 24, 0, 0, 0, 0, 44, 1, 200, 0, 32, 0x20};
    const Bytes tga24 = EncodeTga(image, nullptr);
    const Bytes tga32 = EncodeTga(image, &mask);
    EXPECT_EQ(header24, Bytes(tga24.begin(), tga24.begin() + 18));
    EXPECT_EQ(header32, Bytes(tga32.begin(), tga32.begin() + 18));
    // 300 black pixels a row: a run of 128, 128 and 44, one pixel each; nothing follows.
    EXPECT_EQ(18u + 200u * 3 * (1 + 3), tga24.size());
    EXPECT_EQ(18u + 200u * 3 * (1 + 4), tga32.size());
}

// ImageMagick's reading of a Targa as RGBA bytes, top row first.
std::string DecodeWithImageMagick(const Bytes& tga) {
    test::TempDir dir;
    test::WriteBytes(dir / "in.tga", tga);
    const auto r = test::RunCommand("convert " + test::ShellQuote(dir / "in.tga") + " -depth 8 rgba:-");
    EXPECT_EQ(0, r.exitStatus);
    return r.output;
}

TEST(TgaWriter, ImageMagickReadsColoursAndMaskOpacity) {
    ASSERT_TRUE(test::HaveProgram("convert"));
    const int w = 45, h = 7;
    std::mt19937 rng(3);
    Raster mask(w, h, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            mask.row(y)[3 * x] = 1;  // only the third byte is opacity
            mask.row(y)[3 * x + 2] = static_cast<std::uint8_t>(x < 20 ? 200 : rng());
        }
    for (int bpp : {24, 32, 8}) {
        Raster image(w, h, bpp);
        if (bpp == 8)
            for (auto& e : image.palette())
                e = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), 0};
        const int step = bpp / 8;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < step; ++c)  // runs on the left, noise on the right
                    image.row(y)[x * step + c] = static_cast<std::uint8_t>(x < 15 ? y * 30 + c : rng());
        for (const Raster* m : {static_cast<const Raster*>(nullptr), static_cast<const Raster*>(&mask)}) {
            SCOPED_TRACE(testing::Message() << "bpp " << bpp << " mask " << (m != nullptr));
            std::string expected;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const Rgb c = image.PixelColour(x, y);
                    expected += {static_cast<char>(c.red), static_cast<char>(c.green), static_cast<char>(c.blue),
                                 static_cast<char>(m ? m->row(y)[3 * x + 2] : 255)};
                }
            EXPECT_TRUE(expected == DecodeWithImageMagick(EncodeTga(image, m)));
        }
    }
}

TEST(TgaWriter, RejectsSidesAbove65535AndMismatchedMask) {
    const Raster tall(1, 65536, 24);
    try {
        EncodeTga(tall, nullptr);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ("TGA: image is too large for the format (at most 65535 pixels a side)", e.what());
    }
    const Raster image(4, 4, 24), mask(4, 3, 24);
    EXPECT_THROW(EncodeTga(image, &mask), Error);
}

}  // namespace
}  // namespace zelvan
