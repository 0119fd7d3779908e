// The image object: creation limits, ownership, pixel layout, geometry, palette and tone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "LfImage.h"

namespace {

LfRgbQuad Quad(uint8_t b, uint8_t g, uint8_t r, uint8_t a = 0) { return LfRgbQuad{b, g, r, a}; }

// A picture whose every pixel is told apart from its neighbours, with a matching alpha plane.
void FillPattern(LfImage& image) {
    const uint32_t colors = image.NumColors();
    for (int32_t y = 0; y < static_cast<int32_t>(image.Height()); ++y) {
        for (int32_t x = 0; x < static_cast<int32_t>(image.Width()); ++x) {
            if (colors) {
                image.SetPixelIndex(x, y, static_cast<uint8_t>((x * 7 + y * 3) % colors));
            } else {
                image.SetPixelColor(x, y, Quad(static_cast<uint8_t>(x), static_cast<uint8_t>(y),
                                               static_cast<uint8_t>(x * 3 + y)));
            }
            image.AlphaSet(x, y, static_cast<uint8_t>(x * 11 + y * 5));
        }
    }
}

// Pixel value as a comparable number: the index, or blue/green/red packed.
uint32_t Value(const LfImage& image, int32_t x, int32_t y) {
    if (image.NumColors()) return image.PixelIndex(x, y);
    const LfRgbQuad c = image.PixelColor(x, y, false);
    return c.blue | (c.green << 8) | (c.red << 16);
}

LfImage Pattern(uint32_t width, uint32_t height, uint32_t bits) {
    LfImage image;
    EXPECT_NE(image.Create(width, height, bits), nullptr) << image.LastError();
    if (image.NumColors() == 256) image.SetGreyPalette();
    EXPECT_TRUE(image.AlphaCreate());
    FillPattern(image);
    return image;
}

}  // namespace

// ---------------------------------------------------------------- creation

TEST(ImageCreate, ZeroSizeFailsWithMessageAndLeavesNoBlock) {
    LfImage image;
    ASSERT_NE(image.Create(4, 4, 8), nullptr);
    EXPECT_EQ(image.Create(0, 5, 24), nullptr);
    EXPECT_STREQ(image.LastError(), "LfImage::Create : width and height must be greater than zero");
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.Create(5, 0, 24), nullptr);
    EXPECT_FALSE(image.IsValid());
}

TEST(ImageCreate, BitCountsNormaliseWithTheirPaletteSizes) {
    struct Case { uint32_t asked, bits, colors; };
    for (const Case c : {Case{0, 1, 2}, Case{1, 1, 2}, Case{2, 4, 16}, Case{3, 4, 16}, Case{5, 8, 256},
                         Case{8, 8, 256}, Case{16, 24, 0}, Case{32, 24, 0}}) {
        SCOPED_TRACE(c.asked);
        LfImage image;
        ASSERT_NE(image.Create(3, 2, c.asked), nullptr);
        EXPECT_EQ(image.BitCount(), c.bits);
        EXPECT_EQ(image.NumColors(), c.colors);
        // The block carries the same header and a zeroed palette.
        LfBitmapInfoHeader inBlock;
        std::memcpy(&inBlock, image.Block(), sizeof inBlock);
        EXPECT_EQ(inBlock.bitCount, c.bits);
        EXPECT_EQ(inBlock.colorsUsed, c.colors);
        EXPECT_EQ(inBlock.imageSize, image.EffectiveWidth() * 2);
        EXPECT_EQ(image.BlockSize(), 40 + c.colors * 4 + image.EffectiveWidth() * 2);
        for (uint32_t i = 0; i < c.colors; ++i) EXPECT_EQ(image.PaletteColor(static_cast<uint8_t>(i)), Quad(0, 0, 0));
    }
}

TEST(ImageCreate, RowsArePaddedToFourBytes) {
    struct Case { uint32_t width, bits, rowBytes; };
    for (const Case c : {Case{1, 24, 4}, Case{10, 24, 32}, Case{33, 1, 8}, Case{9, 4, 8}, Case{5, 8, 8}}) {
        LfImage image;
        ASSERT_NE(image.Create(c.width, 3, c.bits), nullptr);
        EXPECT_EQ(image.EffectiveWidth(), c.rowBytes) << c.width << "x" << c.bits;
        EXPECT_EQ(image.Row(1) - image.Row(0), static_cast<ptrdiff_t>(c.rowBytes));
        EXPECT_EQ(image.Row(3), nullptr);
    }
}

