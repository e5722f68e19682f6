// The spool on disk: records back in order after a restart, the cursor,
// damage skipped and counted, the bound, one process at a time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "KwPushSpool.h"
#include "PushTestFolder.h"
#include "RemoteWriteDecoder.h"

namespace {

class PushSpool : public PushTestFolder {
protected:
    void TearDown() override {
        m_spool.reset();
        PushTestFolder::TearDown();
    }

    // Opens the folder's spool anew, as a restart of the process does.
    ::testing::AssertionResult Restart(size_t maxBytes = 1 << 20) {
        m_spool.reset();
        m_spool.reset(new KwPushSpool());
        std::string error;
        if (m_spool->Open(m_folder, maxBytes, error)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << error;
    }
    // A record at `time` of `count` series "s0".."sN" with values time + i.
    static KwPushRecord Record(int64_t time, size_t count, KwPushSeriesTable& table) {
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
    // Appends Record()s of these times, `count` series each.
    void Append(std::initializer_list<int64_t> times, size_t count) {
        for (int64_t time : times) {
            KwPushSeriesTable table;
            std::string error;
            ASSERT_TRUE(m_spool->Append(Record(time, count, table), table, error)) << error;
        }
    }
    // The times of every record read back, and their first values.
    std::string ReadAll() {
        KwPushSeriesTable table;
        std::string text;
        while (m_spool->LoadNext(table)) {
        }
        for (const KwPushRecord& record : m_spool->Loaded()) {
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
    static off_t Size(const std::string& path) {
        struct stat status;
        return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
    }
    // A byte inside the first record's payload of segment 1 changed.
    void Damage() {
        std::fstream file(Segment(1), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(30);
        file.put('\x55');
    }

    std::unique_ptr<KwPushSpool> m_spool;
};

TEST_F(PushSpool, RecordsComeBackInOrderAfterARestart) {
    ASSERT_TRUE(Restart());
    Append({1000}, 3);
    Append({2000}, 2);
    Append({3000}, 1);
    EXPECT_EQ(m_spool->PendingSamples(), 6u);
    EXPECT_EQ(m_spool->NewestTimestamp(), 3000);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 6u);
    EXPECT_EQ(m_spool->NewestTimestamp(), 3000);
    EXPECT_EQ(m_spool->TakeDamaged(), 0u);
    EXPECT_EQ(ReadAll(), "1000:3@s0=1000 2000:2@s0=2000 3000:1@s0=3000 ");
    EXPECT_EQ(Size(Segment(1)), static_cast<off_t>(m_spool->Bytes()));
    EXPECT_EQ(Size(Segment(2)), 0);  // this run's own
}

TEST_F(PushSpool, WhatWasSentIsNotSentAgain) {
    ASSERT_TRUE(Restart());
    Append({1000}, 3);
    Append({2000}, 2);
    KwPushSeriesTable table;
    ASSERT_TRUE(m_spool->LoadNext(table));
    m_spool->Consume(2);  // two of the first record's three
    EXPECT_EQ(m_spool->PendingSamples(), 3u);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 3u);
    EXPECT_EQ(ReadAll(), "1000:1@s2=1002 2000:2@s0=2000 ");
    m_spool->Consume(3);
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
    EXPECT_EQ(ReadAll(), "");
    EXPECT_EQ(Size(Segment(1)), -1);  // sent in full: removed
}

TEST_F(PushSpool, ACutOrDamagedStretchIsSkippedAndCounted) {
    ASSERT_TRUE(Restart());
    Append({1000, 2000, 3000, 4000}, 3);
    m_spool.reset();
    ASSERT_EQ(truncate(Segment(1).c_str(), Size(Segment(1)) - 5), 0);  // a power cut mid-write
    Damage();
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->TakeDamaged(), 2u);
    EXPECT_EQ(m_spool->PendingSamples(), 6u);
    EXPECT_EQ(ReadAll(), "2000:3@s0=2000 3000:3@s0=3000 ");
}

TEST_F(PushSpool, DamageAfterTheScanAndAGarbledCursor) {
    ASSERT_TRUE(Restart());
    Append({1000, 2000}, 3);
    m_spool.reset();
    Write("cursor", "not a cursor");
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 6u);
    Damage();
    EXPECT_EQ(ReadAll(), "0:0 2000:3@s0=2000 ");  // its samples lost, counted
    EXPECT_EQ(m_spool->TakeDamaged(), 1u);
    m_spool->Consume(3);
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
}

TEST_F(PushSpool, ACursorAheadOfTheSegmentsAndNothingToAppend) {
    ASSERT_TRUE(Restart());
    Append({1000}, 3);
    KwPushSeriesTable table;
    KwPushRecord sent = Record(2000, 2, table);
    sent.sent = 2;  // nothing left of it: nothing written
    std::string error;
    ASSERT_TRUE(m_spool->Append(sent, table, error));
    EXPECT_EQ(m_spool->PendingSamples(), 3u);
    // A cursor past segment 1 (a stop between the cursor and the removal),
    // and one into a record with more samples done than it has.
    m_spool.reset();
    Write("cursor", "3 0 0\n");
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
    EXPECT_EQ(Size(Segment(1)), -1);
    Append({3000}, 2);
    m_spool.reset();
    Write("cursor", "4 0 99\n");
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
    EXPECT_EQ(ReadAll(), "");
    Append({4000}, 2);
    Append({5000}, 3);
    // The cursor at the second record of segment 5.
    m_spool.reset();
    Write("cursor", "5 1 1\n");
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->PendingSamples(), 2u);
    EXPECT_EQ(ReadAll(), "5000:2@s1=5001 ");
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
    ASSERT_TRUE(Restart(64 * 1024));
    mkdir(Segment(2).c_str(), 0700);
    mkdir((m_folder + "/cursor.new").c_str(), 0700);
    KwPushSeriesTable table;
    bool failed = false;
    for (int i = 1; i <= 30 && !failed; ++i) {
        failed = !m_spool->Append(Record(1000 * i, 300, table), table, error);
    }
    ASSERT_TRUE(failed);  // at the first new segment: 16 KiB each
    EXPECT_EQ(error, "spool segment '" + Segment(2) + "': File exists");
    size_t pending = m_spool->PendingSamples();
    EXPECT_GT(pending, 0u);
    ASSERT_TRUE(m_spool->LoadNext(table));
    m_spool->Consume(300);
    EXPECT_EQ(m_spool->PendingSamples(), pending - 300);
    EXPECT_EQ(Size(m_folder + "/cursor"), -1);  // not written
}

TEST_F(PushSpool, AFullDiskLeavesNoHalfRecordAndAMissingSegmentIsDamage) {
    ASSERT_TRUE(Restart());
    Append({1000}, 3);
    off_t before = Size(Segment(1));
    {
        FileSizeLimit limit(static_cast<rlim_t>(before) + 10);
        KwPushSeriesTable table;
        std::string error;
        EXPECT_FALSE(m_spool->Append(Record(2000, 3, table), table, error));
        EXPECT_EQ(error, "spool segment '" + Segment(1) + "': File too large");
    }
    EXPECT_EQ(Size(Segment(1)), before);  // nothing of it stays
    EXPECT_EQ(m_spool->PendingSamples(), 3u);
    Append({3000}, 2);  // room again
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->TakeDamaged(), 0u);
    ASSERT_EQ(unlink(Segment(1).c_str()), 0);  // gone after the scan
    EXPECT_EQ(ReadAll(), "0:0 0:0 ");
    EXPECT_EQ(m_spool->TakeDamaged(), 2u);
}

