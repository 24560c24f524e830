#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "headercheck/ip_address.h"
#include "tests/support/pseudo_random.h"

namespace {

// The dotted form parse_ipv4 gives, or "-" when the host is not an address.
std::string ipv4_or_dash(const std::string& host)
{
    std::uint32_t address = 0;
    if (!twhc::parse_ipv4(host, &address)) {
        return "-";
    }
    char out[15];
    return std::string(out, twhc::format_ipv4(address, out));
}

struct Ipv4Case {
    const char* host;
    const char* dotted;  // "-": not an address
};

class Ipv4Forms : public testing::TestWithParam<Ipv4Case> {};

TEST_P(Ipv4Forms, ReadAsWhatwgReadsThem)
{
    EXPECT_EQ(ipv4_or_dash(GetParam().host), GetParam().dotted) << GetParam().host;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, Ipv4Forms,
    testing::Values(
        // the spellings of one loopback address
        Ipv4Case{"127.0.0.1", "127.0.0.1"}, Ipv4Case{"127.1", "127.0.0.1"},
        Ipv4Case{"0x7f.1", "127.0.0.1"}, Ipv4Case{"2130706433", "127.0.0.1"},
        Ipv4Case{"0177.0.0.1", "127.0.0.1"}, Ipv4Case{"0x7F000001", "127.0.0.1"},
        Ipv4Case{"127.0.1", "127.0.0.1"}, Ipv4Case{"1.2.3.0x4", "1.2.3.4"},
        Ipv4Case{"0xA.0XB.0xc.0xD", "10.11.12.13"},
        // one trailing dot is the same host; an empty part anywhere else is not an address
        Ipv4Case{"1.2.3.4.", "1.2.3.4"}, Ipv4Case{"1.2.3.4..", "-"}, Ipv4Case{"1..2", "-"},
        Ipv4Case{".1", "-"}, Ipv4Case{".", "-"}, Ipv4Case{"", "-"},
        // "0x" with no digits is zero; a lone "0" is decimal; "08" and "09" are bad octal
        Ipv4Case{"0x", "0.0.0.0"}, Ipv4Case{"0X.", "0.0.0.0"}, Ipv4Case{"1.0x", "1.0.0.0"},
        Ipv4Case{"0x.0x.0x.0x", "0.0.0.0"}, Ipv4Case{"0", "0.0.0.0"}, Ipv4Case{"00", "0.0.0.0"},
        Ipv4Case{"09", "-"}, Ipv4Case{"08.1", "-"}, Ipv4Case{"0x1g", "-"}, Ipv4Case{"1e", "-"},
        Ipv4Case{"0x0x1", "-"}, Ipv4Case{"-1", "-"}, Ipv4Case{"+1", "-"}, Ipv4Case{"1.2.3.4 ", "-"},
        Ipv4Case{"example.com", "-"},
        // the last part fills what the leading ones leave, and no more
        Ipv4Case{"1.2.3.4.5", "-"}, Ipv4Case{"256.1.1.1", "-"}, Ipv4Case{"1.256.1", "-"},
        Ipv4Case{"1.2.3.256", "-"}, Ipv4Case{"1.2.65535", "1.2.255.255"}, Ipv4Case{"1.2.65536", "-"},
        Ipv4Case{"1.16777215", "1.255.255.255"}, Ipv4Case{"1.16777216", "-"},
        Ipv4Case{"4294967295", "255.255.255.255"}, Ipv4Case{"4294967296", "-"},
        Ipv4Case{"0xffffffff", "255.255.255.255"}, Ipv4Case{"0x100000000", "-"},
        Ipv4Case{"037777777777", "255.255.255.255"}, Ipv4Case{"040000000000", "-"},
        // digit strings far longer than any integer: no wrap-around into a valid address
        Ipv4Case{"18446744073709551617", "-"}, Ipv4Case{"0x10000000000000001", "-"},
        Ipv4Case{"0x10000000000000000000000000000000000000000000000000001", "-"},
        Ipv4Case{"1.0000000000000000000000000000000000000000000000000000000002", "1.0.0.2"},
        Ipv4Case{"0x00000000000000000000000000000000000000007f000001", "127.0.0.1"},
        Ipv4Case{"99999999999999999999999999999999999999999999999999999999999", "-"}));

struct EndsInNumberCase {
    const char* host;
    bool expected;
};

class EndsInNumber : public testing::TestWithParam<EndsInNumberCase> {};

TEST_P(EndsInNumber, LooksOnlyAtTheLastLabel)
{
    EXPECT_EQ(twhc::ends_in_number(GetParam().host), GetParam().expected) << GetParam().host;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, EndsInNumber,
    testing::Values(
        EndsInNumberCase{"1.2.3.4", true}, EndsInNumberCase{"1.2.3.4.", true},
        EndsInNumberCase{"example.09", true}, EndsInNumberCase{"1.2.3.999", true},
        EndsInNumberCase{"a.0x", true}, EndsInNumberCase{"a.0XfF", true}, EndsInNumberCase{"0x", true},
        EndsInNumberCase{"example.com", false}, EndsInNumberCase{"1.2.3.4.com", false},
        EndsInNumberCase{"a.0xg", false}, EndsInNumberCase{"a.1e", false}, EndsInNumberCase{"a.x1", false},
        EndsInNumberCase{"1..", false}, EndsInNumberCase{".", false}, EndsInNumberCase{"", false},
        EndsInNumberCase{"1.", true}, EndsInNumberCase{"a.1 ", false}));

// glibc's inet_aton reads the forms the clients' resolver accepts. It differs from WHATWG's
// reading in two ways only, both spellings of the same address there: it refuses one trailing
// dot, and it refuses "0x" with no digits (its strtoul reads the "0" and stops at the "x").
std::string as_inet_aton_spells_it(std::string host)
{
    if (!host.empty() && host.back() == '.') {
        host.pop_back();
    }
    std::string spelled;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = host.find('.', start);
        const std::string part = host.substr(start, dot - start);
        spelled += (part == "0x" || part == "0X") ? "0" : part;
        if (dot == std::string::npos) {
            return spelled;
        }
        spelled += '.';
        start = dot + 1;
    }
}