TEST(ImageCreate, MemoryGuardRefusesOversizedAndWrappingProducts) {
    struct Case { uint32_t width, height, bits; };
    // 16384 x 16385 bytes is just above 256 MiB; the next ones wrap width x height x bits in
    // 32 bits to a small number; the last ones have few pixel bits but rows padded to 4 bytes
    // (a 100-byte bitmap file can claim 3 x 303174399 pixels of 1 bit).
    for (const Case c : {Case{16384, 16385, 8}, Case{65536, 65536, 24}, Case{65536, 65537, 8},
                         Case{0xFFFFFFFFu, 0xFFFFFFFFu, 32}, Case{0x80000000u, 1, 1}, Case{1, 1u << 30, 1},
                         Case{3, 303174399, 1}, Case{1, (1u << 26) + 1, 8}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        LfImage image;
        EXPECT_EQ(image.Create(c.width, c.height, c.bits), nullptr);
        EXPECT_STREQ(image.LastError(), "LFIMAGE_MAX_MEMORY exceeded");
        EXPECT_FALSE(image.IsValid());
    }
}

TEST(ImageCreate, ExactlyTheMemoryLimitIsAccepted) {
    LfImage image;
    ASSERT_NE(image.Create(65536, 32768, 1), nullptr) << image.LastError();  // 2^31 bits
    EXPECT_EQ(image.EffectiveWidth(), 8192u);
}

TEST(ImageSettings, ResolutionZeroOrNegativeMeansNinetySixDpi) {
    LfImage image;
    EXPECT_EQ(image.XDpi(), 96);
    EXPECT_EQ(image.head.xPelsPerMeter, 3780);
    ASSERT_NE(image.Create(2, 2, 24), nullptr);
    image.SetXDpi(300);
    image.SetYDpi(72);
    EXPECT_EQ(image.head.xPelsPerMeter, 11811);
    EXPECT_EQ(image.head.yPelsPerMeter, 2835);
    image.SetXDpi(0);
    image.SetYDpi(-4);
    EXPECT_EQ(image.XDpi(), 96);
    EXPECT_EQ(image.YDpi(), 96);
    LfBitmapInfoHeader inBlock;
    std::memcpy(&inBlock, image.Block(), sizeof inBlock);
    EXPECT_EQ(inBlock.xPelsPerMeter, 3780);
    EXPECT_EQ(inBlock.yPelsPerMeter, 3780);
}

TEST(ImageSettings, TypeTransparencyAndColoursImportantFollowTheirRules) {
    LfImage image;
    EXPECT_FALSE(image.SetType(16));
    EXPECT_EQ(image.Type(), 0u);
    EXPECT_TRUE(image.SetType(19));
    EXPECT_FALSE(image.SetType(20));

    ASSERT_NE(image.Create(2, 2, 4), nullptr);
    image.SetTransparentIndex(15);
    EXPECT_EQ(image.TransparentIndex(), 15);
    image.SetTransparentIndex(16);  // not a palette entry
    EXPECT_EQ(image.TransparentIndex(), 0);
    image.SetTransparentColor(Quad(1, 2, 3, 99));
    EXPECT_EQ(image.TransparentColor(), Quad(1, 2, 3, 0));

    image.SetColorsImportant(200);
    EXPECT_EQ(image.ColorsImportant(), 16u);
    image.SetColorsImportant(300);
    EXPECT_EQ(image.ColorsImportant(), 0u);
    ASSERT_NE(image.Create(2, 2, 24), nullptr);
    image.SetColorsImportant(5);
    EXPECT_EQ(image.ColorsImportant(), 0u);
}

TEST(ImageSettings, CodecOptionOfUnknownFormatUsesTheImagesOwnSlot) {
    LfImage image(LF_FORMAT_MNG);
    image.SetCodecOption(7);
    EXPECT_EQ(image.CodecOption(LF_FORMAT_MNG), 7u);
    EXPECT_EQ(image.info.codecOptions[16], 7u);
    image.SetCodecOption(3, 42);
    EXPECT_EQ(image.CodecOption(LF_FORMAT_MNG), 3u);
    EXPECT_EQ(image.CodecOption(LF_FORMAT_PNG), 0u);
}

TEST(ImageSettings, LastErrorIsCutAt255Characters) {
    LfImage image;
    const std::string longText(400, 'x');
    image.SetLastError(longText.c_str());
    EXPECT_EQ(std::strlen(image.LastError()), 255u);
}

// ---------------------------------------------------------------- ownership

TEST(ImageOwnership, GhostSharesAndRefusesDestroy) {
    LfImage owner = Pattern(5, 3, 24);
    {
        LfImage ghost;
        ghost.Ghost(&owner);
        EXPECT_EQ(ghost.Block(), owner.Block());
        EXPECT_EQ(ghost.AlphaPlane(), owner.AlphaPlane());
        EXPECT_FALSE(ghost.Destroy());
        EXPECT_FALSE(ghost.DestroyFrames());
        EXPECT_EQ(ghost.Create(2, 2, 8), nullptr);
        EXPECT_TRUE(ghost.IsValid());
    }  // the ghost's destructor must leave the owner's block alone
    EXPECT_TRUE(owner.IsValid());
    EXPECT_EQ(Value(owner, 4, 2), Value(Pattern(5, 3, 24), 4, 2));
}

TEST(ImageOwnership, CopyIsDeepAndKeepsPaletteAlphaAndSelection) {
    LfImage source = Pattern(6, 4, 4);
    source.SetPaletteColor(2, Quad(9, 8, 7));
    ASSERT_TRUE(source.SelectionCreate());
    source.SelectionMask()[3] = 1;
    source.SetXDpi(200);

    LfImage copy(source);
    ASSERT_TRUE(copy.IsValid());
    EXPECT_NE(copy.Block(), source.Block());
    EXPECT_EQ(std::memcmp(copy.Block(), source.Block(), source.BlockSize()), 0);
    EXPECT_EQ(copy.XDpi(), 200);
    ASSERT_NE(copy.AlphaPlane(), nullptr);
    EXPECT_EQ(copy.AlphaGet(5, 3), source.AlphaGet(5, 3));
    ASSERT_NE(copy.SelectionMask(), nullptr);
    EXPECT_EQ(copy.SelectionMask()[3], 1);

    copy.SetPixelIndex(0, 0, 15);
    EXPECT_NE(source.PixelIndex(0, 0), 15);

    LfImage paletteOnly;
    paletteOnly.Copy(source, false, false, false);
    EXPECT_EQ(paletteOnly.PaletteColor(2), Quad(9, 8, 7));
    EXPECT_EQ(paletteOnly.AlphaPlane(), nullptr);
    EXPECT_EQ(paletteOnly.SelectionMask(), nullptr);
}

TEST(ImageOwnership, CopyOfEmptyImageLeavesTargetEmptyWithMessage) {
    LfImage empty;
    LfImage target = Pattern(3, 3, 8);
    target.Copy(empty);
    EXPECT_FALSE(target.IsValid());
    EXPECT_STREQ(target.LastError(), "LfImage::Create : width and height must be greater than zero");
}

TEST(ImageOwnership, TransferMovesEverythingAndEmptiesTheSource) {
    LfImage source = Pattern(4, 3, 8);
    source.SetType(LF_FORMAT_GIF);
    auto** frames = new LfImage*[2]{new LfImage, new LfImage};
    source.SetFrames(frames, 2);
    uint8_t* block = source.Block();

    LfImage target = Pattern(2, 2, 24);
    ASSERT_TRUE(target.Transfer(source));
    EXPECT_EQ(target.Block(), block);
    EXPECT_EQ(target.Type(), static_cast<uint32_t>(LF_FORMAT_GIF));
    EXPECT_EQ(target.Frame(1), frames[1]);
    EXPECT_TRUE(target.AlphaIsValid());
    EXPECT_FALSE(source.IsValid());
    EXPECT_EQ(source.Width(), 0u);
    EXPECT_EQ(source.Frames(), nullptr);
    EXPECT_EQ(source.AlphaPlane(), nullptr);

    LfImage ghost;
    ghost.Ghost(&target);
    LfImage other;
    EXPECT_FALSE(other.Transfer(ghost));  // a ghost's block is not its own to give
    EXPECT_TRUE(target.IsValid());
}

TEST(ImageOwnership, FrameArrayIsFreedByItsOwnLengthNotTheDecodedCount) {
    LfImage image;
    image.SetFrames(new LfImage*[1]{new LfImage}, 1);
    image.info.numFrames = 40;  // codecs record the file's count here
    EXPECT_EQ(image.Frame(1), nullptr);
    EXPECT_TRUE(image.DestroyFrames());
    EXPECT_EQ(image.NumFrames(), 0);
}

TEST(ImageOwnership, CopyInfoGivesSettingsButNotTheBlockDescription) {
    LfImage caller = Pattern(3, 3, 8);
    caller.SetEscape(-1);
    caller.SetJpegQuality(42);
    LfImage codec;
    codec.CopyInfo(caller);
    EXPECT_EQ(codec.Escape(), -1);
    EXPECT_EQ(codec.JpegQuality(), 42);
    EXPECT_EQ(codec.info.pixels, nullptr);
    EXPECT_EQ(codec.info.ghostOwner, nullptr);
    ASSERT_NE(codec.Create(2, 2, 8), nullptr);
    codec.SetEscape(5);
    codec.CopyInfo(caller);  // ignored once a block exists
    EXPECT_EQ(codec.Escape(), 5);
}

// ---------------------------------------------------------------- pixels

TEST(ImagePixels, SubBytePixelsUseHighNibbleAndHighBitFirst) {
    LfImage four;
    ASSERT_NE(four.Create(3, 1, 4), nullptr);
    four.Clear(0);
    four.SetPixelIndex(0, 0, 0xA);
    four.SetPixelIndex(1, 0, 0x5);
    four.SetPixelIndex(2, 0, 0xF);
    EXPECT_EQ(four.Row(0)[0], 0xA5);
    EXPECT_EQ(four.Row(0)[1], 0xF0);

    LfImage one;
    ASSERT_NE(one.Create(10, 1, 1), nullptr);
    one.Clear(0);
    one.SetPixelIndex(0, 0, 1);
    one.SetPixelIndex(9, 0, 1);
    EXPECT_EQ(one.Row(0)[0], 0x80);
    EXPECT_EQ(one.Row(0)[1], 0x40);
    EXPECT_EQ(one.PixelIndex(9, 0), 1);
    EXPECT_EQ(one.PixelIndex(8, 0), 0);
}

TEST(ImagePixels, ClearSpreadsTheValueOverSubBytePixels) {
    LfImage one;
    ASSERT_NE(one.Create(8, 2, 1), nullptr);
    one.Clear(3);
    EXPECT_EQ(one.Row(1)[0], 0xFF);
    LfImage four;
    ASSERT_NE(four.Create(8, 2, 4), nullptr);
    four.Clear(0x13);  // 19 mod 16 = 3
    EXPECT_EQ(four.Row(0)[0], 0x33);
}

TEST(ImagePixels, OutsideReadsGiveTransparentOrCornerValues) {
    LfImage image;
    ASSERT_NE(image.Create(2, 2, 8), nullptr);
    image.SetGreyPalette();
    image.Clear(0);
    image.SetPixelIndex(0, 0, 77);
    EXPECT_EQ(image.PixelIndex(-1, 0), 77);  // first byte of the rows
    EXPECT_EQ(image.PixelColor(5, 5), Quad(77, 77, 77));
    image.SetTransparentIndex(9);
    EXPECT_EQ(image.PixelIndex(2, 0), 9);
    EXPECT_EQ(image.PixelColor(0, 2), Quad(9, 9, 9));
    image.SetPixelIndex(2, 0, 5);  // ignored outside
    image.SetPixelIndex(-1, 1, 5);
    EXPECT_EQ(image.PixelIndex(1, 1), 0);
}

TEST(ImagePixels, TwentyFourBitColourAndAlpha) {
    LfImage image;
    ASSERT_NE(image.Create(3, 2, 24), nullptr);
    image.SetPixelColor(2, 1, Quad(10, 20, 30, 40), true);  // no plane: alpha dropped
    EXPECT_EQ(image.Row(1)[6], 10);
    EXPECT_EQ(image.Row(1)[8], 30);
    ASSERT_TRUE(image.AlphaCreate());
    EXPECT_EQ(image.AlphaGet(0, 0), 255);
    image.SetPixelColor(2, 1, Quad(10, 20, 30, 40), true);
    EXPECT_EQ(image.PixelColor(2, 1), Quad(10, 20, 30, 40));
    EXPECT_EQ(image.PixelColor(2, 1, false).alpha, 0);
}

TEST(ImagePixels, DrawLineCoversBothEndpointsAndClipsOutside) {
    LfImage image;
    ASSERT_NE(image.Create(8, 4, 24), nullptr);
    image.Clear(0);
    const LfRgbQuad white = Quad(255, 255, 255);
    image.DrawLine(0, 0, 7, 3, white);
    int lit = 0;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) lit += image.PixelColor(x, y, false) == white;
    EXPECT_EQ(lit, 8);  // one pixel per column along the longer extent
    EXPECT_EQ(image.PixelColor(0, 0, false), white);
    EXPECT_EQ(image.PixelColor(7, 3, false), white);
    image.DrawLine(-100, 2, 100, 2, white);  // must not write outside
    EXPECT_EQ(image.PixelColor(5, 2, false), white);
}