TEST_F(PushSpool, RecordsWhoseCrcHoldsButNotTheirPayload) {
    const std::string value(8, '\x01'), one = std::string(1, '\x01') + "a";
    const std::string payloads[] = {
        "\xff\xff\xff\xff\xff\xff",                     // no snappy length
        "\x80\x80\x80\xc0\x01",                         // 384 MiB unpacked: above the bound
        "garbage!",                                     // no snappy stream
        SnappyLiteral(""),                              // no sample in it
        SnappyLiteral("\x80"),                          // a cut label length
        SnappyLiteral(std::string(10, '\x80')),         // a label length of eleven bytes
        SnappyLiteral(std::string(1, '\x05') + "abc"),  // labels past the end
        SnappyLiteral(one + value.substr(1)),           // a cut value
        SnappyLiteral(one + value + "x"),               // one byte more
    };
    std::ofstream segment(Segment(1));
    uint64_t time = 0;
    for (const std::string& payload : payloads) {
        segment << SpoolRecord(payload, 1, ++time);
    }
    segment.close();
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->TakeDamaged(), 0u);  // each passed the scan
    EXPECT_EQ(m_spool->PendingSamples(), 9u);
    EXPECT_EQ(m_spool->NewestTimestamp(), 9);
    Append({8000}, 2);
    EXPECT_EQ(ReadAll(), "0:0 0:0 0:0 0:0 0:0 0:0 0:0 0:0 0:0 8000:2@s0=8000 ");
    EXPECT_EQ(m_spool->TakeDamaged(), 9u);
}

