#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"
#include "rtl/streams.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>

using namespace velora;

namespace {

void Fill(TMemoryStream& s, int size) {
    for (int i = 0; i < size; ++i) {
        const auto b = static_cast<std::uint8_t>(i * 7 + 1);
        s.WriteBuffer(&b, 1);
    }
}

// A destination that takes only a limited number of bytes, like a full disk.
class TLimitedStream : public TMemoryStream {
public:
    explicit TLimitedStream(std::int64_t limit) : FLimit(limit) {}
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        const std::int64_t n = std::min(count, FLimit - Size());
        return n <= 0 ? 0 : TMemoryStream::Write(buffer, n);
    }

private:
    std::int64_t FLimit;
};

} // namespace

struct CopyCase {
    int sourceSize;
    std::int64_t startPos;
    std::int64_t count;
    std::int32_t bufferSize;
    std::int64_t expectedResult; // -1: EReadError expected
    std::int64_t expectedWritten;
};

class CopyFromTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyFromTest, CopiesOrFailsAsTheCountSays) {
    const CopyCase& c = GetParam();
    TMemoryStream source;
    Fill(source, c.sourceSize);
    source.SetPosition(c.startPos);
    TMemoryStream dest;
    if (c.expectedResult < 0) {
        EXPECT_THROW(dest.CopyFrom(source, c.count, c.bufferSize), EReadError);
    } else {
        EXPECT_EQ(dest.CopyFrom(source, c.count, c.bufferSize), c.expectedResult);
    }
    ASSERT_EQ(dest.Size(), c.expectedWritten);
    if (c.expectedWritten == 0) {
        return;
    }
    const std::int64_t offset = c.count <= 0 ? 0 : c.startPos;
    EXPECT_EQ(0, std::memcmp(dest.Memory(), source.Memory() + offset,
                             static_cast<std::size_t>(c.expectedWritten)));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, CopyFromTest,
    ::testing::Values(
        // A count of 0 or less copies everything from the start, whatever the position.
        CopyCase{100, 50, 0, 16, 100, 100}, CopyCase{100, 100, -1, 1048576, 100, 100},
        CopyCase{0, 0, -1, 16, 0, 0},
        // A positive count starts at the current position.
        CopyCase{100, 10, 30, 7, 30, 30}, CopyCase{100, 0, 100, 1048576, 100, 100},
        // Too few bytes: the whole chunks before the gap are kept.
        CopyCase{100, 0, 120, 32, -1, 96}, CopyCase{100, 100, 5, 16, -1, 0}));

TEST(CopyFrom, RejectsBufferSizeOfZeroOrLess) {
    TMemoryStream source;
    Fill(source, 10);
    TMemoryStream dest;
    EXPECT_THROW(dest.CopyFrom(source, 10, 0), ERangeError);
    EXPECT_THROW(dest.CopyFrom(source, 10, -5), ERangeError);
    EXPECT_EQ(dest.Size(), 0);
}

TEST(CopyFrom, DestinationThatStopsTakingFailsWithWriteError) {
    TMemoryStream source;
    Fill(source, 100);
    source.SetPosition(0);
    TLimitedStream dest(40);
    try {
        dest.CopyFrom(source, 100, 16);
        FAIL() << "no failure";
    } catch (const EWriteError& e) {
        EXPECT_EQ(e.Message(), u"Stream write error");
    }
    EXPECT_EQ(dest.Size(), 40);
}

TEST(MemoryStream, GrowsInStepsAndKeepsContentAcrossGrowth) {
    TMemoryStream s;
    std::vector<std::uint8_t> chunk(3000);
    std::iota(chunk.begin(), chunk.end(), 0);
    for (int i = 0; i < 1000; ++i) {
        s.WriteBuffer(chunk.data(), static_cast<std::int64_t>(chunk.size()));
    }
    EXPECT_EQ(s.Size(), 3000000);
    EXPECT_EQ(s.Capacity() % 8192, 0);
    EXPECT_LT(s.Capacity(), 2 * s.Size()); // geometric, not doubling without bound
    for (int i = 0; i < 1000; i += 97) {
        EXPECT_EQ(0, std::memcmp(s.Memory() + i * 3000, chunk.data(), chunk.size()));
    }
}

TEST(MemoryStream, SizeAndPositionFollowTheirRules) {
    TMemoryStream s;
    s.WriteBuffer("abcdef", 6);
    s.SetSize(3);
    EXPECT_EQ(s.Position(), 3);
    EXPECT_EQ(s.Seek(-1, TSeekOrigin::soEnd), 2);
    char c = 0;
    EXPECT_EQ(s.Read(&c, 10), 1);
    EXPECT_EQ(c, 'c');
    EXPECT_EQ(s.Read(&c, 1), 0);
    s.SetPosition(10); // past the end is allowed; a write fills the gap
    s.WriteBuffer("z", 1);
    EXPECT_EQ(s.Size(), 11);
    EXPECT_THROW(s.ReadBuffer(&c, 1), EReadError);
}

TEST(MemoryStream, SizeLimitStopsWritesGrowthAndReservations) {
    TMemoryStream s;
    s.SetSizeLimit(10000);
    s.Reserve(1'000'000'000); // an announced length does not get past the limit
    EXPECT_LT(s.Capacity(), 20000);
    std::vector<std::uint8_t> chunk(4000, 7);
    s.WriteBuffer(chunk.data(), 4000);
    s.WriteBuffer(chunk.data(), 4000);
    EXPECT_THROW(s.WriteBuffer(chunk.data(), 4000), EWriteError);
    EXPECT_EQ(s.Write(chunk.data(), 2000), 2000); // up to the limit exactly
    EXPECT_EQ(s.Write(chunk.data(), 1), 0);
    EXPECT_EQ(s.Size(), 10000);
    EXPECT_THROW(s.SetSize(10001), EStreamError);
    s.SetSizeLimit(-5);
    EXPECT_EQ(s.SizeLimit(), 0);
    s.SetSizeLimit(std::int64_t{1} << 40);
    EXPECT_EQ(s.SizeLimit(), TMemoryStream::kMaxSize);
}

TEST(MemoryStream, SensitiveStreamBurnsItsMemory) {
    TMemoryStream s;
    s.SetSensitive(true);
    s.WriteBuffer("secret", 6);
    s.Burn();
    EXPECT_EQ(s.Size(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(s.Memory()[i], 0);
    }
}

TEST(FileStream, CreateEmptiesAnExistingFileAndReportsFailuresWithThePath) {
    const auto dir = std::filesystem::temp_directory_path() / "velora_rtl_filestream";
    std::filesystem::create_directories(dir);
    const auto path = dir / "f.bin";
    {
        auto f = TFileStream::Create(U16(path.string()));
        f->WriteBuffer("0123456789", 10);
    }
    {
        auto f = TFileStream::Create(U16(path.string()));
        EXPECT_EQ(f->Size(), 0);
        // A second writer while the first holds the file must not empty it.
        f->WriteBuffer("ab", 2);
        EXPECT_THROW(TFileStream::Create(U16(path.string())), EFCreateError);
        EXPECT_EQ(f->Size(), 2);
    }
    const UnicodeString missing = U16((dir / "no" / "such" / "f.bin").string());
    try {
        TFileStream::Create(missing);
        FAIL() << "no failure";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind(u"Cannot create file \"" + missing + u"\". ", 0), 0u);
    }
    std::filesystem::remove_all(dir);
}