TEST(ImagePixels, RowIteratorMovesOnlyWithinZeroToHeight) {
    LfImage image;
    ASSERT_NE(image.Create(4, 3, 8), nullptr);
    LfRowIterator it(&image);
    EXPECT_EQ(it.Row(), image.Row(0));
    EXPECT_FALSE(it.PrevRow());
    EXPECT_TRUE(it.MoveTo(3));
    EXPECT_EQ(it.Row(), nullptr);
    EXPECT_FALSE(it.MoveTo(4));
    EXPECT_FALSE(it.MoveTo(-1));
    EXPECT_EQ(it.RowNumber(), 3);
    it.ToTop();
    EXPECT_EQ(it.Row(), image.Row(2));
    EXPECT_TRUE(it.PrevRow());
    EXPECT_EQ(it.Row(), image.Row(1));
    EXPECT_TRUE(it.NextRow());
    EXPECT_FALSE(it.NextRow());
    EXPECT_EQ(it.Row(), nullptr);
}

// ---------------------------------------------------------------- geometry, every depth

class ImageGeometry : public ::testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Depths, ImageGeometry, ::testing::Values(1u, 4u, 8u, 24u));

TEST_P(ImageGeometry, FlipSwapsRowsAndKeepsTheMiddleRow) {
    const LfImage original = Pattern(7, 5, GetParam());
    LfImage image(original);
    ASSERT_TRUE(image.Flip(false, true));
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 7; ++x) {
            EXPECT_EQ(Value(image, x, y), Value(original, x, 4 - y)) << x << "," << y;
            EXPECT_EQ(image.AlphaGet(x, y), original.AlphaGet(x, 4 - y));
        }
}

