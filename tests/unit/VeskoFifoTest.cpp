#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>

#include <atomic>
#include <thread>
#include <vector>

#include "AutoMutex.h"
#include "VeskoFifo.h"

namespace {

std::vector<uint8_t> pattern(int length, int seed)
{
    std::vector<uint8_t> bytes(length);
    for (int i = 0; i < length; i++)
        bytes[i] = uint8_t(seed + i * 7);
    return bytes;
}

// Moves both indices to `at` with an empty FIFO, by putting and getting that many bytes.
void advance_to(VeskoFifo& fifo, int at)
{
    std::vector<uint8_t> scratch(at);
    if (at > 0) {
        ASSERT_EQ(fifo.put(scratch.data(), at), at);
        ASSERT_EQ(fifo.get(scratch.data(), at), at);
    }
    ASSERT_EQ(fifo.used(), 0);
    ASSERT_EQ(fifo.readIndex(), fifo.writeIndex());
}

} // namespace

TEST(VeskoFifo, putIsAllOrNothingAtTheCapacity)
{
    struct Case {
        int held;
        int put;
        int result;
        int used_after;
    } cases[] = {
        {8000, 193, 0, 8000},
        {8000, 192, 192, 8192},
        {0, 8192, 8192, 8192},
        {0, 8193, 0, 0},
        {8192, 1, 0, 8192},
        {100, 0, 0, 100},
        {100, -5, 0, 100},
        {100, INT_MAX, 0, 100},
    };
    std::vector<uint8_t> big(9000, 0x5A);
    for (const Case& c : cases) {
        VeskoFifo fifo(8192);
        if (c.held > 0) {
            ASSERT_EQ(fifo.put(big.data(), c.held), c.held);
        }
        // Lengths beyond the capacity are refused before any byte is read.
        EXPECT_EQ(fifo.put(big.data(), c.put), c.result) << c.held << " + " << c.put;
        EXPECT_EQ(fifo.used(), c.used_after) << c.held << " + " << c.put;
    }
    VeskoFifo fifo(16);
    EXPECT_EQ(fifo.put(nullptr, 4), 0);
    EXPECT_EQ(fifo.used(), 0);
}

TEST(VeskoFifo, getAndCopyAreAllOrNothing)
{
    VeskoFifo fifo(8192);
    std::vector<uint8_t> in = pattern(10, 1);
    ASSERT_EQ(fifo.put(in.data(), 10), 10);

    uint8_t out[16];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(fifo.get(out, 11), 0);
    EXPECT_EQ(fifo.copy(out, 11), 0);
    EXPECT_EQ(fifo.get(out, 0), 0);
    EXPECT_EQ(fifo.copy(out, 0), 0);
    EXPECT_EQ(fifo.get(out, -1), 0);
    EXPECT_EQ(fifo.get(nullptr, 4), 0);
    EXPECT_EQ(fifo.used(), 10);
    EXPECT_EQ(out[0], 0xEE) << "a refused get must not write";

    // A peek leaves the count; the following get yields the same bytes.
    uint8_t peek[4], got[4];
    ASSERT_EQ(fifo.copy(peek, 4), 4);
    EXPECT_EQ(fifo.used(), 10);
    ASSERT_EQ(fifo.copy(peek, 4), 4);
    ASSERT_EQ(fifo.get(got, 4), 4);
    EXPECT_EQ(fifo.used(), 6);
    EXPECT_EQ(memcmp(peek, got, 4), 0);
    EXPECT_EQ(memcmp(got, in.data(), 4), 0);
    ASSERT_EQ(fifo.get(out, 6), 6);
    EXPECT_EQ(memcmp(out, in.data() + 4, 6), 0);
    EXPECT_EQ(fifo.used(), 0);
}

TEST(VeskoFifo, wrapsAroundTheEndOfTheStorage)
{
    const int max = 64;
    struct Case {
        int start;   // both indices before the put
        int length;  // bytes put and then taken
        int write_after;
    } cases[] = {
        {60, 4, 0},     // ends exactly at the end: the write index goes back to 0
        {60, 10, 6},    // crosses the end
        {0, 64, 0},     // fills the whole ring from the start
        {1, 64, 1},     // fills the whole ring across the end
        {63, 1, 0},
        {63, 2, 1},
        {30, 10, 40},   // no wrap
    };
    for (const Case& c : cases) {
        VeskoFifo fifo(max);
        advance_to(fifo, c.start);
        std::vector<uint8_t> in = pattern(c.length, c.start);
        ASSERT_EQ(fifo.put(in.data(), c.length), c.length) << c.start << "+" << c.length;
        EXPECT_EQ(fifo.writeIndex(), c.write_after) << c.start << "+" << c.length;
        EXPECT_EQ(fifo.used(), c.length);

        std::vector<uint8_t> peek(c.length), out(c.length);
        ASSERT_EQ(fifo.copy(peek.data(), c.length), c.length);
        EXPECT_EQ(peek, in) << c.start << "+" << c.length;
        ASSERT_EQ(fifo.get(out.data(), c.length), c.length);
        EXPECT_EQ(out, in) << c.start << "+" << c.length;
        EXPECT_EQ(fifo.readIndex(), c.write_after);
        EXPECT_EQ(fifo.used(), 0);
    }
}

