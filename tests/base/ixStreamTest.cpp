#include "base/ixStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "ixTestSupport.h"

using namespace ix;

TEST(MemoryStream, PositionsAndSizesAtBoundaries) {
    TixMemoryStream s("hello");
    char buf[8] = {};
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.Read(buf, 8), 5u);
    EXPECT_EQ(s.Position(), 5);
    EXPECT_EQ(s.Read(buf, 1), 0u);  // at the end
    EXPECT_EQ(s.Seek(-1, TixSeekOrigin::soEnd), 4);
    EXPECT_EQ(s.Read(buf, 8), 1u);
    EXPECT_EQ(buf[0], 'o');
    EXPECT_THROW(s.Seek(-6, TixSeekOrigin::soEnd), EixStreamError);
    // Seeking past the end and writing fills the gap with zeros.
    s.Seek(8, TixSeekOrigin::soBeginning);
    EXPECT_EQ(s.Read(buf, 1), 0u);
    s.Write("!", 1);
    EXPECT_EQ(s.Size(), 9);
    EXPECT_EQ(s.View(), std::string_view("hello\0\0\0!", 9));
    // Truncating clamps the position; growing fills with zeros.
    s.SetSize(3);
    EXPECT_EQ(s.Position(), 3);
    EXPECT_EQ(s.View(), "hel");
    s.SetSize(5);
    EXPECT_EQ(s.View(), std::string_view("hel\0\0", 5));
    EXPECT_EQ(s.Remaining(), 2);
    char c;
    EXPECT_THROW(TixMemoryStream().ReadBuffer(&c, 1), EixStreamError);
}

TEST(FileStream, WritesReadsAndReportsErrno) {
    const std::string name = ::testing::TempDir() + "ix-stream-" + std::to_string(getpid());
    {
        TixFileStream f(name, TixFileMode::fmCreate);
        f.WriteBuffer("0123456789", 10);
        EXPECT_EQ(f.Size(), 10);
        f.SetPosition(4);
        char buf[3];
        f.ReadBuffer(buf, 3);
        EXPECT_EQ(std::string(buf, 3), "456");
        f.SetSize(2);
        EXPECT_EQ(f.Position(), 2);
        TixMemoryStream copy;
        f.SetPosition(0);
        EXPECT_EQ(copy.CopyFrom(f), 2);
        EXPECT_EQ(copy.View(), "01");
    }
    unlink(name.c_str());
    std::string message;
    EXPECT_EQ(test::CodeOf([&] { TixFileStream missing(name, TixFileMode::fmOpenRead); }, &message), ENOENT);
    EXPECT_NE(message.find("No such file or directory"), std::string::npos);
}
