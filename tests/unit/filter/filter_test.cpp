// The string filter encoder: exact bytes of every filter kind, escapes, blanks, lists, syntax
// errors, in-place restoration of the text, bounded nesting and clean failure under allocation
// faults. Expected bytes are written by hand from the filter choice tags:
//   and a0, or a1, not a2, equality a3, substrings a4 { type, 30 { 80 initial, 81 any,
//   82 final } }, greater-or-equal a5, less-or-equal a6, present 87 (type as content), approx a8,
//   extensible a9.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "tests/support/ber_builder.h"
#include "tests/support/runtime.h"

namespace {

using qortest::Bytes;
using qortest::hex;

class FilterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(qortest::module_loaded()); }

    void SetUp() override {
        ASSERT_EQ(wmtpc(&pool_, 4096, 1024, 258, 0), 0);
        ASSERT_NE(pool_, nullptr);
    }

    void TearDown() override {
        qorhost_fail_reset();
        EXPECT_EQ(live_blocks(), 0) << "the test left blocks in its pool";
        wmpoold(pool_);
    }

    long live_blocks() const { return qortest::pool_stats(pool_).live_blocks; }

    // Runs `encoder` on a modifiable copy of `text` with a fresh element; the bytes written, or
    // nullopt when it answered -1. Checks that the text reads as before, whatever the outcome.
    template <typename Encoder>
    std::optional<Bytes> run(std::string_view text, Encoder encoder) {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        BerElement *ber = berallt(pool_, 0);
        EXPECT_NE(ber, nullptr);
        if (ber == nullptr) return std::nullopt;
        const int32_t result = encoder(ber, buffer.data());
        EXPECT_EQ(std::string_view(buffer.data()), text) << "the text was not restored";
        std::optional<Bytes> bytes;
        if (result == 0) {
            bytes = ber->be_start != nullptr ? Bytes(ber->be_start, ber->be_pos) : Bytes{};
        } else {
            EXPECT_EQ(result, -1);
        }
        berfree(ber, 1);
        return bytes;
    }

    // put_filter on `text`.
    std::optional<Bytes> encode(std::string_view text) { return run(text, put_filter); }

    void expect_encoding(std::string_view text, std::string_view expected_hex) {
        const std::optional<Bytes> bytes = encode(text);
        ASSERT_TRUE(bytes.has_value()) << "'" << text << "' was refused";
        EXPECT_EQ(qortest::to_hex(*bytes), qortest::to_hex(hex(expected_hex))) << "filter '" << text << "'";
    }

    // expect_encoding for each text and its expected bytes.
    struct Encoding {
        const char *text;
        const char *expected_hex;
    };
    void expect_encodings(std::initializer_list<Encoding> cases) {
        for (const Encoding &c : cases) expect_encoding(c.text, c.expected_hex);
    }

    void expect_refused(std::string_view text) { EXPECT_FALSE(encode(text).has_value()) << "'" << text << "' was accepted"; }

    HostPool *pool_ = nullptr;
};

TEST_F(FilterTest, SimpleItemsChooseTheirChoiceByOperator) {
    expect_encoding("(cn=x)", "a3 07 04 02 63 6e 04 01 78");
    expect_encoding("(cn=*)", "87 02 63 6e");
    expect_encoding("(n>=5)", "a5 06 04 01 6e 04 01 35");
    expect_encoding("(cn<=m)", "a6 07 04 02 63 6e 04 01 6d");
    expect_encoding("(sn~=smyth)", "a8 0b 04 02 73 6e 04 05 73 6d 79 74 68");
    // A "*" in an ordering or approximate value is an ordinary character.
    expect_encoding("(cn<=a*)", "a6 08 04 02 63 6e 04 02 61 2a");
    expect_encoding("(cn~=*)", "a8 07 04 02 63 6e 04 01 2a");
    // "=" first: an empty type, and no operator character to look at.
    expect_encoding("(=x)", "a3 05 04 00 04 01 78");
    // Only the first "=" splits.
    expect_encoding("(a=b=c)", "a3 08 04 01 61 04 03 62 3d 63");
    // An empty value is still an equality.
    expect_encoding("(cn=)", "a3 06 04 02 63 6e 04 00");
}

TEST_F(FilterTest, BlanksAroundTheOperatorBelongToTypeAndValue) {
    expect_encoding("(cn = x)", "a3 09 04 03 63 6e 20 04 02 20 78");
    expect_encoding("( cn=x )", "a3 09 04 03 20 63 6e 04 02 78 20");
}