TEST(VeskoFifo, getsAcrossTheEndInPieces)
{
    // Frames of odd sizes through a small ring: every byte comes out once, in order.
    VeskoFifo fifo(50);
    uint8_t next_in = 0, next_out = 0;
    for (int round = 0; round < 500; round++) {
        int put_len = 1 + round % 23;
        std::vector<uint8_t> chunk(put_len);
        for (uint8_t& b : chunk)
            b = next_in++;
        if (fifo.put(chunk.data(), put_len) != put_len)
            next_in = uint8_t(next_in - put_len);
        int get_len = 1 + round % 17;
        std::vector<uint8_t> out(get_len);
        if (fifo.get(out.data(), get_len) == get_len) {
            for (uint8_t b : out)
                ASSERT_EQ(b, next_out++) << "round " << round;
        }
        ASSERT_EQ(fifo.writeIndex(), (fifo.readIndex() + fifo.used()) % 50);
    }
}

TEST(VeskoFifo, flushAndReallocEmpty)
{
    VeskoFifo fifo(16);
    std::vector<uint8_t> in = pattern(12, 3);
    ASSERT_EQ(fifo.put(in.data(), 12), 12);
    uint8_t out[8];
    ASSERT_EQ(fifo.get(out, 8), 8);
    fifo.flush();
    EXPECT_EQ(fifo.used(), 0);
    EXPECT_EQ(fifo.readIndex(), 0);
    EXPECT_EQ(fifo.writeIndex(), 0);
    EXPECT_EQ(fifo.get(out, 1), 0);

    // After a flush the oldest byte is at data().
    ASSERT_EQ(fifo.put(in.data(), 5), 5);
    EXPECT_EQ(memcmp(fifo.data(), in.data(), 5), 0);

    fifo.realloc(4);
    EXPECT_EQ(fifo.used(), 0);
    EXPECT_EQ(fifo.put(in.data(), 5), 0);
    EXPECT_EQ(fifo.put(in.data(), 4), 4);

    // No storage at all: everything is refused.
    fifo.realloc(0);
    EXPECT_EQ(fifo.put(in.data(), 1), 0);
    EXPECT_EQ(fifo.get(out, 1), 0);
    VeskoFifo negative(-8);
    EXPECT_EQ(negative.put(in.data(), 1), 0);
}

TEST(VeskoFifo, oneWriterOneReaderLoseNothing)
{
    VeskoFifo fifo(8192);
    const int total = 400000;
    std::atomic<bool> failed(false);
    std::thread writer([&] {
        int sent = 0;
        uint8_t chunk[97];
        while (sent < total) {
            int n = std::min<int>(int(sizeof(chunk)), total - sent);
            for (int i = 0; i < n; i++)
                chunk[i] = uint8_t((sent + i) % 251);
            if (fifo.put(chunk, n) == n)
                sent += n;
            else
                std::this_thread::yield();
        }
    });
    int received = 0;
    uint8_t frame[13];
    while (received < total && !failed) {
        int n = std::min<int>(int(sizeof(frame)), total - received);
        if (fifo.used() < n || fifo.get(frame, n) != n) {
            std::this_thread::yield();
            continue;
        }
        for (int i = 0; i < n; i++)
            if (frame[i] != uint8_t((received + i) % 251))
                failed = true;
        received += n;
    }
    writer.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(received, total);
    EXPECT_EQ(fifo.used(), 0);
}

TEST(AutoMutex, locksForTheScopeAndIgnoresNull)
{
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    {
        AutoMutex lock(&m);
        EXPECT_EQ(pthread_mutex_trylock(&m), EBUSY);
    }
    ASSERT_EQ(pthread_mutex_trylock(&m), 0);
    pthread_mutex_unlock(&m);

    {
        AutoMutex none(nullptr);
    }
    EXPECT_EQ(pthread_mutex_trylock(&m), 0);
    pthread_mutex_unlock(&m);

    // Counted without atomics: only the lock keeps the increments whole.
    long counter = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; t++)
        pool.emplace_back([&] {
            for (int i = 0; i < 50000; i++) {
                AutoMutex lock(&m);
                counter++;
            }
        });
    for (std::thread& th : pool)
        th.join();
    EXPECT_EQ(counter, 200000);
    pthread_mutex_destroy(&m);
}
