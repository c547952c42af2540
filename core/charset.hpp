// Re-encoding of byte strings between character sets.
#pragma once

#include <optional>
#include <string_view>

#include "core/text.hpp"

namespace zolt {

// Decodes data in source (empty: "UTF-8"), cuts before the first U+0000, turns every
// character code page 936 lacks into '?', and encodes the rest in target (empty: "GBK")
// with nothing in front. A given start position leaves out that many leading bytes of
// the result. Yields the empty byte string when nothing could be converted.
Bytes convert_charset(std::string_view data, std::string_view source = {},
                      std::string_view target = {}, std::optional<int> start = std::nullopt);

// Program literals and window texts: UTF-8 <-> GBK, with '?' for what GBK lacks.
Text gbk_from_utf8(std::string_view utf8);
std::string utf8_from_gbk(std::string_view gbk);

}  // namespace zolt
