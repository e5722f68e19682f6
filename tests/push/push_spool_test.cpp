// The spool on disk: records back in order after a restart, the cursor,
// damage skipped and counted, the bound, one process at a time.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "KwPushSpool.h"
#include "RemoteWriteDecoder.h"

namespace {

class PushSpool : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/qel-push-spool-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        m_folder = name;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + m_folder).c_str()), 0); }

    // A record at `time` of `count` series "s0".."sN" with values time + i.
    KwPushRecord Record(int64_t time, size_t count, KwPushSeriesTable& table) {
        KwPushRecord record;
        record.timestampMs = time;
        for (size_t i = 0; i < count; ++i) {
            record.ids.push_back(
                table.Intern(KwEncodeLabels({{"__name__", "s" + std::to_string(i)}})));
            record.values.push_back(
                KwDoubleBits(static_cast<double>(time + static_cast<int64_t>(i))));
        }
        return record;
    }
    void Append(KwPushSpool& spool, int64_t time, size_t count) {
        KwPushSeriesTable table;
        std::string error;
        ASSERT_TRUE(spool.Append(Record(time, count, table), table, error)) << error;
    }
    // The times of every record read back, and their first values.
    std::string ReadAll(KwPushSpool& spool) {
        KwPushSeriesTable table;
        std::string text;
        while (spool.LoadNext(table)) {
        }
        for (const KwPushRecord& record : spool.Loaded()) {
            text += std::to_string(record.timestampMs) + ":" + std::to_string(record.Remaining());
            if (record.Remaining() > 0) {
                const std::string& labels = table.Labels(record.ids[record.sent]);
                text += "@" + labels.substr(labels.find("__name__") + 10) + "=" +
                        std::to_string(static_cast<long long>(ValueOf(record.values[record.sent])));
            }
            text += " ";
        }
        return text;
    }
    std::string Segment(int n) const {
        char name[32];
        snprintf(name, sizeof name, "/%016x.seg", n);
        return m_folder + name;
    }
    off_t Size(const std::string& path) const {
        struct stat status;
        return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
    }

    std::string m_folder;
};

TEST_F(PushSpool, RecordsComeBackInOrderAfterARestart) {
    std::string error;
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error)) << error;
        Append(spool, 1000, 3);
        Append(spool, 2000, 2);
        Append(spool, 3000, 1);
        EXPECT_EQ(spool.PendingSamples(), 6u);
        EXPECT_EQ(spool.NewestTimestamp(), 3000);
    }
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error)) << error;
    EXPECT_EQ(spool.PendingSamples(), 6u);
    EXPECT_EQ(spool.NewestTimestamp(), 3000);
    EXPECT_EQ(spool.TakeDamaged(), 0u);
    EXPECT_EQ(ReadAll(spool), "1000:3@s0=1000 2000:2@s0=2000 3000:1@s0=3000 ");
    EXPECT_EQ(Size(Segment(1)), static_cast<off_t>(spool.Bytes()));
    EXPECT_EQ(Size(Segment(2)), 0);  // this run's own
}

TEST_F(PushSpool, WhatWasSentIsNotSentAgain) {
    std::string error;
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        Append(spool, 1000, 3);
        Append(spool, 2000, 2);
        KwPushSeriesTable table;
        ASSERT_TRUE(spool.LoadNext(table));
        spool.Consume(2);  // two of the first record's three
        EXPECT_EQ(spool.PendingSamples(), 3u);
    }
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        EXPECT_EQ(spool.PendingSamples(), 3u);
        EXPECT_EQ(ReadAll(spool), "1000:1@s2=1002 2000:2@s0=2000 ");
        spool.Consume(3);
        EXPECT_EQ(spool.PendingSamples(), 0u);
    }
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(spool.PendingSamples(), 0u);
    EXPECT_EQ(ReadAll(spool), "");
    EXPECT_EQ(Size(Segment(1)), -1);  // sent in full: removed
}