std::string random_ipv4_part(tw_test::PseudoRandom& next)
{
    static const char alphabet[] = "0123456789abcdefABCDEFxX";
    char text[64];
    switch (next() % 8) {
    case 0:
        std::snprintf(text, sizeof text, "%u", next() % 300);
        return text;
    case 1:
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(next()) << (next() % 24));
        return text;
    case 2:
        std::snprintf(text, sizeof text, "0%o", next() % 70000);
        return text;
    case 3:
        std::snprintf(text, sizeof text, next() % 2 ? "0x%x" : "0X%X", next() << (next() % 20));
        return text;
    case 4:
        return next() % 2 ? "0x" : "0X";
    case 5:
        return "";
    case 6:
        return std::string(next() % 30, '0') + std::to_string(next() % 600);
    default: {
        std::string junk;
        for (unsigned i = 1 + next() % 3; i > 0; --i) {
            junk += alphabet[next() % (sizeof alphabet - 1)];
        }
        return junk;
    }
    }
}

TEST(ParseIpv4, AgreesWithInetAton)
{
    static const char alphabet[] = "0123456789abcdefABCDEFxX.";
    tw_test::PseudoRandom next(2024);
    int addresses = 0;
    int respelled = 0;
    for (int round = 0; round < 200000; ++round) {
        std::string host;
        if (next() % 4 == 0) {
            for (unsigned i = next() % 16; i > 0; --i) {
                host += alphabet[next() % (sizeof alphabet - 1)];
            }
        } else {
            for (unsigned part = 1 + next() % 5; part > 0; --part) {
                host += random_ipv4_part(next) + (part > 1 ? "." : "");
            }
            if (next() % 8 == 0) {
                host += '.';
            }
        }
        const std::string spelled = as_inet_aton_spells_it(host);
        respelled += spelled != host;
        in_addr expected{};
        const bool valid = inet_aton(spelled.c_str(), &expected) != 0;
        std::uint32_t address = 0;
        ASSERT_EQ(twhc::parse_ipv4(host, &address), valid) << host;
        if (valid) {
            ++addresses;
            ASSERT_EQ(address, ntohl(expected.s_addr)) << host;
        }
    }
    // Enough of each kind that a fault in either would show.
    EXPECT_GT(addresses, 20000);
    EXPECT_GT(respelled, 20000);
}

TEST(FormatIpv4, AgreesWithInetNtop)
{
    tw_test::PseudoRandom next(7);
    for (int round = 0; round < 20000; ++round) {
        // Bytes below 10 and below 100 as often as three-digit ones.
        std::uint32_t address = 0;
        for (int byte = 0; byte < 4; ++byte) {
            const std::uint32_t limits[] = {10, 100, 256};
            address = address << 8 | next() % limits[next() % 3];
        }
        const in_addr network{htonl(address)};
        char expected[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, &network, expected, sizeof expected), nullptr);
        char out[15];
        ASSERT_EQ(std::string(out, twhc::format_ipv4(address, out)), expected);
    }
}

// The canonical text parse_ipv6 and format_ipv6 give, or "-" when the text is not an address.
std::string ipv6_or_dash(const std::string& text)
{
    std::uint16_t pieces[8];
    if (!twhc::parse_ipv6(text, pieces)) {
        return "-";
    }
    char out[39];
    return std::string(out, twhc::format_ipv6(pieces, out));
}