TEST_F(PushSpool, SegmentsChangedAfterTheScanAndNamesNotOfASegment) {
    Write("000000000000000g.seg", "x");
    Write("0000000000000001.sex", "x");
    ASSERT_TRUE(Restart());
    Append({1000, 2000}, 3);
    ASSERT_TRUE(Restart());
    ASSERT_EQ(truncate(Segment(1).c_str(), 30), 0);
    EXPECT_EQ(ReadAll(), "0:0 0:0 ");
    EXPECT_EQ(m_spool->TakeDamaged(), 2u);
    EXPECT_EQ(Size(m_folder + "/000000000000000g.seg"), 1);
    EXPECT_EQ(Size(m_folder + "/0000000000000001.sex"), 1);
    // Its magic overwritten after the scan: the CRC does not cover it.
    Append({3000}, 3);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->TakeDamaged(), 1u);  // the cut segment 1
    std::fstream(Segment(2), std::ios::in | std::ios::out | std::ios::binary).put('q');
    EXPECT_EQ(ReadAll(), "0:0 ");
    EXPECT_EQ(m_spool->TakeDamaged(), 1u);
}

TEST_F(PushSpool, ACursorThatCannotBeWrittenSendsAgainAfterARestart) {
    ASSERT_TRUE(Restart());
    Append({1000, 2000}, 3);
    KwPushSeriesTable table;
    ASSERT_TRUE(m_spool->LoadNext(table));
    {
        FileSizeLimit limit(1);
        m_spool->Consume(3);
    }
    EXPECT_EQ(m_spool->PendingSamples(), 3u);
    EXPECT_EQ(Size(m_folder + "/cursor"), -1);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(ReadAll(), "1000:3@s0=1000 2000:3@s0=2000 ");
}

TEST_F(PushSpool, LinksAndLongGarbage) {
    ASSERT_EQ(symlink(Segment(1).c_str(), Segment(2).c_str()), 0);  // not followed
    std::ofstream(Segment(1)) << std::string(70000, 'x')
                              << SpoolRecord(SnappyLiteral(std::string(9, '\0')), 1, 5);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->TakeDamaged(), 2u);  // the link, and the stretch before the record
    EXPECT_EQ(m_spool->PendingSamples(), 1u);
    EXPECT_EQ(m_spool->NewestTimestamp(), 5);
    std::string error;
    KwPushSpool dangling;
    std::string link = m_folder + "/dangling";
    ASSERT_EQ(symlink((m_folder + "/none").c_str(), link.c_str()), 0);
    EXPECT_FALSE(dangling.Open(link, 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + link + "' is not a folder");
}

// A segment sent in full while it was written to, then the next one: the
// next one's records are read where they are, and the first one goes.
TEST_F(PushSpool, TheFirstRecordOfTheNextSegment) {
    ASSERT_TRUE(Restart(64 * 1024));
    KwPushSeriesTable table;
    int64_t time = 0;
    while (Size(Segment(2)) < 0) {
        ASSERT_LT(time, 100000);
        time += 1000;
        Append({time}, 300);
        while (m_spool->LoadNext(table)) {
        }
        m_spool->Consume(m_spool->PendingSamples());
    }
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
    EXPECT_EQ(Size(Segment(1)), -1);
    Append({time + 1000}, 300);
    std::string next = std::to_string(time + 1000);
    EXPECT_EQ(ReadAll(), next + ":300@s0=" + next + " ");
    ASSERT_TRUE(Restart(64 * 1024));
    EXPECT_EQ(m_spool->PendingSamples(), 300u);
    EXPECT_EQ(ReadAll(), next + ":300@s0=" + next + " ");
}

