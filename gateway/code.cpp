#include "gateway/code.hpp"

#include <array>
#include <cstdint>

#if defined(__linux__)
#include <sys/random.h>
#else
#include <random>
#endif

namespace zolt::gateway {

namespace {

constexpr std::string_view kAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void fill_random(std::uint8_t* data, std::size_t size) {
#if defined(__linux__)
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(data + done, size - done, 0);
        if (got > 0) done += static_cast<std::size_t>(got);
    }
#else
    thread_local std::random_device device;
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(device());
#endif
}

}  // namespace

std::string random_code() {
    std::string code;
    code.reserve(kCodeLength);
    std::array<std::uint8_t, 32> pool{};
    while (code.size() < kCodeLength) {
        fill_random(pool.data(), pool.size());
        for (const std::uint8_t b : pool) {
            // 248 = 4 * 62: rejecting the rest keeps every character equally likely.
            if (b >= 248) continue;
            code += kAlphabet[b % 62];
            if (code.size() == kCodeLength) break;
        }
    }
    return code;
}

bool looks_like_code(std::string_view text) {
    if (text.empty() || text.size() > 16) return false;
    for (const char c : text) {
        if (kAlphabet.find(c) == std::string_view::npos) return false;
    }
    return true;
}

}  // namespace zolt::gateway
