#include "app/data_list_model.hpp"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <atomic>
#include <thread>

#include "core/charset.hpp"
#include "window_test_support.hpp"

namespace zolt {
namespace {

using testing::process_until;

TEST(DataListModel, FollowsAppendsWritesAndClearsUnderTheModelTester) {
    DataList list;
    list.append_row();  // a row that exists before the model is taken over as it is
    DataListModel model(list);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(model.rowCount(), 1);

    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

    // Nothing shows before the window's thread drains.
    for (int i = 0; i < 3; ++i) list.write_cell(list.append_row(), kColumnSource, "http://x/");
    EXPECT_EQ(model.rowCount(), 1);
    ASSERT_TRUE(process_until([&] { return model.rowCount() == 4; }));
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 1);
    EXPECT_EQ(inserted[0][2].toInt(), 3);
    EXPECT_EQ(model.index(2, kColumnSource).data().toString(), QStringLiteral("http://x/"));

    changed.clear();
    list.write_cell(1, kColumnStatus, "a");
    list.write_cell(2, kColumnResult, "b");
    ASSERT_TRUE(process_until([&] { return changed.count() > 0; }));
    ASSERT_EQ(changed.count(), 1);  // one run covers both rows
    EXPECT_EQ(changed[0][0].value<QModelIndex>(), model.index(1, 0));
    EXPECT_EQ(changed[0][1].value<QModelIndex>(), model.index(2, kColumnCount - 1));

    // A clear followed by new rows before the drain is one reset to the new rows.
    list.clear_rows();
    list.write_cell(list.append_row(), kColumnId, "1");
    ASSERT_TRUE(process_until([&] { return reset.count() == 1; }));
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.index(0, kColumnId).data().toString(), QStringLiteral("1"));
    EXPECT_FALSE(model.index(0, kColumnId).flags().testFlag(Qt::ItemIsEditable));
}

TEST(DataListModel, ShowsGbkAsUnicodeAndMarksBytesThatAreNotGbk) {
    struct Case {
        std::string stored;
        QString shown;
    };
    const Case cases[] = {
        {"", QString()},
        {"http://a.example/?q=1", QStringLiteral("http://a.example/?q=1")},
        {gbk_from_utf8("由线程：12正在处理"), QString::fromUtf8("由线程：12正在处理")},
        {"\xD6\xD0\xCE\xC4", QString::fromUtf8("中文")},
        // A lead byte with nothing after it, and a lead byte before a byte no GBK
        // character has as its second.
        {"ab\x81", QString::fromUtf8("ab\uFFFD")},
        {"\x81 x", QString::fromUtf8("\uFFFD x")},
    };
    DataList list;
    DataListModel model(list);
    for (const Case& c : cases) list.write_cell(list.append_row(), kColumnResult, c.stored);
    model.drain();
    for (int row = 0; row < static_cast<int>(std::size(cases)); ++row) {
        SCOPED_TRACE(row);
        const QString shown = model.index(row, kColumnResult).data().toString();
        EXPECT_EQ(shown, cases[row].shown) << shown.toStdString();
        // Showing a cell never changes what it holds.
        EXPECT_EQ(list.read_cell(row, kColumnResult), cases[row].stored);
    }
}

TEST(DataListModel, AHugeCellShowsItsHeadWithoutSplittingACharacter) {
    DataList list;
    DataListModel model(list);
    // One ASCII byte first, so the limit falls in the middle of a two-byte character.
    const std::string huge = "x" + std::string(2 * 1024 * 1024, '\0');
    std::string cell = huge;
    for (std::size_t i = 1; i + 1 < cell.size(); i += 2) {
        cell[i] = '\xD6';
        cell[i + 1] = '\xD0';
    }
    cell.pop_back();
    list.write_cell(list.append_row(), kColumnResult, cell);
    model.drain();
    const QString shown = model.index(0, kColumnResult).data().toString();
    EXPECT_EQ(shown,
              QStringLiteral("x") + QString(DataListModel::kShownBytes / 2 - 1, QChar(u'中')));
    EXPECT_EQ(list.read_cell(0, kColumnResult), cell);
}

TEST(DataListModel, ManyChangesFromAnotherThreadCostFewDrains) {
    DataList list;
    DataListModel model(list);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    constexpr int kRows = 20000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kRows; ++i) {
            const int row = list.append_row();
            list.write_cell(row, kColumnId, std::to_string(row + 1));
        }
        done = true;
    });
    const bool all = process_until([&] { return done && model.rowCount() == kRows; });
    writer.join();
    ASSERT_TRUE(all);
    // Each drain is at least kDrainGapMs after the one before: far fewer than one per row.
    EXPECT_LT(inserted.count(), kRows / 100);
    EXPECT_EQ(model.index(kRows - 1, kColumnId).data().toString(), QString::number(kRows));
}

}  // namespace
}  // namespace zolt