TEST_F(FilterTest, SubstringsSplitAtEachStar) {
    expect_encoding("(cn=a*b*c)", "a4 0f 04 02 63 6e 30 09 80 01 61 81 01 62 82 01 63");
    expect_encoding("(cn=*b)", "a4 09 04 02 63 6e 30 03 82 01 62");
    expect_encoding("(cn=a*)", "a4 09 04 02 63 6e 30 03 80 01 61");
    expect_encoding("(cn=*a*b*)", "a4 0c 04 02 63 6e 30 06 81 01 61 81 01 62");
    expect_encoding("(cn=**)", "a4 06 04 02 63 6e 30 00");
    expect_encoding("(cn=ab**cd)", "a4 0e 04 02 63 6e 30 08 80 02 61 62 82 02 63 64");
    expect_encoding("(cn=***x)", "a4 09 04 02 63 6e 30 03 82 01 78");
}

TEST_F(FilterTest, EscapesShieldParenthesesAndAreRemovedBeforeSplitting) {
    // An escaped "*" still splits: escapes only protect parentheses from the matching.
    expect_encoding("(cn=a\\*b)", "a4 0c 04 02 63 6e 30 06 80 01 61 82 01 62");
    expect_encoding("(cn=a\\)b)", "a3 09 04 02 63 6e 04 03 61 29 62");
    expect_encoding("(cn=a\\(b)", "a3 09 04 02 63 6e 04 03 61 28 62");
    expect_encoding("(cn=a\\\\b)", "a3 09 04 02 63 6e 04 03 61 5c 62");
    // An escaped backslash does not escape the ")" after it.
    expect_encoding("(cn=a\\\\)", "a3 08 04 02 63 6e 04 02 61 5c");
    // Unbalanced parentheses inside a value are fine when escaped.
    expect_encoding("(cn=\\)\\)\\()", "a3 09 04 02 63 6e 04 03 29 29 28");
    // A balanced pair inside a value needs no escape.
    expect_encoding("(cn=(x))", "a3 09 04 02 63 6e 04 03 28 78 29");
    // An escaped "=" is an ordinary "=" once escapes are gone.
    expect_encoding("(a\\=b=c)", "a3 08 04 01 61 04 03 62 3d 63");
    // A bare item loses its escapes too, and a trailing lone backslash disappears.
    expect_encoding("cn=a\\*", "a4 09 04 02 63 6e 30 03 80 01 61");
    expect_encoding("cn=x\\", "a3 07 04 02 63 6e 04 01 78");
}

TEST_F(FilterTest, HexEscapesAreLiteralBytes) {
    expect_encodings({
        {"(cn=test \\28paren\\29)", "a3 12 04 02 63 6e 04 0c 74 65 73 74 20 28 70 61 72 65 6e 29"},
        {"(cn=J\\c3\\bcrgen*)", "a4 0f 04 02 63 6e 30 09 80 07 4a c3 bc 72 67 65 6e"},
        // An escaped "*" is a value byte, never a wildcard or a presence test.
        {"(cn=a\\2ab)", "a3 09 04 02 63 6e 04 03 61 2a 62"},
        {"(cn=\\2a)", "a3 07 04 02 63 6e 04 01 2a"},
        {"(cn=*\\2A*)", "a4 09 04 02 63 6e 30 03 81 01 2a"},
        // Any byte, NUL included; digits in either case.
        {"(cn=\\00\\fF)", "a3 08 04 02 63 6e 04 02 00 ff"},
        // Nor is an escaped byte an operator where it stands in the type.
        {"(c\\6e=x)", "a3 07 04 02 63 6e 04 01 78"},
        {"(cn\\3e=x)", "a3 08 04 03 63 6e 3e 04 01 78"},
        {"(cn\\3a=x)", "a3 08 04 03 63 6e 3a 04 01 78"},
        // An escaped backslash starts no escape; one hex digit keeps the old meaning.
        {"(cn=a\\\\28)", "a3 0a 04 02 63 6e 04 04 61 5c 32 38"},
        {"(cn=a\\2)", "a3 08 04 02 63 6e 04 02 61 32"},
        {"(cn=\\4x)", "a3 08 04 02 63 6e 04 02 34 78"},
        {"cn=\\29", "a3 07 04 02 63 6e 04 01 29"},
    });
}

