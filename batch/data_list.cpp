#include "batch/data_list.hpp"

#include <utility>

namespace zolt {

namespace {
bool column_ok(int column) { return column >= 0 && column < kColumnCount; }
}  // namespace

int DataList::row_count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(rows_.size());
}

int DataList::append_row() {
    bool wake = false;
    int index = 0;
    {
        std::lock_guard lock(mutex_);
        index = static_cast<int>(rows_.size());
        rows_.emplace_back();
        wake = !std::exchange(wake_pending_, true);
    }
    wake_listener(wake);
    return index;
}

Text DataList::read_cell(int row, int column) const {
    std::lock_guard lock(mutex_);
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size() || !column_ok(column)) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void DataList::write_cell(int row, int column, Text value) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (row < 0 || static_cast<std::size_t>(row) >= rows_.size() || !column_ok(column)) return;
        // The old text is swapped out and freed after the lock is let go.
        std::swap(rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)], value);
        changed_locked(row);
        wake = !std::exchange(wake_pending_, true);
    }
    wake_listener(wake);
}

void DataList::clear_rows() {
    std::deque<Row> old;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        old.swap(rows_);
        ++generation_;
        first_dirty_ = last_dirty_ = -1;
        wake = !std::exchange(wake_pending_, true);
    }
    wake_listener(wake);
    // A large list is freed here, outside the lock, so no other thread waits for it.
}

void DataList::set_change_listener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
    wake_pending_ = false;
}

DataList::Changes DataList::take_changes() {
    std::lock_guard lock(mutex_);
    Changes changes{generation_, static_cast<int>(rows_.size()), first_dirty_, last_dirty_};
    first_dirty_ = last_dirty_ = -1;
    wake_pending_ = false;
    return changes;
}

void DataList::changed_locked(int row) {
    if (first_dirty_ < 0 || row < first_dirty_) first_dirty_ = row;
    if (row > last_dirty_) last_dirty_ = row;
}

void DataList::wake_listener(bool should_wake) {
    if (!should_wake) return;
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

}  // namespace zolt