TEST_P(ImageGeometry, MirrorReversesEveryRow) {
    const LfImage original = Pattern(13, 3, GetParam());
    LfImage image(original);
    ASSERT_TRUE(image.Mirror(false, true));
    ASSERT_EQ(image.Width(), 13u);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 13; ++x) {
            EXPECT_EQ(Value(image, x, y), Value(original, 12 - x, y)) << x << "," << y;
            EXPECT_EQ(image.AlphaGet(x, y), original.AlphaGet(12 - x, y));
        }
    // Without the alpha flag the plane stays as it was.
    LfImage keepAlpha(original);
    ASSERT_TRUE(keepAlpha.Mirror(false, false));
    EXPECT_EQ(keepAlpha.AlphaGet(0, 0), original.AlphaGet(0, 0));
}

TEST_P(ImageGeometry, RotateRightIsAClockwiseQuarterTurn) {
    // 70 x 67 crosses the 64-pixel block boundary in both directions.
    const LfImage original = Pattern(70, 67, GetParam());
    LfImage image(original);
    ASSERT_TRUE(image.SelectionCreate());
    image.SelectionMask()[0] = 1;  // bottom-left pixel
    ASSERT_TRUE(image.RotateRight());
    ASSERT_EQ(image.Width(), 67u);
    ASSERT_EQ(image.Height(), 70u);
    ASSERT_EQ(image.BitCount(), original.BitCount());
    for (int32_t y = 0; y < 70; ++y)
        for (int32_t x = 0; x < 67; ++x) {
            ASSERT_EQ(Value(image, x, y), Value(original, 69 - y, x)) << x << "," << y;
            ASSERT_EQ(image.AlphaGet(x, y), original.AlphaGet(69 - y, x));
        }
    // The top-left corner lands at the top-right, the bottom-left at the top-left.
    EXPECT_EQ(Value(image, 66, 69), Value(original, 0, 66));
    ASSERT_NE(image.SelectionMask(), nullptr);
    EXPECT_EQ(image.SelectionMask()[69 * 67 + 0], 1);
}