TEST_F(PushSpool, ACutOrDamagedStretchIsSkippedAndCounted) {
    std::string error;
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        Append(spool, 1000, 3);
        Append(spool, 2000, 3);
        Append(spool, 3000, 3);
        Append(spool, 4000, 3);
    }
    off_t size = Size(Segment(1));
    ASSERT_EQ(truncate(Segment(1).c_str(), size - 5), 0);  // a power cut mid-write
    {
        std::fstream file(Segment(1), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(30);  // inside the first record's payload
        file.put('\x55');
    }
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(spool.TakeDamaged(), 2u);
    EXPECT_EQ(spool.PendingSamples(), 6u);
    EXPECT_EQ(ReadAll(spool), "2000:3@s0=2000 3000:3@s0=3000 ");
}

TEST_F(PushSpool, DamageAfterTheScanAndAGarbledCursor) {
    std::string error;
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        Append(spool, 1000, 3);
        Append(spool, 2000, 3);
    }
    std::ofstream(m_folder + "/cursor") << "not a cursor";
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(spool.PendingSamples(), 6u);
    {
        std::fstream file(Segment(1), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(30);
        file.put('\x55');
    }
    EXPECT_EQ(ReadAll(spool), "0:0 2000:3@s0=2000 ");  // its samples lost, counted
    EXPECT_EQ(spool.TakeDamaged(), 1u);
    spool.Consume(3);
    EXPECT_EQ(spool.PendingSamples(), 0u);
}

TEST_F(PushSpool, ACursorAheadOfTheSegmentsAndNothingToAppend) {
    std::string error;
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        Append(spool, 1000, 3);
        KwPushSeriesTable table;
        KwPushRecord sent = Record(2000, 2, table);
        sent.sent = 2;  // nothing left of it: nothing written
        ASSERT_TRUE(spool.Append(sent, table, error));
        EXPECT_EQ(spool.PendingSamples(), 3u);
    }
    // A cursor past segment 1 (a stop between the cursor and the removal),
    // and one into a record with more samples done than it has.
    std::ofstream(m_folder + "/cursor") << "3 0 0\n";
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        EXPECT_EQ(spool.PendingSamples(), 0u);
        EXPECT_EQ(Size(Segment(1)), -1);
        Append(spool, 3000, 2);
    }
    std::ofstream(m_folder + "/cursor") << "4 0 99\n";
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        EXPECT_EQ(spool.PendingSamples(), 0u);
        EXPECT_EQ(ReadAll(spool), "");
        Append(spool, 4000, 2);
        Append(spool, 5000, 3);
    }
    // The cursor at the second record of segment 5.
    std::ofstream(m_folder + "/cursor") << "5 1 1\n";
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(spool.PendingSamples(), 2u);
    EXPECT_EQ(ReadAll(spool), "5000:2@s1=5001 ");
}

TEST_F(PushSpool, WhatTheFolderWillNotTake) {
    std::string error;
    // The lock a folder, the next segment's name taken, the cursor's new
    // file a folder: refused, or (the cursor) sent again after a restart.
    mkdir((m_folder + "/locked").c_str(), 0700);
    mkdir((m_folder + "/locked/lock").c_str(), 0700);
    KwPushSpool locked;
    EXPECT_FALSE(locked.Open(m_folder + "/locked", 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + m_folder + "/locked': Is a directory");
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 64 * 1024, error));
    mkdir(Segment(2).c_str(), 0700);
    mkdir((m_folder + "/cursor.new").c_str(), 0700);
    KwPushSeriesTable table;
    bool failed = false;
    for (int i = 1; i <= 30 && !failed; ++i) {
        failed = !spool.Append(Record(1000 * i, 300, table), table, error);
    }
    ASSERT_TRUE(failed);  // at the first new segment: 16 KiB each
    EXPECT_EQ(error, "spool segment '" + Segment(2) + "': File exists");
    size_t pending = spool.PendingSamples();
    EXPECT_GT(pending, 0u);
    ASSERT_TRUE(spool.LoadNext(table));
    spool.Consume(300);
    EXPECT_EQ(spool.PendingSamples(), pending - 300);
    struct stat status;
    EXPECT_NE(stat((m_folder + "/cursor").c_str(), &status), 0);  // not written
}

// Files of at most `bytes` for this process while it lives (a full disk,
// as far as write() tells).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_handler);
    }

private:
    rlimit m_saved;
    sighandler_t m_handler;
};

