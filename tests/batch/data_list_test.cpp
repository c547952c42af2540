#include "batch/data_list.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zolt {
namespace {

// A cell text that says which row and column it belongs to and how many times it was
// written, long enough that a torn copy could not pass for a whole one.
std::string stamp(int row, int column, int round) {
    const std::string head =
        std::to_string(row) + ":" + std::to_string(column) + ":" + std::to_string(round) + ":";
    return head + std::string(static_cast<std::size_t>(64 + (row % 7) * 33),
                              static_cast<char>('a' + column));
}

TEST(DataList, ConcurrentAppendsAndWritesLoseNothingAndTearNothing) {
    DataList list;
    constexpr int kThreads = 8;
    constexpr int kRowsEach = 2000;
    std::vector<std::vector<int>> owned(kThreads);
    std::atomic<bool> reading{true};
    std::atomic<int> torn{0};

    // A reader runs the whole time and checks every cell it sees is empty or whole.
    std::thread reader([&] {
        while (reading) {
            const int rows = list.row_count();
            for (int row = rows - 1; row >= 0 && row >= rows - 200; --row) {
                for (int column = 0; column < kColumnCount; ++column) {
                    const Text cell = list.read_cell(row, column);
                    if (cell.empty()) continue;
                    const bool whole =
                        cell == stamp(row, column, 0) || cell == stamp(row, column, 1);
                    if (!whole) ++torn;
                }
            }
        }
    });

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kRowsEach; ++i) {
                const int row = list.append_row();
                owned[static_cast<std::size_t>(t)].push_back(row);
                for (int round = 0; round < 2; ++round) {
                    for (int column = 0; column < kColumnCount; ++column) {
                        list.write_cell(row, column, stamp(row, column, round));
                    }
                }
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    reading = false;
    reader.join();

    EXPECT_EQ(torn.load(), 0);
    ASSERT_EQ(list.row_count(), kThreads * kRowsEach);
    std::vector<bool> seen(static_cast<std::size_t>(kThreads * kRowsEach), false);
    for (const auto& rows : owned) {
        for (int row : rows) {
            ASSERT_FALSE(seen[static_cast<std::size_t>(row)])
                << "row " << row << " handed out twice";
            seen[static_cast<std::size_t>(row)] = true;
            for (int column = 0; column < kColumnCount; ++column) {
                ASSERT_EQ(list.read_cell(row, column), stamp(row, column, 1));
            }
        }
    }
}

TEST(DataList, MissingRowsAndColumnsReadEmptyAndIgnoreWrites) {
    DataList list;
    EXPECT_EQ(list.read_cell(0, 0), "");
    list.write_cell(0, 0, "lost");
    EXPECT_EQ(list.row_count(), 0);

    ASSERT_EQ(list.append_row(), 0);
    list.write_cell(0, kColumnSource, "http://a/");
    const struct {
        int row;
        int column;
    } outside[] = {{-1, 0}, {1, 0}, {0, -1}, {0, kColumnCount}, {1 << 30, 1}};
    for (const auto& cell : outside) {
        SCOPED_TRACE(std::to_string(cell.row) + "," + std::to_string(cell.column));
        list.write_cell(cell.row, cell.column, "lost");
        EXPECT_EQ(list.read_cell(cell.row, cell.column), "");
    }
    EXPECT_EQ(list.row_count(), 1);
    EXPECT_EQ(list.read_cell(0, kColumnSource), "http://a/");
    EXPECT_EQ(list.read_cell(0, kColumnId), "");

    // Cells are written independently; an emptied cell leaves the others alone.
    list.write_cell(0, kColumnStatus, std::string("x\x81\xFF", 3));
    list.write_cell(0, kColumnSource, "");
    EXPECT_EQ(list.read_cell(0, kColumnSource), "");
    EXPECT_EQ(list.read_cell(0, kColumnStatus), std::string("x\x81\xFF", 3));

    list.clear_rows();
    EXPECT_EQ(list.row_count(), 0);
    EXPECT_EQ(list.read_cell(0, kColumnStatus), "");
    EXPECT_EQ(list.append_row(), 0);
    EXPECT_EQ(list.read_cell(0, kColumnStatus), "");
}

TEST(DataList, ListenerWakesOnceUntilTheChangesAreTaken) {
    DataList list;
    std::atomic<int> wakes{0};
    list.set_change_listener([&] { ++wakes; });

    list.append_row();
    list.append_row();
    list.write_cell(1, kColumnResult, "r");
    list.write_cell(0, kColumnStatus, "s");
    EXPECT_EQ(wakes.load(), 1);

    DataList::Changes changes = list.take_changes();
    EXPECT_EQ(changes.row_count, 2);
    EXPECT_EQ(changes.first_dirty, 0);
    EXPECT_EQ(changes.last_dirty, 1);
    const std::uint64_t generation = changes.generation;

    changes = list.take_changes();
    EXPECT_EQ(changes.first_dirty, -1);
    EXPECT_EQ(changes.last_dirty, -1);

    list.write_cell(5, 0, "missing row");  // changes nothing, wakes nobody
    EXPECT_EQ(wakes.load(), 1);

    list.clear_rows();
    list.append_row();
    EXPECT_EQ(wakes.load(), 2);
    changes = list.take_changes();
    EXPECT_GT(changes.generation, generation);
    EXPECT_EQ(changes.row_count, 1);
    EXPECT_EQ(changes.first_dirty, -1);

    // Many threads changing at once still wake the listener only once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) list.write_cell(list.append_row(), kColumnId, "1");
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wakes.load(), 3);
    changes = list.take_changes();
    EXPECT_EQ(changes.row_count, 1 + 8 * 500);
    EXPECT_EQ(changes.first_dirty, 1);
    EXPECT_EQ(changes.last_dirty, 8 * 500);
}

}  // namespace
}  // namespace zolt
