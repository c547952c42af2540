// Streaming conversion between byte charsets and UTF-16, over ICU converters.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

struct UConverter;

namespace zolt {

// ICU's table for Windows code page 936: the code page every text of the program is in.
inline constexpr std::string_view kGbkCodePage = "windows-936-2000";

enum class Step {
    done,    // all input consumed (and flushed when asked)
    full,    // the output buffer filled up first: drain it and call again
    failed,  // the converter refused the input; its state is undefined
};

// UTF-16 held between two converters while one converts straight into the other.
struct Pivot {
    char16_t units[1024];
    char16_t* source = units;
    char16_t* target = units;
    bool fresh = true;
};

// One converter for one charset, used by one thread at a time. Characters the charset
// lacks are encoded as '?' (no best-fit mapping); malformed input decodes to U+FFFD.
// Converters are taken from and given back to a few kept by the thread, then to a
// process-wide pool of idle ones: opening one costs more than converting a short answer.
class CodePage {
  public:
    // name as ICU knows it ("UTF-8", "GBK", "Big5", ...). An empty, malformed or unknown
    // name leaves the object unusable: ok() is false and every call fails. A converter
    // for_writing never puts a byte-order mark in front of its output (UTF-16 and UTF-32
    // become their platform-endian forms).
    explicit CodePage(std::string_view name, bool for_writing = false);
    ~CodePage();
    CodePage(const CodePage&) = delete;
    CodePage& operator=(const CodePage&) = delete;

    bool ok() const { return converter_ != nullptr; }
    // ICU's canonical name of the converter, empty when not ok().
    std::string_view canonical_name() const { return canonical_; }

    // Advance src and dst like ICU does; flush marks src as the last of the input.
    Step decode(const char*& src, const char* src_end, char16_t*& dst, char16_t* dst_end,
                bool flush);
    Step encode(const char16_t*& src, const char16_t* src_end, char*& dst, char* dst_end,
                bool flush);
    // Decodes with source and encodes with this converter in one go, without the caller
    // seeing the UTF-16 (ICU takes a direct path from UTF-8 to multi-byte code pages).
    Step convert_from(CodePage& source, Pivot& pivot, const char*& src, const char* src_end,
                      char*& dst, char* dst_end, bool flush);

  private:
    std::string_view key() const { return {key_.data(), key_size_}; }

    // The name asked for, plus "/w" for a writing converter: what the pool files it under.
    std::array<char, 72> key_{};
    std::size_t key_size_ = 0;
    UConverter* converter_ = nullptr;
    std::string_view canonical_;  // ICU's own storage, alive as long as the converter
};

}  // namespace zolt