TEST_F(FilterTest, ExtensibleMatchesAreMatchingRuleAssertions) {
    // a9 { 81 rule, 82 type, 83 value, 84 dnAttributes TRUE }
    expect_encodings({
        {"(cn:=Bob Baker)", "a9 0f 82 02 63 6e 83 09 42 6f 62 20 42 61 6b 65 72"},
        {"(ou:dn:=people)", "a9 0f 82 02 6f 75 83 06 70 65 6f 70 6c 65 84 01 ff"},
        {"(cn:caseExactMatch:=x)", "a9 17 81 0e 63 61 73 65 45 78 61 63 74 4d 61 74 63 68 82 02 63 6e 83 01 78"},
        {"(cn:DN:2.5.13.5:=x)", "a9 14 81 08 32 2e 35 2e 31 33 2e 35 82 02 63 6e 83 01 78 84 01 ff"},
        {"(:caseExactMatch:=x)", "a9 13 81 0e 63 61 73 65 45 78 61 63 74 4d 61 74 63 68 83 01 78"},
        {"(:dn:2.5.13.5:=x)", "a9 10 81 08 32 2e 35 2e 31 33 2e 35 83 01 78 84 01 ff"},
        // The value is taken as it is: "*" is ordinary, escapes are decoded.
        {"(cn:=a*\\2a\\28)", "a9 0a 82 02 63 6e 83 04 61 2a 2a 28"},
        {"(&(cn:=x)(!(sn:dn:=y)))", "a0 17 a9 07 82 02 63 6e 83 01 78 a2 0c a9 0a 82 02 73 6e 83 01 79 84 01 ff"},
    });
    // Nothing to match with (no type and no rule), an empty rule, or fields out of order.
    for (std::string_view text : {"(:=x)", "(:dn:=x)", "(::=x)", "(cn::=x)", "(cn:dn::=x)", "(cn:rule:dn:=x)",
                                  "(cn:dn:rule:more:=x)", "(|(a=1)(:=x))"}) {
        expect_refused(text);
    }
}

TEST_F(FilterTest, ComplexFiltersNestAndSkipWhiteSpaceBetweenItems) {
    const char *two_equalities = "a3 06 04 01 61 04 01 31 a3 06 04 01 62 04 01 32";
    expect_encoding("(&(a=1)(b=2))", std::string("a0 10 ") + two_equalities);
    expect_encoding("(|(a=1)(b=2))", std::string("a1 10 ") + two_equalities);
    expect_encoding("(&(a=1) (b=2))", std::string("a0 10 ") + two_equalities);
    expect_encoding("(&  \t\n(a=1)\r\n (b=2)  )", std::string("a0 10 ") + two_equalities);
    // A not holds whatever list it is given.
    expect_encoding("(!(a=1)(b=2))", std::string("a2 10 ") + two_equalities);
    expect_encoding("(!(a=1))", "a2 08 a3 06 04 01 61 04 01 31");
    expect_encoding("(&)", "a0 00");
    expect_encoding("(|)", "a1 00");
    expect_encoding("(&(|(!(a=1))))", "a0 0c a1 0a a2 08 a3 06 04 01 61 04 01 31");
    expect_encoding("(&(objectclass=person)(|(cn=a*)(sn~=smyth))(!(mail=*)))",
                    "a0 39"
                    " a3 15 04 0b 6f 62 6a 65 63 74 63 6c 61 73 73 04 06 70 65 72 73 6f 6e"
                    " a1 18 a4 09 04 02 63 6e 30 03 80 01 61 a8 0b 04 02 73 6e 04 05 73 6d 79 74 68"
                    " a2 06 87 04 6d 61 69 6c");
    // Parentheses inside list items are matched with escapes in mind.
    expect_encoding("(&(cn=a\\)b)(sn=\\(c))",
                    "a0 15 a3 09 04 02 63 6e 04 03 61 29 62 a3 08 04 02 73 6e 04 02 28 63");
}

TEST_F(FilterTest, TopLevelTakesBareItemsBlanksAndSeveralFilters) {
    const char *cn_x = "a3 07 04 02 63 6e 04 01 78";
    expect_encoding("cn=x", cn_x);
    expect_encoding("  cn=x", cn_x);
    expect_encoding(" (cn=x) ", cn_x);
    expect_encoding("cn=x)", "a3 08 04 02 63 6e 04 02 78 29");
    expect_encoding("(a=1)(b=2)", "a3 06 04 01 61 04 01 31 a3 06 04 01 62 04 01 32");
    // After a parenthesised filter, a bare item takes the whole rest of the text.
    expect_encoding("(a=1)b=2 (c=3)", "a3 06 04 01 61 04 01 31 a3 0c 04 01 62 04 07 32 20 28 63 3d 33 29");
    expect_encoding("", "");
    expect_encoding("   ", "");
}

TEST_F(FilterTest, SyntaxErrorsAreRefusedAndTheTextRestored) {
    for (std::string_view text : {"(cn<m)", "cn", "(cn)", "(&(a=1)x)", "(&x)", "(a=1))", ")", "(a=1))(b=2)", "(a=1",
                                  "((a=1)", "(&(a=1)", "(&", "(!(a=1)(b=2)", "(|(a=1)(b))", "(&(a=1)(b=2)))", "(",
                                  "(cn=a\\)", "(&(a=1))x)"}) {
        expect_refused(text);
    }
}

