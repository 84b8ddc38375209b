// Which final results are kept: successes always, a size-limited search with the option word 0,
// every error with CACHE_OPT_KEEP_ALL_ERRORS, and nothing else.
#include <ostream>
#include <string>
#include <vector>

#include "cache_fixture.h"

namespace cachetest {
namespace {

using Strings = std::vector<std::string>;

struct KeepCase {
    int code;
    uint32_t options;
    bool kept;
};

std::ostream &operator<<(std::ostream &out, const KeepCase &c) {
    return out << "code " << c.code << " options " << c.options << (c.kept ? " kept" : " not kept");
}

class KeepTest : public CacheTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeepTest, RepeatedSearchIsAnsweredOnlyWhenItsResultWasKept) {
    const KeepCase c = GetParam();
    server_.accept().expect_request(ldap::op::search_request, 1).reply(two_entries(1, c.code));
    if (!c.kept) server_.expect_request(ldap::op::search_request, 2).reply(two_entries(2, c.code));
    open_session();
    ldap_set_cache_options(ld_, c.options);

    EXPECT_EQ(search("(cn=*)"), c.code);
    EXPECT_EQ(filed_count(ld_), c.kept ? 1 : 0);
    EXPECT_EQ(pending_count(ld_), 0);
    EXPECT_EQ(cache_of(ld_)->ca_memory_used, expected_memory(ld_));

    // The repetition brings the same code, matched DN and entries, from wherever it comes.
    EXPECT_EQ(search("(cn=*)"), c.code);
    EXPECT_EQ(entry_dns(ld_, result_), (Strings{kFirstDn, kSecondDn}));
    if (c.code != 0) {
        EXPECT_STREQ(ld_->ld_matched, "ou=x,o=t");
    }
    EXPECT_EQ(filed_count(ld_), c.kept ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Codes, KeepTest,
                         ::testing::Values(KeepCase{0, 0, true}, KeepCase{0, 1, true},
                                           KeepCase{0, CACHE_OPT_KEEP_ALL_ERRORS, true},
                                           KeepCase{4, 0, true}, KeepCase{4, 1, false},
                                           KeepCase{4, CACHE_OPT_KEEP_ALL_ERRORS, true},
                                           KeepCase{32, 0, false}, KeepCase{32, 1, false},
                                           KeepCase{32, CACHE_OPT_KEEP_ALL_ERRORS, true},
                                           KeepCase{32, CACHE_OPT_KEEP_ALL_ERRORS | 1, true}));

}  // namespace
}  // namespace cachetest
