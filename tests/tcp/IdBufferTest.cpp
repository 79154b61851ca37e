#include "IdBuffer.h"
#include "IdException.h"
#include "IdTCPConnection.h"

#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

std::string Visible(TIdSimpleBuffer& ABuffer) {
    return std::string(ABuffer.DataStart(), static_cast<size_t>(ABuffer.Size()));
}

TEST(Buffer, TakingOrDiscardingTooMuchRaisesAndKeepsEverything) {
    std::vector<std::unique_ptr<TIdSimpleBuffer>> buffers;
    buffers.push_back(std::make_unique<TIdSimpleBuffer>());
    buffers.push_back(std::make_unique<TIdManagedBuffer>());
    for (auto& buffer : buffers) {
        int64_t removed = 0;
        buffer->RemovalHook = [&](TIdSimpleBuffer*, int64_t n) { removed += n; };
        buffer->WriteBuffer("abcdef", 6);
        EXPECT_EQ(buffer->TakeString(2), "ab");
        EXPECT_THROW(buffer->Discard(5), EIdNotEnoughDataInBuffer);
        EXPECT_THROW(buffer->TakeString(5), EIdNotEnoughDataInBuffer);
        EXPECT_EQ(Visible(*buffer), "cdef");
        buffer->Discard(4);
        EXPECT_EQ(buffer->Size(), 0);
        EXPECT_EQ(removed, 6);
        buffer->WriteBuffer("xy", 2);
        buffer->Empty();
        EXPECT_EQ(removed, 6);
    }
}

TEST(ManagedBuffer, CompactionChangesNothingVisible) {
    TIdManagedBuffer buffer;
    std::string expected;
    for (int i = 0; i < 50000; ++i) {
        expected.push_back(static_cast<char>('a' + i % 26));
    }
    buffer.WriteBuffer(expected.data(), static_cast<int64_t>(expected.size()));
    size_t consumed = 0;
    bool compacted = false;
    while (consumed < 40000) {
        const int64_t before = buffer.ConsumedCount();
        EXPECT_EQ(buffer.TakeString(7), expected.substr(consumed, 7));
        consumed += 7;
        compacted = compacted || buffer.ConsumedCount() < before;
        ASSERT_LT(buffer.ConsumedCount(), 32768);
        EXPECT_EQ(buffer.Size(), static_cast<int64_t>(expected.size() - consumed));
    }
    EXPECT_TRUE(compacted);
    EXPECT_EQ(Visible(buffer), expected.substr(consumed));
}

TEST(ManagedBuffer, PositionsExcludeConsumedBytes) {
    TIdManagedBuffer buffer;
    buffer.WriteBuffer("0123456789", 10);
    buffer.Discard(4);
    EXPECT_EQ(buffer.Seek(0, TIdSeekOrigin::soBeginning), 0);
    char out[3] = {};
    buffer.ReadBuffer(out, 3);
    EXPECT_EQ(std::string(out, 3), "456");
    EXPECT_EQ(buffer.Position(), 3);
    EXPECT_EQ(buffer.Seek(0, TIdSeekOrigin::soEnd), 6);
    buffer.WriteBuffer("ab", 2);
    EXPECT_EQ(Visible(buffer), "456789ab");
    buffer.SetSize(2);
    EXPECT_EQ(Visible(buffer), "45");
}

TEST(Streams, ReserveKeepsPositionAndSizesClampPosition) {
    TIdMemoryStream memory;
    memory.WriteBuffer("abc", 3);
    memory.SetPosition(1);
    TIdTCPConnection::ReserveStreamSize(memory, 10);
    EXPECT_EQ(memory.Size(), 10);
    EXPECT_EQ(memory.Position(), 1);
    memory.SetPosition(8);
    memory.SetSize(5);
    EXPECT_EQ(memory.Position(), 5);
    memory.SetPosition(7);
    memory.WriteBuffer("z", 1);
    EXPECT_EQ(memory.DataString(), std::string("abc\0\0\0\0z", 8));
}

TEST(Streams, FileStreamRoundTripAndCopy) {
    char name[] = "/tmp/quorvan-stream-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        TIdFileStream file(name, TIdFileMode::fmCreate);
        TIdMemoryStream source;
        source.WriteBuffer("hello world", 11);
        EXPECT_EQ(file.CopyFrom(source, 0), 11);
        EXPECT_EQ(file.Size(), 11);
        file.SetSize(5);
        EXPECT_EQ(file.Position(), 5);
    }
    TIdFileStream file(name, TIdFileMode::fmOpenRead);
    TIdMemoryStream target;
    target.CopyFrom(file, 0);
    EXPECT_EQ(target.DataString(), "hello");
    unlink(name);
    EXPECT_THROW(TIdFileStream(name, TIdFileMode::fmOpenRead), EIdException);
}

} // namespace
