// Text primitives over GBK byte strings.
//
// A Text is a byte string in code page 936 that never holds a zero byte; Bytes may hold
// zero bytes. Positions are 1-based byte positions; -1 means "not found". A byte of 0x80
// or above begins a two-byte character (whatever follows it), and the character-aware
// operations (find, find_last, split, replace, trim, drop_blanks, lower, to_int) step
// over such characters as units. Blanks are the ASCII space and the full-width space
// A1 A1. Case folding is ASCII only. Every function is pure, locale-free and thread-safe.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zolt {

using Text = std::string;
using Bytes = std::string;
using TextList = std::vector<Text>;

int text_len(std::string_view t);
bool text_equal(std::string_view a, std::string_view b);
Text text_concat(std::initializer_list<std::string_view> parts);

// start of 1 or less (or omitted) searches the whole text.
int text_find(std::string_view t, std::string_view sought, int start = 0, bool ignore_case = false);
int text_find_last(std::string_view t, std::string_view sought, bool ignore_case = false);

Text text_head(std::string_view t, int n);
Text text_tail(std::string_view t, int n);
Text text_slice(std::string_view t, int start, int n);
Text text_trim(std::string_view t);
Text text_drop_blanks(std::string_view t);
Text text_replace(std::string_view t, std::string_view old_text, std::string_view new_text);
TextList text_split(std::string_view t, std::string_view separator);
Text text_lower(std::string_view t);
std::int32_t text_to_int(std::string_view t);
Text int_to_text(std::int64_t n);
Text text_of_spaces(int n);
Text text_of_char(unsigned char c);

Bytes text_to_bytes(std::string_view t);
Text bytes_to_text(std::string_view b);
int bytes_len(std::string_view b);
Bytes bytes_concat(std::initializer_list<std::string_view> parts);
Bytes bytes_of_zeros(int n);
Bytes bytes_head(std::string_view b, int n);
int bytes_find(std::string_view b, std::string_view sought);

// "#引号" in either marker stands for a double quote. start 0 searches from the first byte.
Text extract_between(std::string_view t, std::string_view start_marker,
                     std::string_view end_marker, int start, bool case_sensitive);
Text text_after_colon(std::string_view t);

}  // namespace zolt
