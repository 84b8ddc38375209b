// The class test on hand-made entries: prefix matching on both sides, class attributes named
// "objectclass..." or "qorinterface...", any case, and the lower-casing it leaves behind.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "unit_fixture.h"

namespace {

using dstest::DirectoryUnitTest;

// An entry built from names and values, owning its storage.
class HandEntry {
public:
    HandEntry(std::initializer_list<std::pair<std::string, std::vector<std::string>>> attributes) {
        for (const auto &[name, values] : attributes) {
            auto &a = storage_.emplace_back();
            a.name.assign(name.begin(), name.end());
            a.name.push_back('\0');
            for (const std::string &v : values) {
                auto &text = a.texts.emplace_back(v.begin(), v.end());
                text.push_back('\0');
            }
        }
        for (auto &a : storage_) {
            for (auto &text : a.texts) {
                dsval value{};
                value.dv_text = text.data();
                a.values.push_back(value);
            }
            for (auto &value : a.values) a.value_slots.push_back(&value);
            a.value_slots.push_back(nullptr);
            a.record = dsatt{a.name.data(), a.value_slots.data(), static_cast<int32_t>(a.values.size())};
            slots_.push_back(&a.record);
        }
        slots_.push_back(nullptr);
        entry_ = dsent{const_cast<char *>("cn=x"), slots_.data()};
    }
    dsent *get() { return &entry_; }
    std::string name(size_t i) const { return storage_[i].name.data(); }
    std::string value(size_t i, size_t k) const { return storage_[i].texts[k].data(); }

private:
    struct Attribute {
        std::vector<char> name;
        std::vector<std::vector<char>> texts;
        std::vector<dsval> values;
        std::vector<dsval *> value_slots;
        dsatt record{};
    };
    std::deque<Attribute> storage_;
    std::vector<dsatt *> slots_;
    dsent entry_{};
};

class ClassTestTest : public DirectoryUnitTest {
protected:
    int32_t is(dsent *entry, const char *name) {
        return ds_.dsiscls(ld_, entry, name, static_cast<int32_t>(std::strlen(name)));
    }
};

TEST_F(ClassTestTest, MatchesAnyCaseAndLowerCasesWhatItExamined) {
    HandEntry entry({{"cn", {"Group"}}, {"objectClass", {"top", "groupOfNames"}}});
    const long before = live_blocks();
    EXPECT_EQ(is(entry.get(), "GROUPOFNAMES"), 1);
    EXPECT_EQ(live_blocks(), before);   // the test needs no memory
    EXPECT_EQ(entry.name(0), "cn");     // names examined are lowered; values of others are not
    EXPECT_EQ(entry.value(0, 0), "Group");
    EXPECT_EQ(entry.name(1), "objectclass");
    EXPECT_EQ(entry.value(1, 1), "groupofnames");
}

TEST_F(ClassTestTest, PrefixOnBothSides) {
    HandEntry entry({{"objectclass", {"groupofnames"}}});
    EXPECT_EQ(is(entry.get(), "groupofuniquenames"), 0);   // a value shorter than the name
    EXPECT_EQ(is(entry.get(), "group"), 1);                // a value that begins with the name
    HandEntry longer({{"objectClass", {"groupOfNamesX"}}});
    EXPECT_EQ(is(longer.get(), "groupofnames"), 1);
}

TEST_F(ClassTestTest, ClassAttributesByTheirBeginning) {
    HandEntry interface({{"qorInterface", {"qorSubscriber", "phone"}}});
    EXPECT_EQ(is(interface.get(), "qorsubscriber"), 1);
    HandEntry longer_name({{"objectClasses", {"person"}}});
    EXPECT_EQ(is(longer_name.get(), "person"), 1);
    HandEntry other({{"description", {"groupOfNames"}}, {"objectclas", {"groupOfNames"}}});
    EXPECT_EQ(is(other.get(), "groupofnames"), 0);
}

TEST_F(ClassTestTest, EmptyClassNameAndEntriesWithoutClasses) {
    HandEntry classes({{"objectClass", {"top"}}});
    EXPECT_EQ(is(classes.get(), ""), 1);
    HandEntry no_values({{"objectClass", {}}});
    EXPECT_EQ(is(no_values.get(), ""), 0);
    HandEntry none({{"cn", {"x"}}});
    EXPECT_EQ(is(none.get(), ""), 0);
    EXPECT_EQ(is(none.get(), "top"), 0);
    EXPECT_EQ(ds_.dsiscls(ld_, nullptr, "top", 3), 0);
}

TEST_F(ClassTestTest, StopsAtTheFirstMatch) {
    HandEntry entry({{"objectClass", {"Top", "Person", "Other"}}});
    EXPECT_EQ(is(entry.get(), "person"), 1);
    EXPECT_EQ(entry.value(0, 1), "person");
    EXPECT_EQ(entry.value(0, 2), "Other");   // not reached
}

}  // namespace
