// Short codes: 7 base62 characters from the operating system's cryptographic source, so
// codes cannot be guessed from one another.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zolt::gateway {

inline constexpr std::size_t kCodeLength = 7;

using CodeGenerator = std::function<std::string()>;

std::string random_code();

// Whether a path segment can be a code at all (base62, 1 to 16 characters).
bool looks_like_code(std::string_view text);

}  // namespace zolt::gateway