TEST_P(ImageGeometry, RotateLeftUndoesRotateRight) {
    const LfImage original = Pattern(9, 70, GetParam());
    LfImage image(original);
    ASSERT_TRUE(image.RotateLeft());
    EXPECT_EQ(Value(image, 0, 0), Value(original, 0, 69));  // top-left went to bottom-left
    ASSERT_TRUE(image.RotateRight());
    ASSERT_EQ(image.Width(), 9u);
    ASSERT_EQ(image.Height(), 70u);
    for (int32_t y = 0; y < 70; ++y)
        for (int32_t x = 0; x < 9; ++x) {
            ASSERT_EQ(Value(image, x, y), Value(original, x, y));
            ASSERT_EQ(image.AlphaGet(x, y), original.AlphaGet(x, y));
        }
    if (original.NumColors()) {
        EXPECT_EQ(std::memcmp(image.Palette(), original.Palette(), original.PaletteSize()), 0);
    }
}

TEST(ImageGeometryEmpty, TransformsOfAnEmptyImageFail) {
    LfImage image;
    EXPECT_FALSE(image.Flip());
    EXPECT_FALSE(image.Mirror());
    EXPECT_FALSE(image.RotateLeft());
    EXPECT_FALSE(image.RotateRight());
    EXPECT_FALSE(image.IncreaseBitCount(24));
    EXPECT_FALSE(image.Negative());
}