struct Ipv6Case {
    const char* text;
    const char* canonical;  // "-": not an address
};

class Ipv6Text : public testing::TestWithParam<Ipv6Case> {};

TEST_P(Ipv6Text, BecomesTheCanonicalForm)
{
    EXPECT_EQ(ipv6_or_dash(GetParam().text), GetParam().canonical) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Ipv6Text,
    testing::Values(
        Ipv6Case{"::", "::"}, Ipv6Case{"::1", "::1"}, Ipv6Case{"0:0:0:0:0:0:0:1", "::1"},
        Ipv6Case{"::0001", "::1"}, Ipv6Case{"1::", "1::"}, Ipv6Case{"2001:DB8::1", "2001:db8::1"},
        Ipv6Case{"0:0:0:0:0:0:0:0", "::"}, Ipv6Case{"FFFF:ffff::", "ffff:ffff::"},
        Ipv6Case{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        // the first of the longest zero runs goes; a lone zero stays
        Ipv6Case{"1:0:0:2:0:0:0:3", "1:0:0:2::3"}, Ipv6Case{"1:0:0:1:0:0:1:0", "1::1:0:0:1:0"},
        Ipv6Case{"1:0:3:4:5:6:7:8", "1:0:3:4:5:6:7:8"}, Ipv6Case{"0:0:1:0:0:0:0:0", "0:0:1::"},
        Ipv6Case{"0:1:0:1:0:1:0:1", "0:1:0:1:0:1:0:1"},
        // "::" stands for one zero piece or more, at either end
        Ipv6Case{"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"}, Ipv6Case{"::1:2:3:4:5:6:7", "0:1:2:3:4:5:6:7"},
        Ipv6Case{"1:2:3::5:6:7:8", "1:2:3:0:5:6:7:8"},
        // a dotted IPv4 tail is the last 32 bits, never written back that way
        Ipv6Case{"::ffff:1.2.3.4", "::ffff:102:304"}, Ipv6Case{"::1.2.3.4", "::102:304"},
        Ipv6Case{"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"}, Ipv6Case{"::0.0.0.0", "::"},
        Ipv6Case{"::255.255.255.255", "::ffff:ffff"},
        // not addresses
        Ipv6Case{":::", "-"}, Ipv6Case{"1:::2", "-"}, Ipv6Case{"1::2::3", "-"},
        Ipv6Case{"1:2:3:4:5:6:7:8:9", "-"}, Ipv6Case{"1:2:3:4:5:6:7", "-"},
        Ipv6Case{"1:2:3:4::5:6:7:8", "-"}, Ipv6Case{"::1:2:3:4:5:6:7:8", "-"},
        Ipv6Case{"12345::", "-"}, Ipv6Case{"::00001", "-"}, Ipv6Case{"::g", "-"},
        Ipv6Case{"", "-"}, Ipv6Case{":", "-"}, Ipv6Case{":1", "-"}, Ipv6Case{"1:", "-"},
        Ipv6Case{"1:2:3:4:5:6:7:8:", "-"}, Ipv6Case{"[::1]", "-"}, Ipv6Case{" ::1", "-"},
        Ipv6Case{"::1 ", "-"}, Ipv6Case{"fe80::1%eth0", "-"},
        Ipv6Case{"1.2.3.4", "-"}, Ipv6Case{"::1.2.3", "-"}, Ipv6Case{"::1.2.3.04", "-"},
        Ipv6Case{"::1.2.3.256", "-"}, Ipv6Case{"::1.2.3.4.5", "-"}, Ipv6Case{"::1.2.3.4.", "-"},
        Ipv6Case{"::1.2..4", "-"}, Ipv6Case{"::.1.2.3", "-"}, Ipv6Case{"::1.2.3.4:1", "-"},
        Ipv6Case{"::a.2.3.4", "-"}, Ipv6Case{"::0x1.2.3.4", "-"},
        Ipv6Case{"1:2:3:4:5:6:7:1.2.3.4", "-"}, Ipv6Case{"1:2:3:4:5:6:7:8:1.2.3.4", "-"},
        Ipv6Case{"::1:2:3:4:5:6:1.2.3.4", "-"}, Ipv6Case{"1::2:3:4:5:6:1.2.3.4", "-"},
        Ipv6Case{"::1:2:3:4:5:1.2.3.4", "0:1:2:3:4:5:102:304"}));

// Pieces with long and short zero runs in every position.
void random_pieces(tw_test::PseudoRandom& next, std::uint16_t pieces[8])
{
    for (int i = 0; i < 8; ++i) {
        const unsigned kind = next() % 8;
        pieces[i] = static_cast<std::uint16_t>(kind < 4 ? 0 : kind == 4 ? next() % 16 : next());
    }
}

TEST(FormatIpv6, RoundTripsAndAgreesWithInetNtop)
{
    tw_test::PseudoRandom next(99);
    for (int round = 0; round < 50000; ++round) {
        std::uint16_t pieces[8];
        random_pieces(next, pieces);
        char out[39];
        const std::string text(out, twhc::format_ipv6(pieces, out));
        std::uint16_t parsed[8];
        ASSERT_TRUE(twhc::parse_ipv6(text, parsed)) << text;
        ASSERT_EQ(std::memcmp(parsed, pieces, sizeof pieces), 0) << text;

        unsigned char network[16];
        for (int i = 0; i < 8; ++i) {
            network[2 * i] = static_cast<unsigned char>(pieces[i] >> 8);
            network[2 * i + 1] = static_cast<unsigned char>(pieces[i]);
        }
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, network, expected, sizeof expected), nullptr);
        if (std::strchr(expected, '.') != nullptr) {
            // glibc writes IPv4-compatible and IPv4-mapped addresses with a dotted tail, which
            // RFC 5952 allows and WHATWG never does.
            ASSERT_TRUE(pieces[0] == 0 && pieces[1] == 0 && pieces[2] == 0 && pieces[3] == 0 &&
                        pieces[4] == 0 && (pieces[5] == 0 || pieces[5] == 0xFFFF)) << expected;
            continue;
        }
        ASSERT_EQ(text, expected);
    }
}

