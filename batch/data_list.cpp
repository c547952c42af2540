#include "batch/data_list.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace zolt {

namespace {
bool column_ok(int column) { return column >= 0 && column < kColumnCount; }
}  // namespace

DataList::Cell::Cell(std::string_view value) {
    if (value.empty()) return;
    if (value.size() <= sizeof raw_ - 1) {
        raw_[0] = static_cast<unsigned char>(value.size() << 1U | 1U);
        std::memcpy(raw_ + 1, value.data(), value.size());
        return;
    }
    // malloc'd blocks are aligned, so a block pointer's low bit is 0, never an inline tag.
    const auto length = static_cast<std::uint32_t>(value.size());
    char* block = static_cast<char*>(std::malloc(sizeof length + value.size()));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, &length, sizeof length);
    std::memcpy(block + sizeof length, value.data(), value.size());
    std::memcpy(raw_, &block, sizeof block);
}

DataList::Cell::Cell(Cell&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    std::memset(other.raw_, 0, sizeof raw_);
}

DataList::Cell& DataList::Cell::operator=(Cell&& other) noexcept {
    if (this != &other) {
        std::swap_ranges(raw_, raw_ + sizeof raw_, other.raw_);
    }
    return *this;
}

DataList::Cell::~Cell() {
    if (!is_inline()) std::free(const_cast<char*>(block()));
}

const char* DataList::Cell::block() const {
    const char* block = nullptr;
    std::memcpy(&block, raw_, sizeof block);
    return block;
}

std::string_view DataList::Cell::view() const {
    if (is_inline()) return {reinterpret_cast<const char*>(raw_ + 1), std::size_t{raw_[0]} >> 1U};
    const char* b = block();
    if (b == nullptr) return {};
    std::uint32_t length = 0;
    std::memcpy(&length, b, sizeof length);
    return {b + sizeof length, length};
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
    return Text(rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)].view());
}

Text DataList::read_cell_head(int row, int column, int max_bytes) const {
    std::lock_guard lock(mutex_);
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size() || !column_ok(column)) return {};
    const std::string_view cell =
        rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)].view();
    return Text(cell.substr(0, static_cast<std::size_t>(std::max(max_bytes, 0))));
}

void DataList::write_cell(int row, int column, std::string_view value) {
    if (!column_ok(column)) return;
    Cell cell(value);  // the copy is made before the lock is taken
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return;
        std::swap(rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)], cell);
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