// ---------------------------------------------------------------- palette

TEST(ImagePalette, NearestIndexPrefersTheFirstOfEqualEntries) {
    LfImage image;
    ASSERT_NE(image.Create(2, 2, 4), nullptr);
    for (uint8_t i = 0; i < 16; ++i) image.SetPaletteColor(i, Quad(255, 255, 255));
    image.SetPaletteColor(3, Quad(10, 10, 10));
    image.SetPaletteColor(7, Quad(30, 30, 30));
    EXPECT_EQ(image.NearestIndex(Quad(20, 20, 20)), 3);
    EXPECT_EQ(image.NearestIndex(Quad(29, 30, 30)), 7);
}

TEST(ImagePalette, EveryPaletteChangeInvalidatesTheCache) {
    LfImage image;
    ASSERT_NE(image.Create(2, 2, 8), nullptr);
    image.SetGreyPalette();
    const LfRgbQuad colour = Quad(200, 10, 10);
    const uint8_t before = image.NearestIndex(colour);
    image.SetPaletteColor(250, colour);
    EXPECT_EQ(image.NearestIndex(colour), 250);
    const LfRgbQuad entries[2] = {colour, Quad(0, 0, 0)};
    image.SetPalette(entries, 2);
    EXPECT_EQ(image.NearestIndex(colour), 0);
    image.SetGreyPalette();
    EXPECT_EQ(image.NearestIndex(colour), before);
    image.SwapIndex(before, 1);
    EXPECT_EQ(image.NearestIndex(colour), 1);
    // Colours important narrows the scan.
    image.SetGreyPalette();
    image.SetColorsImportant(2);
    EXPECT_EQ(image.NearestIndex(Quad(255, 255, 255)), 1);
}

TEST(ImagePalette, AnAlteredColourCountNeverReachesPastThePalette) {
    LfImage image;
    ASSERT_NE(image.Create(1, 1, 1), nullptr);
    image.head.colorsUsed = 256;  // as a careless codec might leave it
    image.SetGreyPalette();
    EXPECT_EQ(image.PaletteColor(200), Quad(0, 0, 0));
    EXPECT_EQ(image.NearestIndex(Quad(255, 255, 255)), 1);
    image.Negative();
    image.SwapRedBlue();
    EXPECT_FALSE(image.AlphaPaletteHasValues());
    LfImage copy(image);
    EXPECT_TRUE(copy.IsValid());
}