// Every way of writing an address that RFC 4291 allows: any case, leading zeros, "::" over any
// run of zero pieces (not only the longest), a dotted tail.
std::string random_spelling(tw_test::PseudoRandom& next, const std::uint16_t pieces[8])
{
    std::size_t skip_from = 8;
    std::size_t skip_to = 8;
    if (next() % 4 != 0) {
        const std::size_t start = next() % 8;
        std::size_t end = start;
        while (end < 8 && pieces[end] == 0) {
            ++end;
        }
        if (end > start) {
            skip_from = start;
            skip_to = start + 1 + next() % (end - start);
        }
    }
    const bool dotted_tail = next() % 4 == 0 && skip_to <= 6;
    std::string text;
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == skip_from) {
            text += i == 0 ? "::" : ":";
            i = skip_to - 1;
            continue;
        }
        char piece[16];
        if (dotted_tail && i == 6) {
            std::snprintf(piece, sizeof piece, "%u.%u.%u.%u", pieces[6] >> 8, pieces[6] & 0xFFu,
                          pieces[7] >> 8, pieces[7] & 0xFFu);
            text += piece;
            break;
        }
        const int digits = 1 + static_cast<int>(next() % 4);
        std::snprintf(piece, sizeof piece, next() % 2 ? "%0*x" : "%0*X", digits, pieces[i]);
        text += piece;
        if (i != 7) {
            text += ':';
        }
    }
    return text;
}

TEST(ParseIpv6, AgreesWithInetPtonOnEverySpelling)
{
    tw_test::PseudoRandom next(31337);
    for (int round = 0; round < 100000; ++round) {
        std::uint16_t pieces[8];
        random_pieces(next, pieces);
        const std::string text = random_spelling(next, pieces);
        unsigned char network[16];
        ASSERT_EQ(inet_pton(AF_INET6, text.c_str(), network), 1) << text;
        std::uint16_t parsed[8];
        ASSERT_TRUE(twhc::parse_ipv6(text, parsed)) << text;
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(parsed[i], network[2 * i] << 8 | network[2 * i + 1]) << text;
            ASSERT_EQ(parsed[i], pieces[i]) << text;
        }
    }
}

// Short texts of address bytes, mostly not addresses: neither reader accepts what the other
// refuses.
TEST(ParseIpv6, RefusesWhatInetPtonRefuses)
{
    static const char alphabet[] = "0001fF::::..";
    tw_test::PseudoRandom next(4242);
    int addresses = 0;
    for (int round = 0; round < 300000; ++round) {
        std::string text;
        for (unsigned i = next() % 20; i > 0; --i) {
            text += alphabet[next() % (sizeof alphabet - 1)];
        }
        unsigned char network[16];
        const bool valid = inet_pton(AF_INET6, text.c_str(), network) == 1;
        std::uint16_t parsed[8];
        ASSERT_EQ(twhc::parse_ipv6(text, parsed), valid) << text;
        if (valid) {
            ++addresses;
            for (int i = 0; i < 8; ++i) {
                ASSERT_EQ(parsed[i], network[2 * i] << 8 | network[2 * i + 1]) << text;
            }
        }
    }
    EXPECT_GT(addresses, 1000);
}

}  // namespace