// Below a segment's size the only segment goes for room: a new one first.
TEST_F(PushSpool, ABoundBelowASegment) {
    ASSERT_TRUE(Restart(10000));
    mkdir(Segment(2).c_str(), 0700);
    KwPushSeriesTable table;
    std::string error;
    size_t appended = 0;
    while (m_spool->Append(Record(1000, 300, table), table, error)) {
        ++appended;
        ASSERT_LT(appended, 10u);
    }
    EXPECT_EQ(error, "spool segment '" + Segment(2) + "': File exists");
    EXPECT_GT(appended, 1u);
    EXPECT_EQ(m_spool->PendingSamples(), 300 * appended);
    EXPECT_EQ(m_spool->TakeEvicted(), 0u);
    Append({2000}, 300);  // into segment 3
    EXPECT_EQ(m_spool->TakeEvicted(), 300 * appended);
    EXPECT_EQ(m_spool->PendingSamples(), 300u);
    EXPECT_EQ(Size(Segment(1)), -1);
    EXPECT_EQ(Size(Segment(3)), static_cast<off_t>(m_spool->Bytes()));
    EXPECT_EQ(ReadAll(), "2000:300@s0=2000 ");
}

TEST_F(PushSpool, GarbageNamedLikeASegment) {
    std::ofstream(Segment(7)) << "QEL1QEL1 not a record at all QEL1";
    Write("notes.txt", "left alone");
    mkdir(Segment(8).c_str(), 0700);
    ASSERT_TRUE(Restart());
    EXPECT_EQ(m_spool->TakeDamaged(), 2u);
    EXPECT_EQ(m_spool->PendingSamples(), 0u);
    EXPECT_EQ(ReadAll(), "");
    EXPECT_EQ(Size(m_folder + "/notes.txt"), 10);
}

TEST_F(PushSpool, TheOldestSegmentGoesForRoom) {
    // 64 KiB: segments of 16 KiB; each record of 300 series is about 2 KiB.
    ASSERT_TRUE(Restart(64 * 1024));
    for (int i = 0; i < 60; ++i) {
        Append({1000 * (i + 1)}, 300);
        EXPECT_LE(m_spool->Bytes(), 64u * 1024);
    }
    size_t evicted = m_spool->TakeEvicted();
    EXPECT_GT(evicted, 0u);
    EXPECT_EQ(evicted % 300, 0u);
    EXPECT_EQ(m_spool->PendingSamples() + evicted, 60u * 300);
    std::string read = ReadAll();
    EXPECT_NE(read.find("60000:300@s0=60000 "), std::string::npos);
    EXPECT_EQ(read.find("1000:300@s0=1000 "), std::string::npos);
    // A record that could never fit is counted, not written.
    std::string error;
    KwPushSpool small;
    ASSERT_TRUE(small.Open(m_folder + "/small", 64 * 1024, error));
    KwPushSeriesTable table;
    ASSERT_TRUE(small.Append(Record(1, 20000, table), table, error));  // about twice the bound
    EXPECT_EQ(small.TakeEvicted(), 20000u);
    EXPECT_EQ(small.PendingSamples(), 0u);
}

TEST_F(PushSpool, OneProcessAtATimeAndAFolderOnly) {
    ASSERT_TRUE(Restart());
    std::string error;
    KwPushSpool second;
    EXPECT_FALSE(second.Open(m_folder, 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + m_folder + "' is in use by another process");
    std::string file = Write("file", "x");
    KwPushSpool third;
    EXPECT_FALSE(third.Open(file, 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + file + "' is not a folder");
    KwPushSpool fourth;
    EXPECT_FALSE(fourth.Open(m_folder + "/no/such", 1 << 20, error));
    EXPECT_EQ(error, "spool directory '" + m_folder + "/no/such': No such file or directory");
}

}  // namespace