TEST(ImagePalette, SetPaletteFromArraysDefaultsMissingChannels) {
    LfImage image;
    ASSERT_NE(image.Create(2, 2, 1), nullptr);
    const uint8_t red[2] = {1, 2};
    image.SetPaletteRGB(red, nullptr, nullptr, 5);  // more than the palette holds
    EXPECT_EQ(image.PaletteColor(1), Quad(2, 2, 2));
    const uint8_t rgb[6] = {10, 20, 30, 40, 50, 60};
    image.SetPaletteTriples(rgb, 2);
    EXPECT_EQ(image.PaletteColor(1), Quad(60, 50, 40));
}

TEST(ImagePalette, GreyScaleMeansEntryEqualsIndex) {
    LfImage image;
    ASSERT_NE(image.Create(2, 2, 4), nullptr);
    image.SetGreyPalette();
    EXPECT_EQ(image.PaletteColor(1), Quad(17, 17, 17));
    EXPECT_FALSE(image.IsGrey());
    ASSERT_NE(image.Create(2, 2, 8), nullptr);
    image.SetGreyPalette();
    EXPECT_TRUE(image.IsGrey());
    EXPECT_GT(image.LuminanceDifference(200, 100), 0);
    EXPECT_EQ(image.LuminanceDifference(100, 100), 0);
}

TEST(ImagePalette, SwapIndexExchangesEntriesAndPixels) {
    LfImage image = Pattern(6, 2, 4);
    image.SetPaletteColor(1, Quad(1, 1, 1));
    image.SetPaletteColor(2, Quad(2, 2, 2));
    const LfImage before(image);
    image.SwapIndex(1, 2);
    EXPECT_EQ(image.PaletteColor(1), Quad(2, 2, 2));
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 6; ++x) {
            const uint8_t was = before.PixelIndex(x, y);
            const uint8_t expected = was == 1 ? 2 : was == 2 ? 1 : was;
            EXPECT_EQ(image.PixelIndex(x, y), expected);
            EXPECT_EQ(image.PixelColor(x, y, false), before.PixelColor(x, y, false));
        }
}

TEST(ImagePalette, SwapRedBlueRangeIsClippedToTheRow) {
    LfImage image;
    ASSERT_NE(image.Create(2, 1, 24), nullptr);
    uint8_t buffer[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    image.SwapRedBlue(buffer, sizeof buffer);
    const uint8_t expected[12] = {3, 2, 1, 6, 5, 4, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);

    LfImage palette;
    ASSERT_NE(palette.Create(2, 1, 8), nullptr);
    uint8_t untouched[3] = {1, 2, 3};
    palette.SwapRedBlue(untouched, 3);
    EXPECT_EQ(untouched[0], 1);
    palette.SetPaletteColor(4, Quad(1, 2, 3));
    palette.SwapRedBlue();
    EXPECT_EQ(palette.PaletteColor(4), Quad(3, 2, 1));
}

// ---------------------------------------------------------------- bit count and tone

TEST(ImageTone, IncreaseBitCountKeepsIndicesOrColours) {
    LfImage one = Pattern(11, 3, 1);
    one.SetPaletteColor(1, Quad(0, 0, 200));
    const LfImage before(one);
    EXPECT_TRUE(one.IncreaseBitCount(1));
    EXPECT_FALSE(one.IncreaseBitCount(2));  // not a target depth
    ASSERT_TRUE(one.IncreaseBitCount(8));
    EXPECT_EQ(one.BitCount(), 8u);
    EXPECT_FALSE(one.IncreaseBitCount(4));  // lower than now
    ASSERT_TRUE(one.IncreaseBitCount(24));
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 11; ++x) {
            EXPECT_EQ(one.PixelColor(x, y, false), before.PixelColor(x, y, false));
            EXPECT_EQ(one.AlphaGet(x, y), before.AlphaGet(x, y));
        }
}

