// Whole-file reading and writing, with the reason when it fails.
#pragma once

#include <string>
#include <string_view>

namespace zolt {

// Paths are in the platform's own file-name encoding (UTF-8 on Linux).
using Path = std::string;

struct FileResult {
    bool ok = false;
    std::string error;  // UTF-8, for the user: why it failed
};

// Reads the whole file into bytes.
FileResult read_whole_file(const Path& path, std::string& bytes);

// Writes bytes as the whole content of path. Written beside it first and renamed into
// place, so a failure leaves an earlier file whole and no half-written file behind.
FileResult write_whole_file(const Path& path, std::string_view bytes);

// The directory holding the program's executable, without a trailing separator.
Path program_directory();

}  // namespace zolt
