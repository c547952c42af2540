#include "core/charset.hpp"

#include <array>
#include <string>

#include "platform/code_page.hpp"

namespace zolt {
namespace {

constexpr std::size_t kUnits = 8192;

// Runs one conversion step after another through a fixed buffer and hands each filled
// piece to the sink, so no intermediate copy of the whole text is ever made. The sink
// learns which piece is final: a full buffer may end inside a character.
template <typename Unit, typename Convert, typename Sink>
bool drain(Convert&& convert, bool flush, Sink&& sink) {
    std::array<Unit, 2 * kUnits> buffer;
    for (;;) {
        Unit* out = buffer.data();
        const Step step = convert(out, buffer.data() + buffer.size());
        if (step == Step::failed) return false;
        if (!sink(buffer.data(), out, flush && step == Step::done)) return false;
        if (step == Step::done) return true;
    }
}

template <typename Sink>
bool encode_all(CodePage& encoder, const char16_t* begin, const char16_t* end, bool flush,
                Sink&& sink) {
    return drain<char>(
        [&](char*& out, char* out_end) { return encoder.encode(begin, end, out, out_end, flush); },
        flush, sink);
}

template <typename Sink>
bool decode_all(CodePage& decoder, const char* begin, const char* end, bool flush, Sink&& sink) {
    return drain<char16_t>(
        [&](char16_t*& out, char16_t* out_end) {
            return decoder.decode(begin, end, out, out_end, flush);
        },
        flush, sink);
}

// Every character GBK lacks becomes '?' even when the target charset has it: the text
// makes a round trip through the code page before it is encoded in the target.
class GbkFilter {
  public:
    GbkFilter() : gbk_(kGbkCodePage) {}
    bool ok() const { return gbk_.ok(); }

    template <typename Next>
    bool pass(const char16_t* begin, const char16_t* end, bool flush, Next&& next) {
        return encode_all(gbk_, begin, end, flush, [&](const char* b, const char* e, bool final) {
            return decode_all(gbk_, b, e, final, next);
        });
    }

  private:
    CodePage gbk_;
};

// In these charsets a zero byte stands for U+0000 and for nothing else, so the text can be
// cut in the encoded result.
bool zero_byte_is_nul(const CodePage& encoder) {
    const std::string_view name = encoder.canonical_name();
    return name == kGbkCodePage || name == "UTF-8";
}

Bytes convert_direct(std::string_view data, CodePage& decoder, CodePage& encoder) {
    Bytes result(data.size() + 16, '\0');
    const char* in = data.data();
    const char* const in_end = in + data.size();
    std::size_t written = 0;
    Pivot pivot;
    for (;;) {
        char* out = result.data() + written;
        const Step step = encoder.convert_from(decoder, pivot, in, in_end, out,
                                               result.data() + result.size(), true);
        written = static_cast<std::size_t>(out - result.data());
        if (step == Step::failed) return {};
        if (step == Step::done) break;
        result.resize(result.size() * 2);
    }
    result.resize(written);
    const std::size_t nul = result.find('\0');
    if (nul != Bytes::npos) result.resize(nul);
    return result;
}

Bytes convert_through_units(std::string_view data, CodePage& decoder, CodePage& encoder,
                            bool only_gbk) {
    std::optional<GbkFilter> filter;
    if (only_gbk) {
        filter.emplace();
        if (!filter->ok()) return {};
    }
    Bytes result;
    result.reserve(data.size());
    auto append = [&](const char* b, const char* e, bool) {
        result.append(b, e);
        return true;
    };
    auto emit = [&](const char16_t* b, const char16_t* e, bool flush) {
        if (!filter) return encode_all(encoder, b, e, flush, append);
        return filter->pass(b, e, flush, [&](const char16_t* fb, const char16_t* fe, bool last) {
            return encode_all(encoder, fb, fe, last, append);
        });
    };

    const char* in = data.data();
    const char* const in_end = in + data.size();
    std::array<char16_t, kUnits> units;
    for (;;) {
        char16_t* out = units.data();
        const Step step = decoder.decode(in, in_end, out, units.data() + units.size(), true);
        if (step == Step::failed) return {};
        const std::u16string_view chunk(units.data(), static_cast<std::size_t>(out - units.data()));
        const std::size_t nul = chunk.find(u'\0');
        const bool last = step == Step::done || nul != std::u16string_view::npos;
        const char16_t* end = nul == std::u16string_view::npos ? out : units.data() + nul;
        if (!emit(units.data(), end, last)) return {};
        if (last) break;
    }
    return result;
}

// Decodes data, cuts before the first U+0000 and encodes the rest; only_gbk first narrows
// the text to what GBK can hold. Empty when either converter refuses its input.
Bytes transcode(std::string_view data, CodePage& decoder, CodePage& encoder, bool only_gbk) {
    // A UTF-8 byte-order mark is a signature of the data, not a character of the text;
    // ICU's UTF-16 and UTF-32 converters drop their own.
    if (decoder.canonical_name() == "UTF-8" && data.substr(0, 3) == "\xEF\xBB\xBF")
        data.remove_prefix(3);
    const bool target_is_gbk = encoder.canonical_name() == kGbkCodePage;
    const bool filtered = only_gbk && !target_is_gbk;
    if (!filtered && zero_byte_is_nul(encoder)) return convert_direct(data, decoder, encoder);
    return convert_through_units(data, decoder, encoder, filtered);
}

}  // namespace

Bytes convert_charset(std::string_view data, std::string_view source, std::string_view target,
                      std::optional<int> start) {
    if (data.empty()) return {};
    CodePage decoder(source.empty() ? std::string_view("UTF-8") : source);
    CodePage encoder(target.empty() ? kGbkCodePage : target, true);
    if (!decoder.ok() || !encoder.ok()) return {};
    Bytes result = transcode(data, decoder, encoder, true);
    if (start && *start > 0) result.erase(0, static_cast<std::size_t>(*start));
    return result;
}

Text gbk_from_utf8(std::string_view utf8) { return convert_charset(utf8, "UTF-8", kGbkCodePage); }

// Not narrowed to GBK: bytes that are not GBK must reach the window as U+FFFD, not '?'.
std::string utf8_from_gbk(std::string_view gbk) {
    if (gbk.empty()) return {};
    CodePage decoder(kGbkCodePage);
    CodePage encoder("UTF-8", true);
    if (!decoder.ok() || !encoder.ok()) return {};
    return transcode(gbk, decoder, encoder, false);
}

}  // namespace zolt
