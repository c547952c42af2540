// A fresh directory per test, removed with everything in it afterwards, and the small
// file helpers the file tests share.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zolt::testing {

class ScratchDir {
  public:
    ScratchDir() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("zolt-test-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directory(path_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    std::string path(std::string_view name) const { return (path_ / name).string(); }

    void put(std::string_view name, std::string_view bytes) const {
        std::ofstream(path_ / name, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::string get(std::string_view name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // Every name in the directory, to catch temporary files left behind.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }

  private:
    std::filesystem::path path_;
};

// Tests run as root, so permissions cannot make a write fail; a file-size limit can, and
// it fails the write part way, which is what a full disk does.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previous_handler_);
    }

  private:
    rlimit previous_{};
    void (*previous_handler_)(int) = nullptr;
};

}  // namespace zolt::testing