TEST(ImageTone, IncreaseBitCountTurnsPaletteAlphaIntoAnAlphaPlane) {
    LfImage image;
    ASSERT_NE(image.Create(3, 1, 8), nullptr);
    image.SetPaletteColor(0, Quad(10, 20, 30, 255));
    image.SetPaletteColor(1, Quad(40, 50, 60, 0));
    image.SetPaletteColor(2, Quad(70, 80, 90, 128));
    for (int x = 0; x < 3; ++x) image.SetPixelIndex(x, 0, static_cast<uint8_t>(x));
    image.SetTransparentIndex(1);
    ASSERT_TRUE(image.IncreaseBitCount(24));
    ASSERT_TRUE(image.AlphaIsValid());
    EXPECT_EQ(image.PixelColor(0, 0), Quad(10, 20, 30, 255));
    EXPECT_EQ(image.PixelColor(1, 0), Quad(40, 50, 60, 0));
    EXPECT_EQ(image.PixelColor(2, 0), Quad(70, 80, 90, 128));
    EXPECT_EQ(image.TransparentColor(), Quad(40, 50, 60, 0));
}

TEST(ImageTone, NegativeInvertsPixelsPaletteOrGreyIndices) {
    LfImage rgb;
    ASSERT_NE(rgb.Create(1, 1, 24), nullptr);
    rgb.SetPixelColor(0, 0, Quad(0, 100, 255));
    rgb.SetTransparentColor(Quad(1, 2, 3));
    ASSERT_TRUE(rgb.Negative());
    EXPECT_EQ(rgb.PixelColor(0, 0, false), Quad(255, 155, 0));
    EXPECT_EQ(rgb.TransparentColor(), Quad(254, 253, 252));

    LfImage grey;
    ASSERT_NE(grey.Create(2, 1, 8), nullptr);
    grey.SetGreyPalette();
    grey.SetPixelIndex(0, 0, 10);
    ASSERT_TRUE(grey.Negative());
    EXPECT_EQ(grey.PixelIndex(0, 0), 245);
    EXPECT_EQ(grey.PaletteColor(10), Quad(10, 10, 10));

    LfImage colour;
    ASSERT_NE(colour.Create(2, 1, 4), nullptr);
    colour.SetPaletteColor(3, Quad(10, 20, 30, 7));
    colour.SetPixelIndex(0, 0, 3);
    ASSERT_TRUE(colour.Negative());
    EXPECT_EQ(colour.PixelIndex(0, 0), 3);
    EXPECT_EQ(colour.PaletteColor(3), Quad(245, 235, 225, 7));
}

TEST(ImageAlpha, PlaneOperationsWorkOnTheirOwnRows) {
    LfImage image = Pattern(4, 3, 24);
    const LfImage original(image);
    image.AlphaInvert();
    EXPECT_EQ(image.AlphaGet(1, 2), static_cast<uint8_t>(~original.AlphaGet(1, 2)));
    ASSERT_TRUE(image.AlphaCopy(original));
    ASSERT_TRUE(image.AlphaFlip());
    EXPECT_EQ(image.AlphaGet(1, 0), original.AlphaGet(1, 2));
    ASSERT_TRUE(image.AlphaMirror());
    EXPECT_EQ(image.AlphaGet(0, 0), original.AlphaGet(3, 2));

    LfImage grey;
    ASSERT_NE(grey.Create(4, 3, 8), nullptr);
    grey.SetGreyPalette();
    grey.Clear(0);
    grey.SetPixelIndex(2, 1, 99);
    ASSERT_TRUE(image.AlphaFromGrey(grey));
    EXPECT_EQ(image.AlphaGet(2, 1), 99);
    LfImage wrongSize;
    ASSERT_NE(wrongSize.Create(5, 3, 8), nullptr);
    wrongSize.SetGreyPalette();
    EXPECT_FALSE(image.AlphaFromGrey(wrongSize));
    image.AlphaDelete();
    EXPECT_EQ(image.AlphaGet(2, 1), 0);
    image.AlphaSet(2, 1, 5);  // ignored without a plane
}

TEST(ImageByteOrder, SwapsOnlyOnABigEndianHost) {
    LfImage image;
    EXPECT_EQ(image.SwapDword(0x11223344u), 0x11223344u);
    image.info.littleEndianHost = false;
    EXPECT_EQ(image.SwapDword(0x11223344u), 0x44332211u);
    EXPECT_EQ(image.SwapWord(0x1122), 0x2211);
    LfBitmapInfoHeader header{};
    header.width = 0x01000000;
    header.bitCount = 0x1800;
    image.SwapHeader(header);
    EXPECT_EQ(header.width, 1);
    EXPECT_EQ(header.bitCount, 24);
}
