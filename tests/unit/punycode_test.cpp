#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "headercheck/punycode.h"

namespace {

// The Punycode of the code points, or "-" when the encoder refuses them.
std::string punycode(std::u32string_view code_points, std::size_t capacity = 1024)
{
    std::string out(capacity, '\0');
    std::size_t length = 0;
    if (!twhc::punycode_encode(code_points.data(), code_points.size(), out.data(), capacity, &length)) {
        return "-";
    }
    out.resize(length);
    return out;
}

struct PunycodeCase {
    const char* name;
    const char32_t* code_points;
    const char* encoded;
};

class Punycode : public testing::TestWithParam<PunycodeCase> {};

TEST_P(Punycode, EncodesAsTheClientsDo)
{
    EXPECT_EQ(punycode(GetParam().code_points), GetParam().encoded) << GetParam().name;
}

// RFC 3492's samples (section 7.1), which Python's "punycode" codec gives byte for byte. The RFC
// writes sample I with one upper-case digit to show its case annotation; the clients send the
// lower-case one, as here.
INSTANTIATE_TEST_SUITE_P(
    Rfc3492, Punycode,
    testing::Values(
        PunycodeCase{"A Arabic (Egyptian)", U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F", "egbpdaj6bu4bxfgehfvwxn"},
        PunycodeCase{"B Chinese (simplified)", U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
        PunycodeCase{"C Chinese (traditional)", U"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587", "ihqwctvzc91f659drss3x8bo0yb"},
        PunycodeCase{"D Czech", U"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky", "Proprostnemluvesky-uyb24dma41a"},
        PunycodeCase{"E Hebrew", U"\u05DC\u05DE\u05D4\u05D4\u05DD\u05E4\u05E9\u05D5\u05D8\u05DC\u05D0\u05DE\u05D3\u05D1\u05E8\u05D9\u05DD\u05E2\u05D1\u05E8\u05D9\u05EA", "4dbcagdahymbxekheh6e0a7fei0b"},
        PunycodeCase{"F Hindi (Devanagari)", U"\u092F\u0939\u0932\u094B\u0917\u0939\u093F\u0928\u094D\u0926\u0940\u0915\u094D\u092F\u094B\u0902\u0928\u0939\u0940\u0902\u092C\u094B\u0932\u0938\u0915\u0924\u0947\u0939\u0948\u0902", "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
        PunycodeCase{"G Japanese (kanji and hiragana)", U"\u306A\u305C\u307F\u3093\u306A\u65E5\u672C\u8A9E\u3092\u8A71\u3057\u3066\u304F\u308C\u306A\u3044\u306E\u304B", "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
        PunycodeCase{"H Korean (Hangul syllables)", U"\uC138\uACC4\uC758\uBAA8\uB4E0\uC0AC\uB78C\uB4E4\uC774\uD55C\uAD6D\uC5B4\uB97C\uC774\uD574\uD55C\uB2E4\uBA74\uC5BC\uB9C8\uB098\uC88B\uC744\uAE4C", "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
        PunycodeCase{"I Russian (Cyrillic)", U"\u043F\u043E\u0447\u0435\u043C\u0443\u0436\u0435\u043E\u043D\u0438\u043D\u0435\u0433\u043E\u0432\u043E\u0440\u044F\u0442\u043F\u043E\u0440\u0443\u0441\u0441\u043A\u0438", "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
        PunycodeCase{"J Spanish", U"Porqu\u00E9nopuedensimplementehablarenEspa\u00F1ol", "PorqunopuedensimplementehablarenEspaol-fmd56a"},
        PunycodeCase{"K Vietnamese", U"T\u1EA1isaoh\u1ECDkh\u00F4ngth\u1EC3ch\u1EC9n\u00F3iti\u1EBFngVi\u1EC7t", "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
        PunycodeCase{"L", U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
        PunycodeCase{"M", U"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
        PunycodeCase{"N", U"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240", "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
        PunycodeCase{"O", U"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B2", "2-u9tlzr9756bt3uc0v"},
        PunycodeCase{"P", U"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "MajiKoi5-783gue6qz075azm5e"},
        PunycodeCase{"Q", U"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0", "de-jg4avhby1noc0d"},
        PunycodeCase{"R", U"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067", "d9juau41awczczp"},
        PunycodeCase{"S", U"-> $1.00 <-", "-> $1.00 <--"}));

INSTANTIATE_TEST_SUITE_P(
    HostLabels, Punycode,
    testing::Values(
        PunycodeCase{"bücher", U"b\u00FCcher", "bcher-kva"},
        PunycodeCase{"münchen", U"m\u00FCnchen", "mnchen-3ya"},
        PunycodeCase{"basic code points keep their case", U"M\u00FCnchen", "Mnchen-3ya"},
        PunycodeCase{"only non-basic code points: no delimiter", U"\u00FC", "tda"},
        PunycodeCase{"several non-basic code points", U"\u00FC\u00EB\u00E4\u00F6\u2665", "4can8av2009b"},
        PunycodeCase{"one repeated", U"\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4", "4caaaaaaaaaa"},
        PunycodeCase{"beyond the basic plane", U"\U0001F600", "e28h"},
        PunycodeCase{"the last code point", U"\U0010FFFF", "dn32g"},
        PunycodeCase{"only basic code points", U"abc", "abc-"},
        PunycodeCase{"nothing", U"", ""}));

TEST(PunycodeEncode, FailsRatherThanOverrunTheBuffer)
{
    const std::u32string label = U"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240";
    const std::string full = punycode(label);
    ASSERT_EQ(full, "Hello-Another-Way--fc4qua05auwb3674vfr0b");
    // Each capacity short of the whole fails, whether the basic part, the delimiter or a delta
    // digit is the byte that does not fit, and nothing past the capacity is touched.
    for (std::size_t capacity = 0; capacity < full.size(); ++capacity) {
        std::string out(full.size() + 1, '#');
        std::size_t length = 0;
        EXPECT_FALSE(twhc::punycode_encode(label.data(), label.size(), out.data(), capacity, &length)) << capacity;
        EXPECT_EQ(out.substr(capacity), std::string(full.size() + 1 - capacity, '#')) << capacity;
    }
    EXPECT_EQ(punycode(label, full.size()), full);
}

TEST(PunycodeEncode, FailsOnOverflowInsteadOfWrapping)
{
    // The first delta is (0x10FFFF - 128) * (basic + 1): 3854 basic code points keep it within
    // 32 bits, 3855 do not. The encoding of the first is Python's.
    std::u32string label(3854, U'a');
    label += U'\U0010FFFF';
    const std::string encoded = punycode(label, 4096);
    EXPECT_EQ(encoded, std::string(3854, 'a') + "-tp357616a");
    label.insert(label.begin(), U'a');
    EXPECT_EQ(punycode(label, 4096), "-");
}

// The code points decode_utf8 gives, in hex, or "-" when it refuses the bytes.
std::string decoded(std::string_view bytes, std::size_t capacity = 16)
{
    std::vector<char32_t> out(capacity);
    std::size_t count = 0;
    if (!twhc::decode_utf8(bytes, out.data(), capacity, &count)) {
        return "-";
    }
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        char buffer[12];
        std::snprintf(buffer, sizeof buffer, "%s%X", i ? " " : "", static_cast<unsigned>(out[i]));
        hex += buffer;
    }
    return hex;
}

struct Utf8Case {
    const char* bytes;
    const char* code_points;  // "-": refused
};

class DecodeUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(DecodeUtf8, ReadsOnlyWellFormedUtf8)
{
    EXPECT_EQ(decoded(GetParam().bytes), GetParam().code_points) << GetParam().bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, DecodeUtf8,
    testing::Values(
        Utf8Case{"", ""}, Utf8Case{"a.B", "61 2E 42"}, Utf8Case{"b\xC3\xBC" "cher", "62 FC 63 68 65 72"},
        // the first and last code point of each length
        Utf8Case{"\xC2\x80", "80"}, Utf8Case{"\xDF\xBF", "7FF"}, Utf8Case{"\xE0\xA0\x80", "800"},
        Utf8Case{"\xEF\xBF\xBF", "FFFF"}, Utf8Case{"\xF0\x90\x80\x80", "10000"},
        Utf8Case{"\xF4\x8F\xBF\xBF", "10FFFF"},
        // either side of the surrogates
        Utf8Case{"\xED\x9F\xBF", "D7FF"}, Utf8Case{"\xEE\x80\x80", "E000"},
        // overlong forms
        Utf8Case{"\xC0\x80", "-"}, Utf8Case{"\xC1\xBF", "-"}, Utf8Case{"\xE0\x80\x80", "-"},
        Utf8Case{"\xE0\x9F\xBF", "-"}, Utf8Case{"\xF0\x80\x80\x80", "-"}, Utf8Case{"\xF0\x8F\xBF\xBF", "-"},
        Utf8Case{"\xC0\xAE", "-"},
        // surrogates, and beyond U+10FFFF
        Utf8Case{"\xED\xA0\x80", "-"}, Utf8Case{"\xED\xBF\xBF", "-"}, Utf8Case{"\xF4\x90\x80\x80", "-"},
        Utf8Case{"\xF5\x80\x80\x80", "-"}, Utf8Case{"\xF8\x88\x80\x80\x80", "-"}, Utf8Case{"\xFF", "-"},
        // truncated sequences and stray continuation bytes
        Utf8Case{"\xE2\x82", "-"}, Utf8Case{"a\xE2\x82", "-"}, Utf8Case{"\xF0\x9F\x98", "-"},
        Utf8Case{"\xC3", "-"}, Utf8Case{"\xE2\x82" "a", "-"}, Utf8Case{"\xC3\xC3\xBC", "-"},
        Utf8Case{"\x80", "-"}, Utf8Case{"a\xBF", "-"}));

// The bytes are a view into a longer buffer, so a decoder that read past the end of the view
// would find the missing continuation bytes there.
TEST(DecodeUtf8, ReadsNothingPastTheEndOfTheBytes)
{
    const std::string_view sequences[] = {"\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    for (const std::string_view sequence : sequences) {
        ASSERT_NE(decoded(sequence), "-");
        for (std::size_t cut = 1; cut < sequence.size(); ++cut) {
            EXPECT_EQ(decoded(sequence.substr(0, cut)), "-") << sequence.size() << " bytes cut to " << cut;
        }
    }
}

TEST(DecodeUtf8Capacity, FailsRatherThanOverrunTheBuffer)
{
    EXPECT_EQ(decoded("b\xC3\xBC" "cher", 6), "62 FC 63 68 65 72");
    EXPECT_EQ(decoded("b\xC3\xBC" "cher", 5), "-");
    EXPECT_EQ(decoded("", 0), "");
    EXPECT_EQ(decoded("\xC3\xBC", 0), "-");
}

TEST(EncodeUtf8, RoundTripsEveryScalarValueInItsShortestForm)
{
    for (char32_t code_point = 0; code_point <= 0x10FFFF; ++code_point) {
        char bytes[4];
        const std::size_t length = twhc::encode_utf8(code_point, bytes);
        if (code_point >= 0xD800 && code_point <= 0xDFFF) {
            ASSERT_EQ(length, 0u) << std::hex << static_cast<unsigned>(code_point);
            continue;
        }
        const std::size_t shortest = code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
        ASSERT_EQ(length, shortest) << std::hex << static_cast<unsigned>(code_point);
        char32_t back = 0;
        std::size_t count = 0;
        ASSERT_TRUE(twhc::decode_utf8(std::string_view(bytes, length), &back, 1, &count));
        ASSERT_EQ(count, 1u);
        ASSERT_EQ(back, code_point);
    }
    char bytes[4];
    EXPECT_EQ(twhc::encode_utf8(0x110000, bytes), 0u);
    EXPECT_EQ(twhc::encode_utf8(0xFFFFFFFF, bytes), 0u);
}

TEST(Utf8ToPunycode, GivesTheLabelOfAnInternationalName)
{
    const std::string_view label = "m\xC3\xBCnchen";
    char32_t code_points[16];
    std::size_t count = 0;
    ASSERT_TRUE(twhc::decode_utf8(label, code_points, 16, &count));
    EXPECT_EQ(punycode(std::u32string_view(code_points, count)), "mnchen-3ya");
}

}  // namespace
