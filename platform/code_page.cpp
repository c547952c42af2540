#include "platform/code_page.hpp"

#include <unicode/ucnv.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zolt {
namespace {

// ICU reads more than a charset out of a converter name (options after a comma, package
// paths), so only plain names get through.
bool plain_name(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.' || c == ':';
    });
}

UConverter* open_converter(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name.c_str(), &status);
    if (U_FAILURE(status)) {
        if (converter != nullptr) ucnv_close(converter);
        return nullptr;
    }
    return converter;
}

// Idle converters by the name they were asked for. Bounded, so a burst of threads does not
// leave its converters behind for the life of the process.
class Pool {
  public:
    UConverter* take(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = idle_.find(key);
        if (it == idle_.end() || it->second.empty()) return nullptr;
        UConverter* converter = it->second.back();
        it->second.pop_back();
        return converter;
    }

    void give_back(const std::string& key, UConverter* converter) {
        ucnv_reset(converter);
        {
            std::lock_guard lock(mutex_);
            auto& idle = idle_[key];
            if (idle.size() < kMaxIdle) {
                idle.push_back(converter);
                return;
            }
        }
        ucnv_close(converter);
    }

  private:
    static constexpr std::size_t kMaxIdle = 32;
    std::mutex mutex_;
    std::map<std::string, std::vector<UConverter*>, std::less<>> idle_;
};

// Never destroyed: converters may be given back by threads that outlive static teardown.
Pool& pool() {
    static Pool* const instance = new Pool;
    return *instance;
}

Step step_of(UErrorCode status) {
    if (status == U_BUFFER_OVERFLOW_ERROR) return Step::full;
    return U_FAILURE(status) ? Step::failed : Step::done;
}

}  // namespace

CodePage::CodePage(std::string_view name, bool for_writing) {
    if (!plain_name(name)) return;
    key_.assign(name);
    if (for_writing) key_ += "/w";
    converter_ = pool().take(key_);
    if (converter_ != nullptr) return;

    converter_ = open_converter(std::string(name));
    if (converter_ == nullptr) return;
    if (for_writing) {
        const std::string_view canonical = canonical_name();
        const char* twin = canonical == "UTF-16"   ? "UTF16_PlatformEndian"
                           : canonical == "UTF-32" ? "UTF32_PlatformEndian"
                                                   : nullptr;
        if (twin != nullptr) {
            ucnv_close(converter_);
            converter_ = open_converter(twin);
            if (converter_ == nullptr) return;
        }
    }

    // Unmappable characters become '?' exactly; charsets where '?' is not one byte
    // (UTF-16, UTF-32) cannot lack a character, so their own substitute never shows.
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setSubstChars(converter_, "?", 1, &status);
    ucnv_setFallback(converter_, false);
}

CodePage::~CodePage() {
    if (converter_ != nullptr) pool().give_back(key_, converter_);
}

std::string_view CodePage::canonical_name() const {
    if (converter_ == nullptr) return {};
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getName(converter_, &status);
    return U_FAILURE(status) || name == nullptr ? std::string_view() : std::string_view(name);
}

Step CodePage::decode(const char*& src, const char* src_end, char16_t*& dst, char16_t* dst_end,
                      bool flush) {
    if (converter_ == nullptr) return Step::failed;
    UErrorCode status = U_ZERO_ERROR;
    UChar* target = dst;
    ucnv_toUnicode(converter_, &target, dst_end, &src, src_end, nullptr, flush, &status);
    dst = target;
    return step_of(status);
}

Step CodePage::encode(const char16_t*& src, const char16_t* src_end, char*& dst, char* dst_end,
                      bool flush) {
    if (converter_ == nullptr) return Step::failed;
    UErrorCode status = U_ZERO_ERROR;
    const UChar* source = src;
    ucnv_fromUnicode(converter_, &dst, dst_end, &source, src_end, nullptr, flush, &status);
    src = source;
    return step_of(status);
}

Step CodePage::convert_from(CodePage& source, Pivot& pivot, const char*& src, const char* src_end,
                            char*& dst, char* dst_end, bool flush) {
    if (converter_ == nullptr || source.converter_ == nullptr) return Step::failed;
    UErrorCode status = U_ZERO_ERROR;
    UChar* pivot_source = pivot.source;
    UChar* pivot_target = pivot.target;
    ucnv_convertEx(converter_, source.converter_, &dst, dst_end, &src, src_end, pivot.units,
                   &pivot_source, &pivot_target, pivot.units + std::size(pivot.units), pivot.fresh,
                   flush, &status);
    pivot.source = pivot_source;
    pivot.target = pivot_target;
    pivot.fresh = false;
    return step_of(status);
}

}  // namespace zolt