TEST_F(PushSpool, AFullDiskLeavesNoHalfRecordAndAMissingSegmentIsDamage) {
    std::string error;
    {
        KwPushSpool spool;
        ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
        Append(spool, 1000, 3);
        off_t before = Size(Segment(1));
        {
            FileSizeLimit limit(static_cast<rlim_t>(before) + 10);
            KwPushSeriesTable table;
            EXPECT_FALSE(spool.Append(Record(2000, 3, table), table, error));
            EXPECT_EQ(error, "spool segment '" + Segment(1) + "': File too large");
        }
        EXPECT_EQ(Size(Segment(1)), before);  // nothing of it stays
        EXPECT_EQ(spool.PendingSamples(), 3u);
        Append(spool, 3000, 2);  // room again
    }
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(spool.TakeDamaged(), 0u);
    ASSERT_EQ(unlink(Segment(1).c_str()), 0);  // gone after the scan
    EXPECT_EQ(ReadAll(spool), "0:0 0:0 ");
    EXPECT_EQ(spool.TakeDamaged(), 2u);
}

TEST_F(PushSpool, GarbageNamedLikeASegment) {
    std::ofstream(Segment(7)) << "QEL1QEL1 not a record at all QEL1";
    std::ofstream(m_folder + "/notes.txt") << "left alone";
    mkdir(Segment(8).c_str(), 0700);
    std::string error;
    KwPushSpool spool;
    ASSERT_TRUE(spool.Open(m_folder, 1 << 20, error)) << error;
    EXPECT_EQ(spool.TakeDamaged(), 2u);
    EXPECT_EQ(spool.PendingSamples(), 0u);
    EXPECT_EQ(ReadAll(spool), "");
    EXPECT_EQ(Size(m_folder + "/notes.txt"), 10);
}

TEST_F(PushSpool, TheOldestSegmentGoesForRoom) {
    std::string error;
    KwPushSpool spool;
    // 64 KiB: segments of 16 KiB; each record of 300 series is about 2 KiB.
    ASSERT_TRUE(spool.Open(m_folder, 64 * 1024, error));
    for (int i = 0; i < 60; ++i) {
        Append(spool, 1000 * (i + 1), 300);
        EXPECT_LE(spool.Bytes(), 64u * 1024);
    }
    size_t evicted = spool.TakeEvicted();
    EXPECT_GT(evicted, 0u);
    EXPECT_EQ(evicted % 300, 0u);
    EXPECT_EQ(spool.PendingSamples() + evicted, 60u * 300);
    std::string read = ReadAll(spool);
    EXPECT_NE(read.find("60000:300@s0=60000 "), std::string::npos);
    EXPECT_EQ(read.find("1000:300@s0=1000 "), std::string::npos);
    // A record that could never fit is counted, not written.
    KwPushSpool small;
    ASSERT_TRUE(small.Open(m_folder + "2", 64 * 1024, error));
    KwPushSeriesTable table;
    KwPushRecord huge;
    huge.timestampMs = 1;
    for (int i = 0; i < 20000; ++i) {
        huge.ids.push_back(
            table.Intern(KwEncodeLabels({{"__name__", "n" + std::to_string(i * 7919)}})));
        huge.values.push_back(KwDoubleBits(i * 0.37));
    }
    ASSERT_TRUE(small.Append(huge, table, error));
    EXPECT_EQ(small.TakeEvicted(), 20000u);
    EXPECT_EQ(small.PendingSamples(), 0u);
    EXPECT_EQ(system(("rm -rf " + m_folder + "2").c_str()), 0);
}

TEST_F(PushSpool, OneProcessAtATimeAndAFolderOnly) {
    std::string error;
    KwPushSpool first;
    ASSERT_TRUE(first.Open(m_folder, 1 << 20, error));
    KwPushSpool second;
    EXPECT_FALSE(second.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + m_folder + "' is in use by another process");
    std::string file = m_folder + "/file";
    std::ofstream(file) << "x";
    KwPushSpool third;
    EXPECT_FALSE(third.Open(file, 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + file + "' is not a folder");
    KwPushSpool fourth;
    EXPECT_FALSE(fourth.Open(m_folder + "/no/such", 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + m_folder + "/no/such': No such file or directory");
}

}  // namespace
