#include "batch/data_list.hpp"

#include <cstring>
#include <utility>

namespace zolt {

namespace {
bool column_ok(int column) { return column >= 0 && column < kColumnCount; }

constexpr std::size_t kHeader = sizeof(std::uint32_t) * kColumnCount;

std::uint32_t length_at(const char* block, int column) {
    std::uint32_t length = 0;
    std::memcpy(&length, block + sizeof length * static_cast<std::size_t>(column), sizeof length);
    return length;
}
}  // namespace

std::string_view DataList::PackedRow::cell(int column) const {
    if (!block_) return {};
    std::size_t offset = kHeader;
    for (int c = 0; c < column; ++c) offset += length_at(block_.get(), c);
    return {block_.get() + offset, length_at(block_.get(), column)};
}

void DataList::PackedRow::set_cell(int column, std::string_view value) {
    std::string_view cells[kColumnCount];
    std::size_t total = 0;
    for (int c = 0; c < kColumnCount; ++c) {
        cells[c] = c == column ? value : cell(c);
        total += cells[c].size();
    }
    if (total == 0) {
        block_.reset();
        return;
    }
    auto block = std::make_unique_for_overwrite<char[]>(kHeader + total);
    std::size_t offset = kHeader;
    for (int c = 0; c < kColumnCount; ++c) {
        const auto length = static_cast<std::uint32_t>(cells[c].size());
        std::memcpy(block.get() + sizeof length * static_cast<std::size_t>(c), &length, sizeof length);
        if (length != 0) std::memcpy(block.get() + offset, cells[c].data(), length);
        offset += length;
    }
    block_ = std::move(block);
}

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
    return Text(rows_[static_cast<std::size_t>(row)].cell(column));
}

void DataList::write_cell(int row, int column, std::string_view value) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (row < 0 || static_cast<std::size_t>(row) >= rows_.size() || !column_ok(column)) return;
        rows_[static_cast<std::size_t>(row)].set_cell(column, value);
        changed_locked(row);
        wake = !std::exchange(wake_pending_, true);
    }
    wake_listener(wake);
}

void DataList::clear_rows() {
    std::deque<PackedRow> old;
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
