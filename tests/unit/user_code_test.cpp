#include <gtest/gtest.h>

#include "frameinfo/path_prefixes.h"
#include "frameinfo/user_code.h"

namespace {

struct PathCase {
    const char* path;
    bool user_code;
};

class UserCode : public testing::TestWithParam<PathCase> {};

TEST_P(UserCode, ClassifiesByPath)
{
    EXPECT_EQ(twfi::is_user_code(GetParam().path), GetParam().user_code) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UserCode,
    testing::Values(PathCase{"<string>", false}, PathCase{"<frozen importlib._bootstrap>", false},
                    PathCase{"</srv/app/x.py", false}, PathCase{"/srv/<app>/x.py", true},
                    PathCase{"/usr/lib/python3.14/json/decoder.py", false},
                    PathCase{"/usr/local/lib/python3.14/json/decoder.py", false},
                    PathCase{"/usr/lib64/python3.14/json/decoder.py", false},
                    PathCase{"/usr/lib32/python3.14/json/decoder.py", true},
                    PathCase{"/srv/.venv/lib64/python3.14/site-packages/requests/api.py", false},
                    PathCase{"/usr/lib/python3/dist-packages/yaml/__init__.py", false},
                    PathCase{"/opt/my-site-packages-tool/run.py", false},
                    PathCase{"C:\\Python314\\lib\\python\\x.py", false},
                    PathCase{"C:\\Python314\\Lib\\json\\decoder.py", true},
                    PathCase{"C:\\Python314\\Lib\\Python\\x.py", true},
                    PathCase{"/opt/App/Site-Packages/x.py", true},
                    PathCase{"/home/dev/tw-vantrel/tw_vantrel/patches/http.py", false},
                    PathCase{"/home/dev/tw_vantrel/x.py", true},
                    PathCase{"/srv/app/handlers/orders.py", true}, PathCase{"", true},
                    PathCase{"site-packages", false}, PathCase{"site-package", true},
                    PathCase{"/lib/pytho", true}));

}  // namespace

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/pseudo_random.h"
#include "tests/support/reference_user_code.h"

namespace {

// Paths built from the markers' own pieces, at every alignment, against the plain searches.
TEST(UserCode, AgreesWithThePlainSearchesAtEveryAlignment)
{
    static const char* const pieces[] = {"/", "\\", "lib", "lib64", "python", "site", "dist", "-",
                                         "packages", "tw", "vantrel", "p", "<", "x", "py"};
    tw_test::PseudoRandom next(7);
    alignas(16) char buffer[160];
    for (int round = 0; round < 50000; ++round) {
        std::string path;
        const std::size_t count = next() % 12;
        for (std::size_t i = 0; i < count; ++i) {
            path += pieces[next() % (sizeof pieces / sizeof pieces[0])];
        }
        path.resize(std::min<std::size_t>(path.size(), 120));
        const std::size_t offset = next() % 16;
        std::memset(buffer, 'p', sizeof buffer);
        std::memcpy(buffer + offset, path.c_str(), path.size() + 1);
        ASSERT_EQ(twfi::is_user_code(buffer + offset), twfi_reference::is_user_code(buffer + offset))
            << path << " at offset " << offset;
    }
}

}  // namespace

namespace {

// The rules of the lists, kept alive with the strings they were made from.
struct Rules {
    std::vector<std::string_view> include;
    std::vector<std::string_view> exclude;
    twfi::UserCodeRules made;
    Rules(std::vector<std::string_view> in, std::vector<std::string_view> ex) : include(std::move(in)), exclude(std::move(ex))
    {
        EXPECT_TRUE(twfi::make_rules(include.data(), include.size(), exclude.data(), exclude.size(), &made));
    }
    ~Rules() { twfi::free_rules(made); }
    Rules(const Rules&) = delete;
    Rules& operator=(const Rules&) = delete;
};

struct PrefixCase {
    std::vector<std::string_view> include;
    std::vector<std::string_view> exclude;
    const char* path;
    bool user_code;
};

class PathPrefixRules : public testing::TestWithParam<PrefixCase> {};

TEST_P(PathPrefixRules, DecideOverTheBuiltInRule)
{
    const PrefixCase& c = GetParam();
    const Rules rules(c.include, c.exclude);
    EXPECT_EQ(twfi::is_user_code(c.path, std::strlen(c.path), rules.made), c.user_code) << c.path;
    EXPECT_EQ(twfi_reference::is_user_code(c.path, c.include, c.exclude), c.user_code) << c.path;
}

const char* const kInstalled = "/app/.venv/lib/python3.14/site-packages/orders_service/api.py";

INSTANTIATE_TEST_SUITE_P(
    Prefixes, PathPrefixRules,
    testing::Values(
        // include, with and without the trailing '/', the prefix itself, a longer sibling name
        PrefixCase{{"/app/.venv/lib/python3.14/site-packages/orders_service"}, {}, kInstalled, true},
        PrefixCase{{"/app/.venv/lib/python3.14/site-packages/orders_service/"}, {}, kInstalled, true},
        PrefixCase{{"/app/.venv/lib/python3.14/site-packages/orders"}, {}, kInstalled, false},
        PrefixCase{{"/srv/lib/python/app"}, {}, "/srv/lib/python/app", true},
        PrefixCase{{"/srv/lib/python/app/"}, {}, "/srv/lib/python/app", false},
        PrefixCase{{"/srv/lib/python/app/"}, {}, "/srv/lib/python/app/", true},
        PrefixCase{{"/srv/lib/python/app"}, {}, "/srv/lib/python/application/x.py", false},
        // exclude, the same forms; a path under neither keeps the built-in rule
        PrefixCase{{}, {"/srv/app/vendor"}, "/srv/app/vendor/lib.py", false},
        PrefixCase{{}, {"/srv/app/vendor/"}, "/srv/app/vendor/lib.py", false},
        PrefixCase{{}, {"/srv/app/vendor"}, "/srv/app/vendor", false},
        PrefixCase{{}, {"/srv/app/vendor/"}, "/srv/app/vendor", true},
        PrefixCase{{}, {"/srv/app/vendor"}, "/srv/app/vendored/lib.py", true},
        PrefixCase{{}, {"/srv/app/vendor"}, "/srv/lib/python3/x.py", false},
        // include wins wherever it stands, deeper or shallower than the exclude
        PrefixCase{{"/srv/app"}, {"/srv/app/vendor"}, "/srv/app/vendor/lib.py", true},
        PrefixCase{{"/srv/app/vendor/ours"}, {"/srv/app/vendor"}, "/srv/app/vendor/ours/x.py", true},
        PrefixCase{{"/srv/app/vendor/ours"}, {"/srv/app/vendor"}, "/srv/app/vendor/theirs/x.py", false},
        // a pseudo-file name is never user code; bytes, case-sensitive
        PrefixCase{{"<string>", "<"}, {}, "<string>", false},
        PrefixCase{{"/srv/App"}, {}, "/srv/app/site-packages/x.py", false},
        PrefixCase{{}, {"/SRV/app"}, "/srv/app/x.py", true},
        // the empty prefix and '/' cover every absolute path
        PrefixCase{{}, {""}, "/srv/app/x.py", false}, PrefixCase{{}, {"/"}, "/srv/app/x.py", false},
        PrefixCase{{}, {"/"}, "relative/x.py", true}, PrefixCase{{}, {""}, "", false},
        PrefixCase{{}, {"/"}, "", true}));

}  // namespace
