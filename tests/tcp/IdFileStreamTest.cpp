// The file stream gathers small writes; every result must still be what an
// unbuffered file gives, which the memory stream models exactly.
#include "ConnectionTestKit.h"
#include "IdException.h"
#include "IdStream.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

enum class TOp { opWrite, opSeek, opSetSize, opRead, opFlush };

struct TStep {
    TOp Op;
    int64_t Value = 0;
    TIdSeekOrigin Origin = TIdSeekOrigin::soBeginning;
};

TStep W(int64_t ACount) {
    return {TOp::opWrite, ACount};
}
TStep S(int64_t AOffset, TIdSeekOrigin AOrigin = TIdSeekOrigin::soBeginning) {
    return {TOp::opSeek, AOffset, AOrigin};
}
TStep T(int64_t ASize) {
    return {TOp::opSetSize, ASize};
}
TStep R(int64_t ACount) {
    return {TOp::opRead, ACount};
}
TStep F() {
    return {TOp::opFlush};
}

std::string FileBytes(const std::string& AName) {
    std::ifstream in(AName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

constexpr int64_t G = TIdFileStream::GatherSize;
constexpr auto Cur = TIdSeekOrigin::soCurrent;
constexpr auto End = TIdSeekOrigin::soEnd;

} // namespace

TEST(FileStreamGathering, MatchesAnUnbufferedModel) {
    const struct {
        const char* Name;
        std::vector<TStep> Steps;
    } cases[] = {
        {"small writes", {W(1), W(1023), W(1024), W(10)}},
        {"writes filling the gather area exactly", {W(G / 2), W(G / 2), W(1)}},
        {"writes across the gather area", {W(G - 1), W(2), W(G - 3), W(5)}},
        {"one write larger than the area", {W(10), W(G + 17), W(3)}},
        {"overwrite in the middle", {W(3000), S(100), W(50), S(0, End), W(7)}},
        {"seek back from the current position", {W(500), S(-200, Cur), W(100), W(300)}},
        {"write past the end leaves zeros", {W(10), S(5000), W(20), S(2, Cur), W(1)}},
        {"shrink under gathered bytes", {W(4000), T(1000), W(10)}},
        {"grow under gathered bytes", {W(100), T(9000), W(10), S(0, End), W(5)}},
        {"read after writing", {W(2000), S(500), R(100), W(30), S(0), R(3000)}},
        {"explicit flushes", {W(10), F(), W(20), F(), F(), W(G), F()}},
        {"download-like chunks", {W(1024), W(1024), W(1024), W(512), T(3000)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        qtest::TempDir dir{"quorvan-gather"};
        const std::string name = (dir.path() / "file.bin").string();
        TIdMemoryStream model;
        {
            TIdFileStream file(name, TIdFileMode::fmCreate);
            int seed = 0;
            for (const TStep& step : c.Steps) {
                switch (step.Op) {
                case TOp::opWrite: {
                    const std::string bytes =
                        qtest::RandomBytes(static_cast<size_t>(step.Value), ++seed);
                    EXPECT_EQ(file.Write(bytes.data(), step.Value), step.Value);
                    model.WriteBuffer(bytes.data(), step.Value);
                    break;
                }
                case TOp::opSeek:
                    EXPECT_EQ(file.Seek(step.Value, step.Origin),
                              model.Seek(step.Value, step.Origin));
                    break;
                case TOp::opSetSize:
                    file.SetSize(step.Value);
                    model.SetSize(step.Value);
                    break;
                case TOp::opRead: {
                    std::string got(static_cast<size_t>(step.Value), '\0');
                    std::string want(static_cast<size_t>(step.Value), '\0');
                    const int64_t n = file.Read(got.data(), step.Value);
                    EXPECT_EQ(n, model.Read(want.data(), step.Value));
                    EXPECT_EQ(got, want);
                    break;
                }
                case TOp::opFlush:
                    file.Flush();
                    EXPECT_EQ(FileBytes(name), model.DataString());
                    break;
                }
                // Size must count the gathered bytes without writing them out.
                EXPECT_EQ(file.Size(), model.Size());
            }
            EXPECT_EQ(file.Position(), model.Position());
        }
        EXPECT_EQ(FileBytes(name), model.DataString());
    }
}

TEST(FileStreamGathering, GatheredBytesReachTheFileOnFlushAndNotBefore) {
    qtest::TempDir dir{"quorvan-gather"};
    const std::string name = (dir.path() / "file.bin").string();
    TIdFileStream file(name, TIdFileMode::fmCreate);
    file.WriteBuffer("abc", 3);
    // Documents the gathering itself: without it this test would prove nothing
    // about Flush.
    EXPECT_EQ(FileBytes(name), "");
    file.Flush();
    EXPECT_EQ(FileBytes(name), "abc");
}

TEST(FileStreamGathering, AWriteFailureIsRaised) {
    // /dev/full takes no bytes: every write fails with "no space".
    const struct {
        const char* Name;
        int64_t Count;
        bool ViaFlush;
    } cases[] = {
        {"small write, on flush", 100, true},
        {"small write, on seek", 100, false},
        {"large write, at once", G * 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TIdFileStream file("/dev/full", TIdFileMode::fmOpenReadWrite);
        const std::string bytes(static_cast<size_t>(c.Count), 'x');
        if (c.Count >= G) {
            EXPECT_THROW(file.WriteBuffer(bytes.data(), c.Count), EIdException);
            continue;
        }
        file.WriteBuffer(bytes.data(), c.Count);
        try {
            if (c.ViaFlush) {
                file.Flush();
            } else {
                file.Seek(0, TIdSeekOrigin::soBeginning);
            }
            ADD_FAILURE() << "no exception";
        } catch (const EIdException& e) {
            EXPECT_NE(std::string(e.what()).find("Cannot write file \"/dev/full\""),
                      std::string::npos)
                << e.what();
        }
        // The failed bytes are dropped, not tried again on the way out.
        EXPECT_NO_THROW(file.Flush());
    }
}

TEST(FileStreamGathering, AReceptionIntoAFullFileFails) {
    const struct {
        const char* Name;
        int64_t Count;
    } cases[] = {
        // Small enough to be held back until the end of the reception.
        {"fails only on the last flush", 3000},
        {"fails during the reception", 3 * G},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TConnectionKit kit;
        kit.Conn.RecvBufferSize = 1024;
        kit.Handler.Chunk(std::string(static_cast<size_t>(c.Count), 'd')).Close();
        TIdFileStream file("/dev/full", TIdFileMode::fmOpenReadWrite);
        EXPECT_THROW(kit.Conn.ReceiveStream(file, -1, true), EIdException);
        // The work still ends after the failure.
        ASSERT_FALSE(kit.Events.empty());
        EXPECT_EQ(kit.Events.back(), "r end");
    }
}
