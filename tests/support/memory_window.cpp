#include "tests/support/memory_window.hpp"

#include "core/text.hpp"

namespace zolt::testing {

void MemoryFileDialog::script(std::optional<Path> answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(answer));
}

bool MemoryFileDialog::show() {
    std::lock_guard lock(mutex_);
    history_.push_back({form, initial_directory, file_name});
    if (answers_.empty()) return false;
    std::optional<Path> answer = std::move(answers_.front());
    answers_.pop_front();
    if (!answer) return false;
    file_name = *answer;
    return true;
}

int MemoryFileDialog::shows() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(history_.size());
}

std::vector<MemoryFileDialog::Shown> MemoryFileDialog::history() const {
    std::lock_guard lock(mutex_);
    return history_;
}

MemoryWindow::MemoryWindow() {
    enabled_[static_cast<int>(Button::start)] = true;
    enabled_[static_cast<int>(Button::import_data)] = true;
    enabled_[static_cast<int>(Button::export_data)] = true;
}

Text MemoryWindow::cap_text() {
    std::lock_guard lock(mutex_);
    return cap_text_;
}

void MemoryWindow::set_cap_text(Text gbk) {
    std::lock_guard lock(mutex_);
    cap_text_ = std::move(gbk);
}

void MemoryWindow::set_button_enabled(Button button, bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_[static_cast<int>(button)] = enabled;
}

bool MemoryWindow::button_enabled(Button button) const {
    std::lock_guard lock(mutex_);
    return enabled_[static_cast<int>(button)];
}

int MemoryWindow::selected_service() {
    std::lock_guard lock(mutex_);
    return selected_;
}

void MemoryWindow::set_selected_service(int index) {
    std::lock_guard lock(mutex_);
    selected_ = index;
}

void MemoryWindow::show_message(const Text& gbk_text) {
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(gbk_text);
    }
    messages_changed_.notify_all();
}

std::vector<Text> MemoryWindow::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

bool MemoryWindow::wait_for_messages(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return messages_changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
}

void MemoryWindow::add_rows(const std::vector<Text>& sources) {
    for (const Text& source : sources) {
        const int row = list_.append_row();
        list_.write_cell(row, kColumnId, int_to_text(row + 1));
        list_.write_cell(row, kColumnSource, source);
    }
}

}  // namespace zolt::testing
