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
    UConverter* take(std::string_view key) {
        std::lock_guard lock(mutex_);
        auto it = idle_.find(key);
        if (it == idle_.end() || it->second.empty()) return nullptr;
        UConverter* converter = it->second.back();
        it->second.pop_back();
        return converter;
    }

    void give_back(std::string_view key, UConverter* converter) {
        {
            std::lock_guard lock(mutex_);
            auto it = idle_.find(key);
            if (it == idle_.end()) it = idle_.emplace(std::string(key), 0).first;
            auto& idle = it->second;
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

// The converters this thread gave back last; a thread that converts again finds them
// without taking the pool's lock. What is left when the thread ends goes to the pool.
class ThreadCache {
  public:
    ~ThreadCache() {
        for (std::size_t i = 0; i < count_; ++i)
            pool().give_back(slots_[i].key(), slots_[i].converter);
    }

    UConverter* take(std::string_view key) {
        for (std::size_t i = 0; i < count_; ++i) {
            if (slots_[i].key() == key) {
                UConverter* converter = slots_[i].converter;
                slots_[i] = slots_[--count_];
                return converter;
            }
        }
        return pool().take(key);
    }

    void give_back(std::string_view key, UConverter* converter) {
        if (count_ == slots_.size() || key.size() > Slot::kMaxKey) {
            pool().give_back(key, converter);
            return;
        }
        Slot& slot = slots_[count_++];
        std::copy(key.begin(), key.end(), slot.name.begin());
        slot.size = key.size();
        slot.converter = converter;
    }

  private:
    struct Slot {
        static constexpr std::size_t kMaxKey = 72;
        std::string_view key() const { return {name.data(), size}; }
        std::array<char, kMaxKey> name;
        std::size_t size;
        UConverter* converter;
    };
    std::array<Slot, 4> slots_{};
    std::size_t count_ = 0;
};

thread_local ThreadCache thread_cache;

Step step_of(UErrorCode status) {
    if (status == U_BUFFER_OVERFLOW_ERROR) return Step::full;
    return U_FAILURE(status) ? Step::failed : Step::done;
}

}  // namespace

namespace {

std::string_view name_of(UConverter* converter) {
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getName(converter, &status);
    return U_FAILURE(status) || name == nullptr ? std::string_view() : std::string_view(name);
}

UConverter* open_configured(std::string_view name, bool for_writing) {
    UConverter* converter = open_converter(std::string(name));
    if (converter == nullptr) return nullptr;
    if (for_writing) {
        const std::string_view canonical = name_of(converter);
        const char* twin = canonical == "UTF-16"   ? "UTF16_PlatformEndian"
                           : canonical == "UTF-32" ? "UTF32_PlatformEndian"
                                                   : nullptr;
        if (twin != nullptr) {
            ucnv_close(converter);
            converter = open_converter(twin);
            if (converter == nullptr) return nullptr;
        }
    }
    // Unmappable characters become '?' exactly; charsets where '?' is not one byte
    // (UTF-16, UTF-32) cannot lack a character, so their own substitute never shows.
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setSubstChars(converter, "?", 1, &status);
    ucnv_setFallback(converter, false);
    return converter;
}

}  // namespace

CodePage::CodePage(std::string_view name, bool for_writing) {
    if (!plain_name(name)) return;
    std::copy(name.begin(), name.end(), key_.begin());
    key_size_ = name.size();
    if (for_writing) {
        key_[key_size_++] = '/';
        key_[key_size_++] = 'w';
    }
    converter_ = thread_cache.take(key());
    if (converter_ == nullptr) converter_ = open_configured(name, for_writing);
    if (converter_ != nullptr) canonical_ = name_of(converter_);
}

CodePage::~CodePage() {
    if (converter_ == nullptr) return;
    ucnv_reset(converter_);
    thread_cache.give_back(key(), converter_);
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
