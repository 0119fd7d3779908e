// Byte streams: memory stream growth, reads, seeks and lines; stdio stream ownership.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "LfFile.h"
#include "TestSupport.h"

namespace {

// An opened memory stream holding the given bytes, positioned at the start.
void Fill(LfMemFile& stream, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(stream.Open());
    ASSERT_EQ(stream.Write(bytes.data(), 1, bytes.size()), bytes.size());
    ASSERT_TRUE(stream.Seek(0, SEEK_SET));
}

}  // namespace

TEST(MemStreamGrowth, CapacityGrowsInSixtyFourKiBSteps) {
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    EXPECT_FALSE(stream.Open());  // a buffer already exists
    EXPECT_EQ(stream.Capacity(), 0);
    ASSERT_TRUE(stream.PutC(7));
    EXPECT_EQ(stream.Capacity(), 65536);
    std::vector<uint8_t> block(65535, 1);
    ASSERT_EQ(stream.Write(block.data(), 1, block.size()), block.size());
    EXPECT_EQ(stream.Size(), 65536);
    EXPECT_EQ(stream.Capacity(), 65536);
    ASSERT_TRUE(stream.PutC(8));  // needs 65537 bytes
    EXPECT_EQ(stream.Capacity(), 131072);
    EXPECT_EQ(stream.Size(), 65537);

    LfMemFile exact;
    ASSERT_TRUE(exact.Open());
    std::vector<uint8_t> full(65536, 2);
    ASSERT_EQ(exact.Write(full.data(), 4, 16384), 16384u);
    EXPECT_EQ(exact.Capacity(), 131072);
}