TEST_F(FilterTest, NestingIsBounded) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "(!";
        text += "(a=1)";
        text += std::string(static_cast<std::size_t>(depth), ')');
        return text;
    };
    Bytes expected = hex("a3 06 04 01 61 04 01 31");
    for (int i = 0; i < 64; ++i) expected = qortest::ber::constructed(0xa2, {expected});
    EXPECT_EQ(encode(nested(64)), std::optional<Bytes>(expected));
    expect_refused(nested(65));
    // Far beyond the bound: refused without exhausting the stack.
    expect_refused(nested(200000));
}

TEST_F(FilterTest, FindRightParenHonoursNestingAndEscapes) {
    std::string text = "a(b)c\\)d)e)";
    EXPECT_EQ(find_right_paren(text.data()), text.data() + 8);
    std::string unclosed = "a(b)";
    EXPECT_EQ(find_right_paren(unclosed.data()), nullptr);
    std::string escaped_backslash = "a\\\\)";
    EXPECT_EQ(find_right_paren(escaped_backslash.data()), escaped_backslash.data() + 3);
    std::string empty;
    EXPECT_EQ(find_right_paren(empty.data()), nullptr);
}

TEST_F(FilterTest, EntryPointsWorkOnTheirOwnPieces) {
    auto simple = run("cn=a*b", put_simple_filter);
    ASSERT_TRUE(simple.has_value());
    EXPECT_EQ(*simple, hex("a4 0c 04 02 63 6e 30 06 80 01 61 82 01 62"));
    // put_simple_filter takes the item as it stands: no escape removal.
    auto raw = run("cn=a\\b", put_simple_filter);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(*raw, hex("a3 09 04 02 63 6e 04 03 61 5c 62"));

    auto list = run(" (a=1)\t(b=2) ", put_filter_list);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, hex("a3 06 04 01 61 04 01 31 a3 06 04 01 62 04 01 32"));
    EXPECT_EQ(run("", put_filter_list), std::optional<Bytes>(Bytes{}));

    // put_complex_filter answers the position after the ")" that closes the operator's list.
    std::string text = "&(a=1))(rest";
    BerElement *ber = berallt(pool_, 0);
    ASSERT_NE(ber, nullptr);
    EXPECT_EQ(put_complex_filter(ber, text.data(), 0xA0), text.data() + 7);
    EXPECT_EQ(text, "&(a=1))(rest");
    EXPECT_EQ(Bytes(ber->be_start, ber->be_pos), hex("a0 08 a3 06 04 01 61 04 01 31"));
    berfree(ber, 1);

    std::string type = "cn";
    std::string value = "x*y";
    ber = berallt(pool_, 0);
    ASSERT_NE(ber, nullptr);
    EXPECT_EQ(put_substring_filter(ber, type.data(), value.data()), 0);
    EXPECT_EQ(value, "x*y");
    EXPECT_EQ(Bytes(ber->be_start, ber->be_pos), hex("a4 0c 04 02 63 6e 30 06 80 01 78 82 01 79"));
    berfree(ber, 1);
}

TEST_F(FilterTest, EqualityHelperWritesTheValueAsItStands) {
    BerElement *ber = berallt(pool_, 0);
    ASSERT_NE(ber, nullptr);
    // "*", "\" and parentheses are plain bytes here.
    EXPECT_EQ(put_equality_filter(ber, "member", "cn=a*\\(b),o=x"), 0);
    EXPECT_EQ(qortest::to_hex(Bytes(ber->be_start, ber->be_pos)),
              qortest::to_hex(hex("a3 17 04 06 6d 65 6d 62 65 72 04 0d 63 6e 3d 61 2a 5c 28 62 29 2c 6f 3d 78")));
    berfree(ber, 1);
}

TEST_F(FilterTest, AllocationFailuresFailCleanly) {
    const std::string text = "(&(objectclass=person)(|(cn=a*)(sn~=smyth))(!(mail=*))(uid=\\(x\\))(cn:dn:=\\2a))";
    bool completed = false;
    for (long nth = 1; nth < 100 && !completed; ++nth) {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        BerElement *ber = berallt(pool_, 0);
        ASSERT_NE(ber, nullptr);
        int32_t result = 0;
        long injected = 0;
        {
            qortest::FailAllocations fail(nth);
            result = put_filter(ber, buffer.data());
            injected = fail.injected();
        }
        EXPECT_EQ(std::string(buffer.data()), text);
        berfree(ber, 1);
        EXPECT_EQ(live_blocks(), 0) << "blocks left behind with allocation " << nth << " failing";
        if (injected == 0) {
            completed = true;
            EXPECT_EQ(result, 0);
        } else {
            EXPECT_EQ(result, -1) << "allocation " << nth << " failed but the filter was reported written";
        }
    }
    EXPECT_TRUE(completed);
}

}  // namespace
