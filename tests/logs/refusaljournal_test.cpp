#include "logs/refusaljournal.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "tests/support/fakes.h"
#include "tests/support/tempdir.h"

namespace veldon {
namespace {

namespace fs = std::filesystem;

Refusal sale(const std::string& key, const std::string& reply = "0:거래처 없음") {
    TextTable tps(2, 2);
    tps(1, 0) = "김치찌개";
    return {"sale", "refused", "PutPSM13_SIN", key, reply, {{"TPE", TextArray(3)}, {"TPS", tps}}};
}

class RefusalJournalTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::FakeClock clock;  // 2024-03-05 14:07:09
    RefusalJournal journal{dir.path(), clock};
    std::size_t unreadable = 99;
};

TEST_F(RefusalJournalTest, RecordsReadBackAsWrittenPastATornLastLine) {
    journal.append(sale("2403050001"));
    test::writeFile(journal.file(), test::readFile(journal.file()) + R"({"time":"2024-03-05 1)");
    const std::vector<JournalEntry> entries = journal.read(&unreadable);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(unreadable, 1u);
    EXPECT_EQ(entries[0].time, "2024-03-05 14:07:09");
    EXPECT_EQ(entries[0].refusal, sale("2403050001"));
    EXPECT_EQ(journal.file(), dir / "refusals.jsonl");
    journal.append(sale("2"));  // on a line of its own, not glued to the torn one
    EXPECT_EQ(journal.read(&unreadable).back().refusal.key, "2");
    EXPECT_EQ(unreadable, 1u);
}

TEST_F(RefusalJournalTest, StaysWithinItsBoundKeepingTheNewestRecords) {
    const std::uintmax_t bound = 4096;
    RefusalJournal small(dir.path(), clock, bound);
    for (int i = 0; i < 120; ++i) {
        small.append(sale(std::to_string(i)));
        EXPECT_LE(fs::file_size(small.file()), bound) << i;
        const std::vector<JournalEntry> entries = small.read(&unreadable);
        EXPECT_EQ(unreadable, 0u);
        for (std::size_t k = 0; k < entries.size(); ++k) {  // the newest, without a gap
            EXPECT_EQ(entries[k].refusal.key, std::to_string(i + 1 - entries.size() + k));
        }
    }

    // A record larger than the bound is still kept; the next append brings the file back.
    Refusal huge = sale("huge");
    huge.arrays.emplace_back("TAC", TextArray(3000));
    small.append(huge);
    EXPECT_EQ(small.read().back().refusal, huge);
    small.append(sale("after"));
    EXPECT_LE(fs::file_size(small.file()), bound);
}

TEST_F(RefusalJournalTest, ALongReplyIsCutOnACharacterBoundaryWithItsLength) {
    const std::string reply = std::string(1999, 'a') + "가나";  // the bound falls inside 가
    journal.append(sale("1", reply));
    const std::string kept = journal.read().at(0).refusal.reply;
    EXPECT_EQ(kept.substr(0, 2000), std::string(1999, 'a') + " ") << kept;
    EXPECT_NE(kept.find("2005"), std::string::npos) << kept;
}

TEST_F(RefusalJournalTest, AJournalThatCannotBeWrittenRaises) {
    test::writeFile(dir / "a file", "");
    fs::create_directories(dir / "taken" / "refusals.jsonl");
    for (const fs::path& folder : {dir / "missing", dir / "a file", dir / "taken"}) {
        RefusalJournal unwritable(folder, clock);
        EXPECT_THROW(unwritable.append(sale("1")), Error) << folder;
    }
}

}  // namespace
}  // namespace veldon