TEST(MemStreamRead, ReturnsWholeItemsButCopiesThePartialOne) {
    LfMemFile stream;
    Fill(stream, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ASSERT_TRUE(stream.Seek(4, SEEK_SET));
    uint8_t target[40];
    std::memset(target, 0xEE, sizeof target);
    EXPECT_EQ(stream.Read(target, 4, 10), 1u);  // 6 bytes left
    EXPECT_EQ(target[5], 10);
    EXPECT_EQ(target[6], 0xEE);
    EXPECT_EQ(stream.Tell(), 10);
    EXPECT_TRUE(stream.Eof());
    EXPECT_EQ(stream.Read(target, 1, 1), 0u);
    EXPECT_EQ(stream.GetC(), -1);
}

TEST(MemStreamRead, HugeItemCountsDoNotOverflow) {
    LfMemFile stream;
    Fill(stream, {1, 2, 3, 4, 5, 6});
    uint8_t target[8];
    const size_t huge = std::numeric_limits<size_t>::max() / 2 + 1;
    EXPECT_EQ(stream.Read(target, 4, huge), 1u);  // 4 x huge wraps around size_t
    EXPECT_EQ(stream.Tell(), 6);
    EXPECT_EQ(stream.Write(target, 4, huge), 0u);
    EXPECT_EQ(stream.Write(target, 1, 0), 0u);
    EXPECT_EQ(stream.Size(), 6);
}

TEST(MemStreamSeek, ClampsBelowZeroAndRefusesUnknownOrigins) {
    LfMemFile stream;
    Fill(stream, {1, 2, 3, 4});
    EXPECT_TRUE(stream.Seek(-5, SEEK_SET));
    EXPECT_EQ(stream.Tell(), 0);
    ASSERT_TRUE(stream.Seek(2, SEEK_SET));
    EXPECT_FALSE(stream.Seek(1, 3));
    EXPECT_EQ(stream.Tell(), 2);
    EXPECT_TRUE(stream.Seek(-1, SEEK_END));
    EXPECT_EQ(stream.GetC(), 4);
    EXPECT_TRUE(stream.Seek(std::numeric_limits<int32_t>::max(), SEEK_CUR));
    EXPECT_EQ(stream.Tell(), std::numeric_limits<int32_t>::max());
    EXPECT_NE(stream.Error(), 0);  // beyond the end
    EXPECT_EQ(stream.Write("x", 1, 2), 0u);  // would pass the largest size
    EXPECT_FALSE(stream.PutC(1));
}

TEST(MemStreamSeek, WritingPastTheEndZeroFillsTheGap) {
    LfMemFile stream;
    Fill(stream, {9});
    ASSERT_TRUE(stream.Seek(5, SEEK_SET));
    ASSERT_TRUE(stream.PutC(7));
    EXPECT_EQ(stream.Size(), 6);
    const uint8_t* bytes = stream.GetBuffer(false);
    const uint8_t expected[6] = {9, 0, 0, 0, 0, 7};
    EXPECT_EQ(std::memcmp(bytes, expected, 6), 0);
}

TEST(MemStreamLines, LastLineWithoutNewlineGivesNothing) {
    LfMemFile stream;
    const char text[] = "first\nsecond";
    Fill(stream, std::vector<uint8_t>(text, text + std::strlen(text)));
    char line[32];
    ASSERT_NE(stream.GetS(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "first\n");
    EXPECT_EQ(stream.GetS(line, sizeof line), nullptr);
    EXPECT_TRUE(stream.Eof());

    LfMemFile shortBuffer;
    Fill(shortBuffer, {'a', 'b', 'c', 'd', '\n'});
    ASSERT_NE(shortBuffer.GetS(line, 3), nullptr);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(shortBuffer.GetS(line, 0), nullptr);
    EXPECT_EQ(shortBuffer.Scanf("%d", line), 0);
}

TEST(MemStreamOwnership, DetachedBufferSurvivesClose) {
    auto* stream = new LfMemFile;
    Fill(*stream, {4, 5, 6});
    uint8_t* bytes = stream->GetBuffer(true);
    EXPECT_TRUE(stream->Close());
    EXPECT_EQ(stream->Tell(), -1);
    EXPECT_EQ(stream->Size(), -1);
    EXPECT_TRUE(stream->Eof());
    EXPECT_EQ(stream->Error(), -1);
    EXPECT_FALSE(stream->Flush());
    delete stream;
    EXPECT_EQ(bytes[2], 6);  // still ours (ASan would flag a freed buffer)
    std::free(bytes);
}

TEST(MemStreamOwnership, BorrowedBufferIsCopiedWhenItMustGrow) {
    uint8_t borrowed[4] = {1, 2, 3, 4};
    {
        LfMemFile stream(borrowed, 4);
        EXPECT_EQ(stream.Size(), 4);
        ASSERT_TRUE(stream.Seek(0, SEEK_END));
        ASSERT_TRUE(stream.PutC(5));  // grows: must not realloc or free the caller's array
        EXPECT_EQ(stream.Size(), 5);
        EXPECT_EQ(stream.GetBuffer(false)[0], 1);
    }
    EXPECT_EQ(borrowed[3], 4);
}

TEST(MemStreamOwnership, WithoutABufferEverythingFails) {
    LfMemFile stream;
    uint8_t byte = 0;
    EXPECT_EQ(stream.Read(&byte, 1, 1), 0u);
    EXPECT_EQ(stream.Write(&byte, 1, 1), 0u);
    EXPECT_FALSE(stream.Seek(0, SEEK_SET));
    EXPECT_FALSE(stream.PutC(1));
    EXPECT_EQ(stream.GetC(), -1);
}

TEST(IoStream, HandleGivenByTheCallerStaysOpen) {
    testsupport::TempDir dir;
    const auto path = dir / "data.bin";
    testsupport::WriteFile(path, {10, 20, 30, 40, 50});
    FILE* handle = std::fopen(path.c_str(), "rb");
    ASSERT_NE(handle, nullptr);
    {
        LfIOFile stream(handle);
        EXPECT_EQ(stream.Size(), 5);
        EXPECT_EQ(stream.GetC(), 10);
        uint8_t two[2];
        EXPECT_EQ(stream.Read(two, 2, 1), 1u);
        EXPECT_EQ(two[1], 30);
        EXPECT_EQ(stream.Tell(), 3);
        EXPECT_FALSE(stream.Seek(0, 3));
        EXPECT_TRUE(stream.Close());  // not ours: nothing closed
    }
    EXPECT_EQ(std::fgetc(handle), 40);  // still usable after the stream died
    EXPECT_EQ(std::fclose(handle), 0);
}

TEST(IoStream, WithoutAHandleEverythingFails) {
    LfIOFile stream;
    uint8_t byte = 0;
    char line[4];
    EXPECT_EQ(stream.Read(&byte, 1, 1), 0u);
    EXPECT_EQ(stream.Write(&byte, 1, 1), 0u);
    EXPECT_FALSE(stream.Seek(0, SEEK_SET));
    EXPECT_EQ(stream.Tell(), 0);
    EXPECT_EQ(stream.Size(), -1);
    EXPECT_TRUE(stream.Eof());
    EXPECT_EQ(stream.Error(), -1);
    EXPECT_FALSE(stream.PutC(1));
    EXPECT_EQ(stream.GetC(), -1);
    EXPECT_EQ(stream.GetS(line, 4), nullptr);
    EXPECT_EQ(stream.Scanf("%d", line), -1);
    EXPECT_TRUE(stream.Close());
}

TEST(IoStream, WritesLinesAndScans) {
    testsupport::TempDir dir;
    FILE* handle = std::fopen((dir / "t.txt").c_str(), "w+b");
    ASSERT_NE(handle, nullptr);
    LfIOFile stream(handle);
    ASSERT_TRUE(stream.PutC('4'));
    ASSERT_EQ(stream.Write("2\nx", 1, 3), 3u);
    ASSERT_TRUE(stream.Flush());
    ASSERT_TRUE(stream.Seek(0, SEEK_SET));
    int value = 0;
    EXPECT_EQ(stream.Scanf("%d", &value), 1);
    EXPECT_EQ(value, 42);
    std::fclose(handle);
}
