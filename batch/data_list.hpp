// The data list: ordered rows of four GBK texts, shared by every thread.
//
// Each operation is one indivisible step under the list's own lock and never waits for the
// window's thread. The window learns of changes by "wake up, then pull": the listener is
// called once when the first change after a take_changes() happens, and the window then
// drains everything that changed since with take_changes().
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string_view>

#include "core/text.hpp"

namespace zolt {

inline constexpr int kColumnId = 0;
inline constexpr int kColumnSource = 1;
inline constexpr int kColumnResult = 2;
inline constexpr int kColumnStatus = 3;
inline constexpr int kColumnCount = 4;

class DataList {
  public:
    struct Changes {
        std::uint64_t generation = 0;  // grows with every clear_rows()
        int row_count = 0;             // rows now
        int first_dirty = -1;          // cells written since the last take, -1 for none
        int last_dirty = -1;
    };

    int row_count() const;
    int append_row();                           // returns the new row's index
    Text read_cell(int row, int column) const;  // empty for a missing row or column
    void write_cell(int row, int column,
                    std::string_view value);  // ignored for a missing row or column
    void clear_rows();

    // listener runs on the changing thread, under no lock of the list; it must not block.
    void set_change_listener(std::function<void()> listener);
    Changes take_changes();

    // At most max_bytes of the cell's first bytes: what a view needs to paint a row, without
    // copying a huge cell while the list is locked.
    Text read_cell_head(int row, int column, int max_bytes) const;

  private:
    // One cell in eight bytes: up to seven bytes stand inline, longer texts in a heap block
    // of their own (a 32-bit length, then the bytes). A new block is built before the list
    // is locked and an old one freed after, so a huge cell never holds other threads up.
    class Cell {
      public:
        Cell() = default;
        explicit Cell(std::string_view value);
        Cell(Cell&& other) noexcept;
        Cell& operator=(Cell&& other) noexcept;
        Cell(const Cell&) = delete;
        Cell& operator=(const Cell&) = delete;
        ~Cell();

        std::string_view view() const;

      private:
        bool is_inline() const { return (raw_[0] & 1U) != 0; }
        const char* block() const;

        unsigned char raw_[8] = {};  // all zero: the empty text
    };
    using Row = std::array<Cell, kColumnCount>;

    void changed_locked(int row);  // requires mutex_
    void wake_listener(bool should_wake);

    mutable std::mutex mutex_;
    std::deque<Row> rows_;
    std::uint64_t generation_ = 0;
    int first_dirty_ = -1;
    int last_dirty_ = -1;
    bool wake_pending_ = false;
    std::function<void()> listener_;
};

}  // namespace zolt
