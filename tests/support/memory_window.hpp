// An in-memory window for engine tests: records buttons and messages, and answers the file
// dialog from a script the test sets up.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "batch/window_port.hpp"

namespace zolt::testing {

class MemoryFileDialog : public FileDialog {
public:
    // The next show() confirms with this path (nullopt: the user cancels).
    void script(std::optional<Path> answer);

    bool show() override;

    int shows() const;
    // The settings as they were at each show(): what the user was offered.
    struct Shown {
        DialogForm form;
        Path initial_directory;
        Path file_name;
    };
    std::vector<Shown> history() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::optional<Path>> answers_;
    std::vector<Shown> history_;
};

class MemoryWindow : public WindowPort {
public:
    MemoryWindow();

    DataList& data_list() override { return list_; }
    Text cap_text() override;
    void set_cap_text(Text gbk);
    void set_button_enabled(Button button, bool enabled) override;
    bool button_enabled(Button button) const;
    int selected_service() override;
    void set_selected_service(int index) override;
    void show_message(const Text& gbk_text) override;
    MemoryFileDialog& file_dialog() override { return dialog_; }

    std::vector<Text> messages() const;
    // Waits until at least count messages were shown; false on time-out.
    bool wait_for_messages(std::size_t count, std::chrono::milliseconds timeout) const;

    // Adds rows with these source addresses (ID = 1-based number).
    void add_rows(const std::vector<Text>& sources);

private:
    DataList list_;
    MemoryFileDialog dialog_;
    mutable std::mutex mutex_;
    mutable std::condition_variable messages_changed_;
    Text cap_text_ = "10";
    std::array<bool, 6> enabled_{};
    int selected_ = -1;
    std::vector<Text> messages_;
};

}  // namespace zolt::testing
