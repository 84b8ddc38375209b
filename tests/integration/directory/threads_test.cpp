// Independent sessions on different threads: each thread opens its own session and repeats
// lookups and comparisons of its own person while the others do the same. Every answer must be
// that thread's own (sockets, waits, timers, pools and translators are per session or locked).
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "integration_fixture.h"

namespace {

using namespace dstest;

struct Person {
    const char *uid;
    const char *dn;
    const char *mail;
    int32_t number;
};

constexpr Person kPeople[] = {
    {"alice", "cn=Alice Archer,ou=people,o=example", "alice@example.org", 1001},
    {"bob", "cn=Bob Baker,ou=people,o=example", "bob@example.org", 1002},
    {"carol", "cn=Carol Clark,ou=people,o=example", "carol@example.org", 1003},
    {"dave", "cn=Dave Dawson,ou=people,o=example", "dave@example.org", 1004},
};

constexpr int kRounds = 150;

class ThreadsTest : public DirectoryIntegrationTest {
protected:
    // One thread's work; returns how many rounds gave a wrong or failed answer.
    int look_up_repeatedly(const Person &person, bool authenticated) {
        LDAP *ld = nullptr;
        const int32_t opened = ds_.dsopen(&ld, "127.0.0.1", server_->port(), 0, "o=example",
                                          authenticated ? kAdmin : nullptr, authenticated ? kAdminPassword : nullptr);
        if (opened != DS_OK) {
            ADD_FAILURE() << person.uid << ": dsopen " << std::hex << opened;
            return kRounds;
        }
        const std::string filter = std::string("(uid=") + person.uid + ")";
        char *wanted[] = {text("mail"), text("employeeNumber"), nullptr};
        int wrong = 0;
        for (int round = 0; round < kRounds; ++round) {
            dsent **set = nullptr;
            const int32_t status = ds_.dsreslv(ld, filter.c_str(), wanted, &set);
            const bool right = status == DS_OK && dns_of(set) == std::vector<std::string>{person.dn} &&
                               std::string(ds_.dsgstr(attribute(set[0], "mail")->da_vals[0])) == person.mail &&
                               ds_.dsgint(attribute(set[0], "employeeNumber")->da_vals[0]) == person.number &&
                               ds_.dscompar(ld, person.dn, "uid", person.uid) == DS_COMPARE_TRUE;
            if (!right) ++wrong;
            if (set != nullptr) ds_.dsfree(ld, set);
        }
        EXPECT_EQ(ds_.dsclose(ld), DS_OK) << person.uid;
        return wrong;
    }
};

TEST_F(ThreadsTest, SessionsOnDifferentThreadsGetTheirOwnAnswers) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(kPeople); ++i) {
        threads.emplace_back([&, i] { wrong += look_up_repeatedly(kPeople[i], i % 2 == 1); });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
