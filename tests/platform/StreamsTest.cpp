// Memory and file streams: growth, seeking, exact reads and writes, and
// how files are opened and shared.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"
#include "tests/SjisText.h"

namespace {

std::string Contents(TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()), size_t(m.Size()));
}

TEST(MemoryStream, GrowsAndKeepsEveryByte) {
    TMemoryStream m;
    std::string expected;
    // Many small writes cross several capacity steps.
    for (int i = 0; i < 20000; ++i) {
        const char c = char('a' + i % 26);
        ASSERT_EQ(m.Write(&c, 1), 1);
        expected.push_back(c);
    }
    EXPECT_EQ(m.Size(), 20000);
    EXPECT_EQ(m.Position(), 20000);
    EXPECT_EQ(Contents(m), expected);
}

TEST(MemoryStream, SeekFromEachOrigin) {
    TMemoryStream m;
    m.WriteBuffer("0123456789", 10);
    struct Case {
        const char* name;
        int64_t start, offset;
        TSeekOrigin origin;
        int64_t expected;
    };
    const std::vector<Case> cases = {
        {"beginning", 7, 3, TSeekOrigin::Beginning, 3},
        {"current forward", 4, 2, TSeekOrigin::Current, 6},
        {"current back", 4, -3, TSeekOrigin::Current, 1},
        {"end", 0, -2, TSeekOrigin::End, 8},
        {"past the end", 0, 5, TSeekOrigin::End, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m.SetPosition(c.start);
        EXPECT_EQ(m.Seek(c.offset, c.origin), c.expected);
        EXPECT_EQ(m.Position(), c.expected);
    }
    EXPECT_EQ(m.Size(), 10);
}

TEST(MemoryStream, ReadStopsAtTheEnd) {
    TMemoryStream m;
    m.WriteBuffer("abcdef", 6);
    m.SetPosition(4);
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(m.Read(buf, 8), 0);
    m.SetPosition(100);
    EXPECT_EQ(m.Read(buf, 8), 0);
    EXPECT_EQ(m.Seek(-101, TSeekOrigin::Current), -1);  // before the start: nothing moves
    EXPECT_EQ(m.Read(buf, 1), 0);
    EXPECT_EQ(m.Write("z", 1), 0);
    EXPECT_EQ(Contents(m), "abcdef");
}

TEST(MemoryStream, WritePastTheEndFillsTheGapWithZeros) {
    TMemoryStream m;
    m.WriteBuffer("ab", 2);
    m.SetPosition(5);
    m.WriteBuffer("z", 1);
    EXPECT_EQ(Contents(m), std::string("ab\0\0\0z", 6));
}

TEST(MemoryStream, AppendingItsOwnBytesSurvivesGrowth) {
    TMemoryStream m;
    std::string expected(8192, 'q');
    m.WriteBuffer(expected.data(), int64_t(expected.size()));
    m.WriteBuffer(m.Memory(), m.Size());  // grows past the block it reads from
    expected += expected;
    EXPECT_EQ(Contents(m), expected);
}

TEST(MemoryStream, OverwriteInTheMiddleKeepsTheSize) {
    TMemoryStream m;
    m.WriteBuffer("abcdef", 6);
    m.SetPosition(2);
    m.WriteBuffer("XY", 2);
    EXPECT_EQ(Contents(m), "abXYef");
    EXPECT_EQ(m.Position(), 4);
}

TEST(MemoryStream, SetSizeGrowsWithZerosAndClampsThePosition) {
    TMemoryStream m;
    m.WriteBuffer("abcdef", 6);
    m.SetSize(3);
    EXPECT_EQ(m.Position(), 3);
    EXPECT_EQ(Contents(m), "abc");
    m.SetSize(5);
    EXPECT_EQ(Contents(m), std::string("abc\0\0", 5));
    EXPECT_THROW(m.SetSize(-1), EWriteError);
    m.Clear();
    EXPECT_EQ(m.Size(), 0);
    EXPECT_EQ(m.Position(), 0);
}

TEST(MemoryStream, AbsurdSizesAreOutOfMemory) {
    TMemoryStream m;
    EXPECT_THROW(m.SetSize(int64_t(1) << 62), EOutOfMemory);
    m.SetPosition(INT64_MAX - 1);
    EXPECT_THROW(m.Write("ab", 2), EOutOfMemory);
    EXPECT_EQ(m.Size(), 0);
}

TEST(Stream, ExactTransfersRaiseOnShortCounts) {
    TMemoryStream m;
    m.WriteBuffer("abc", 3);
    m.SetPosition(0);
    char buf[4] = {};
    m.ReadBuffer(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    m.SetPosition(1);
    try {
        m.ReadBuffer(buf, 3);
        ADD_FAILURE() << "short read accepted";
    } catch (const EReadError& e) {
        EXPECT_SJIS_EQ(e.message(), Sjis(u8"ストリームからの読み込みエラー"));
    }
    m.ReadBuffer(buf, 0);  // nothing asked, nothing raised
    EXPECT_THROW(m.ReadBuffer(buf, -1), EReadError);

    m.SetPosition(-5);
    try {
        m.WriteBuffer("x", 1);
        ADD_FAILURE() << "short write accepted";
    } catch (const EWriteError& e) {
        EXPECT_SJIS_EQ(e.message(), Sjis(u8"ストリームへの書き込みエラー"));
    }
}

TEST(Stream, CopyFromWholeSourceOrCount) {
    TMemoryStream source;
    source.WriteBuffer("hello world", 11);
    source.SetPosition(6);
    TMemoryStream dest;
    EXPECT_EQ(dest.CopyFrom(source, 0), 11);  // 0: all of it, from the start
    EXPECT_EQ(Contents(dest), "hello world");
    source.SetPosition(6);
    TMemoryStream part;
    EXPECT_EQ(part.CopyFrom(source, 5), 5);
    EXPECT_EQ(Contents(part), "world");
    source.SetPosition(8);
    EXPECT_THROW(part.CopyFrom(source, 5), EReadError);
}

TEST(Stream, CopyFromLargeSourceCrossesBufferBoundaries) {
    TMemoryStream source;
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
    source.WriteBuffer(data.data(), int64_t(data.size()));
    TMemoryStream dest;
    EXPECT_EQ(dest.CopyFrom(source, 0), int64_t(data.size()));
    EXPECT_EQ(Contents(dest), data);
}

class FileStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tobelin-streams-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
    }
    std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

TEST_F(FileStreamTest, CreateWriteReadBack) {
    const std::string path = dir_ + "/out.bin";
    {
        TFileStream f(path, TFileStream::fmCreate);
        f.WriteBuffer("abcdef", 6);
        EXPECT_EQ(f.Size(), 6);
        f.SetPosition(2);
        char buf[3] = {};
        f.ReadBuffer(buf, 3);
        EXPECT_EQ(std::string(buf, 3), "cde");
        EXPECT_EQ(f.Position(), 5);
        EXPECT_EQ(f.FileName(), path);
    }
    EXPECT_EQ(Slurp(path), "abcdef");
    {
        TFileStream f(path, TFileStream::fmCreate);  // truncates
        EXPECT_EQ(f.Size(), 0);
    }
    EXPECT_EQ(Slurp(path), "");
}

TEST_F(FileStreamTest, ReadOnlyCannotWriteAndShortReadRaises) {
    const std::string path = dir_ + "/in.bin";
    std::ofstream(path, std::ios::binary) << "xyz";
    TFileStream f(path, TFileStream::fmOpenRead);
    EXPECT_THROW(f.WriteBuffer("a", 1), EWriteError);
    char buf[8];
    EXPECT_THROW(f.ReadBuffer(buf, 4), EReadError);
    EXPECT_EQ(Slurp(path), "xyz");
}

TEST_F(FileStreamTest, SetSizeTruncatesAndExtends) {
    const std::string path = dir_ + "/size.bin";
    TFileStream f(path, TFileStream::fmCreate);
    f.WriteBuffer("abcdef", 6);
    f.SetSize(2);
    EXPECT_EQ(f.Size(), 2);
    EXPECT_EQ(f.Position(), 2);
    f.SetSize(4);
    EXPECT_EQ(Slurp(path), std::string("ab\0\0", 4));
}

TEST_F(FileStreamTest, OpenFailuresRaiseFileOpenError) {
    EXPECT_THROW(TFileStream(dir_ + "/missing", TFileStream::fmOpenRead), FileOpenError);
    EXPECT_THROW(TFileStream(dir_ + "/missing", TFileStream::fmOpenReadWrite), FileOpenError);
    EXPECT_THROW(TFileStream(dir_ + "/no/such/folder", TFileStream::fmCreate), FileOpenError);
    EXPECT_THROW(TFileStream(dir_, TFileStream::fmOpenRead), FileOpenError);
}

// A named pipe with no writer would make a blocking open wait for ever.
TEST_F(FileStreamTest, NamedPipeIsRefusedWithoutWaiting) {
    const std::string path = dir_ + "/pipe";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_THROW(TFileStream(path, TFileStream::fmOpenRead), FileOpenError);
    EXPECT_THROW(TFileStream(path, TFileStream::fmOpenReadWrite), FileOpenError);
}

TEST_F(FileStreamTest, ReadersShareWritersExclude) {
    const std::string path = dir_ + "/shared.bin";
    std::ofstream(path, std::ios::binary) << "keep";
    {
        TFileStream r1(path, TFileStream::fmOpenRead);
        TFileStream r2(path, TFileStream::fmOpenRead);
        EXPECT_THROW(TFileStream(path, TFileStream::fmOpenReadWrite), FileOpenError);
        // A refused create must not have truncated the file being read.
        EXPECT_THROW(TFileStream(path, TFileStream::fmCreate), FileOpenError);
    }
    EXPECT_EQ(Slurp(path), "keep");
    TFileStream w(path, TFileStream::fmOpenReadWrite);
    EXPECT_THROW(TFileStream(path, TFileStream::fmOpenRead), FileOpenError);
}

TEST_F(FileStreamTest, MemoryStreamSavesAndLoadsFiles) {
    const std::string path = dir_ + "/mem.bin";
    TMemoryStream m;
    const std::string data("bin\0ary\xff", 8);
    m.WriteBuffer(data.data(), 8);
    m.SaveToFile(path);
    EXPECT_EQ(Slurp(path), data);
    TMemoryStream back;
    back.WriteBuffer("old contents longer", 19);
    back.SetPosition(0);
    back.LoadFromFile(path);
    EXPECT_EQ(Contents(back), data);
    EXPECT_THROW(back.LoadFromFile(dir_ + "/none"), FileOpenError);
    EXPECT_EQ(Contents(back), data);
}

}  // namespace
