// What web_fetch reads out of a response: its raw header block and the body's charset.
#pragma once

#include <string_view>

#include "core/text.hpp"

namespace zolt {

// Goes through the lines of raw_headers. Every line holding "Location:" sets location to
// the text after its colon, so the last one wins and location is left as it was when
// there is none. Every line holding "Set-Cookie" contributes its first name=value (empty
// when it has no ";"). Returns those entries joined by "; ".
Text read_response_headers(std::string_view raw_headers, Text& location);

// True when "utf-8" (exact bytes) begins within the body's first 499 bytes, or when the
// raw header block mentions "utf-8" in any case.
bool declares_utf8(std::string_view body, std::string_view raw_headers);

}  // namespace zolt
