// Updates on slapd: an entry registered from attribute lists of every kind, read back value by
// value (binary values included), modified in the three shapes, compared and deregistered.
#include <string>

#include "integration_fixture.h"

namespace {

using namespace dstest;

constexpr const char *kEntry = "cn=updated-desk,ou=subscribers,o=example";

class UpdatesTest : public DirectoryIntegrationTest {
protected:
    // The entry as the server now holds it (all attributes); the caller frees it.
    dsent **read_back() {
        dsent **set = nullptr;
        EXPECT_EQ(ds_.dsrslvdn(ld_, kEntry, nullptr, &set), DS_OK);
        EXPECT_NE(set, nullptr);
        return set;
    }
    std::vector<std::string> texts_of(dsent *entry, const char *name) {
        std::vector<std::string> texts;
        dsatt *a = attribute(entry, name);
        for (int32_t k = 0; a != nullptr && k < a->da_count; ++k) texts.emplace_back(a->da_vals[k]->dv_text);
        return texts;
    }
};

TEST_F(UpdatesTest, RegisterModifyCompareDeregister) {
    open_admin();
    std::string bytes(600, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 256);

    dsatt *classes = ds_.dsmkatt(ld_, "objectClass", 2, DSVAL_TEXT, "top", DSVAL_TEXT, "qorSubscriber");
    dsatt *cn = ds_.dsmkatt(ld_, "cn", 1, DSVAL_TEXT, "updated-desk");
    dsatt *phone = ds_.dsmkatt(ld_, "telephoneNumber", 2, DSVAL_INT, int32_t{5550123}, DSVAL_SHORT, int32_t{-7});
    dsatt *real = ds_.dsmkatt(ld_, "description", 1, DSVAL_DOUBLE, -2.25);
    dsatt *blob = ds_.dsmkatt(ld_, "qorBinaryValue", 1, DSVAL_BINARY, static_cast<int32_t>(bytes.size()),
                              reinterpret_cast<const unsigned char *>(bytes.data()));
    dsatt *none = ds_.dsmkatt(ld_, "qorInterface", 0);
    dsatt *person = ds_.dsmkatt(ld_, "qorPersonDN", 1, DSVAL_TEXT, "cn=Eve Evans,ou=people,o=example");
    dsatt *all[] = {classes, cn, phone, real, none, blob, person, nullptr};
    for (int i = 0; all[i] != nullptr; ++i) ASSERT_NE(all[i], nullptr) << i;
    dsent entry{nullptr, all};
    ASSERT_EQ(ds_.dsreg(ld_, kEntry, &entry), DS_OK);
    EXPECT_EQ(ds_.dsreg(ld_, kEntry, &entry), DS_STATUS(68));   // already exists

    dsent **set = read_back();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(texts_of(set[0], "telephoneNumber"), (std::vector<std::string>{"5550123", "-7"}));
    EXPECT_EQ(ds_.dsgdbl(attribute(set[0], "description")->da_vals[0]), -2.25);
    EXPECT_EQ(attribute(set[0], "qorInterface"), nullptr);   // left out: no values
    int32_t length = 0;
    const unsigned char *back = ds_.dsgbin(ld_, attribute(set[0], "qorBinaryValue")->da_vals[0], &length);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(back), static_cast<size_t>(length)), bytes);
    ds_.dsfree(ld_, set);

    // dsmodify: add values, replace, and delete a whole attribute by giving no values.
    dsatt *more_phones = ds_.dsmkatt(ld_, "telephoneNumber", 1, DSVAL_TEXT, "+1 555 0199");
    dsatt *new_description = ds_.dsmkatt(ld_, "description", 1, DSVAL_TEXT, "replaced");
    dsatt *interface = ds_.dsmkatt(ld_, "qorInterface", 2, DSVAL_TEXT, "phone", DSVAL_TEXT, "fax");
    dsatt *no_blob = ds_.dsmkatt(ld_, "qorBinaryValue", 0);
    dsmod add{DS_MOD_ADD, more_phones}, replace{DS_MOD_REPLACE, new_description}, add_interface{DS_MOD_ADD, interface},
        remove{DS_MOD_DELETE, no_blob};
    dsmod *changes[] = {&add, &replace, &add_interface, &remove, nullptr};
    ASSERT_EQ(ds_.dsmodify(ld_, kEntry, changes), DS_OK);
    set = read_back();
    EXPECT_EQ(texts_of(set[0], "telephoneNumber").size(), 3u);
    EXPECT_EQ(texts_of(set[0], "description"), std::vector<std::string>{"replaced"});
    EXPECT_EQ(attribute(set[0], "qorBinaryValue"), nullptr);
    ds_.dsfree(ld_, set);

    // dsmodpad: one group deletes values, another replaces.
    dsatt *fax = ds_.dsmkatt(ld_, "qorInterface", 1, DSVAL_TEXT, "fax");
    dsatt *phones = ds_.dsmkatt(ld_, "telephoneNumber", 1, DSVAL_TEXT, "+1 555 0100");
    dsatt *deleted[] = {fax, nullptr};
    dsatt *replaced[] = {phones, nullptr};
    dsmodg first{DS_MOD_DELETE, deleted}, second{DS_MOD_REPLACE, replaced};
    dsmodg *groups[] = {&first, &second, nullptr};
    ASSERT_EQ(ds_.dsmodpad(ld_, kEntry, groups), DS_OK);

    // dsmodone: texts as they are.
    char *descriptions[] = {text("one"), text("two"), nullptr};
    ASSERT_EQ(ds_.dsmodone(ld_, kEntry, DS_MOD_REPLACE, "description", descriptions), DS_OK);
    set = read_back();
    EXPECT_EQ(texts_of(set[0], "qorInterface"), std::vector<std::string>{"phone"});
    EXPECT_EQ(texts_of(set[0], "telephoneNumber"), std::vector<std::string>{"+1 555 0100"});
    EXPECT_EQ(texts_of(set[0], "description"), (std::vector<std::string>{"one", "two"}));
    ds_.dsfree(ld_, set);

    EXPECT_EQ(ds_.dscompar(ld_, kEntry, "description", "two"), DS_COMPARE_TRUE);
    EXPECT_EQ(ds_.dscompar(ld_, kEntry, "description", "three"), DS_COMPARE_FALSE);
    EXPECT_EQ(ds_.dscompar(ld_, "cn=gone,ou=subscribers,o=example", "cn", "gone"), DS_NO_SUCH_OBJECT);

    EXPECT_EQ(ds_.dsdereg(ld_, kEntry), DS_OK);
    EXPECT_EQ(ds_.dsdereg(ld_, kEntry), DS_NO_SUCH_OBJECT);
    set = nullptr;
    EXPECT_EQ(ds_.dsrslvdn(ld_, kEntry, nullptr, &set), DS_NO_SUCH_OBJECT);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: ou=subscribers,o=example");

    for (dsatt *list : {classes, cn, phone, real, blob, none, person, more_phones, new_description, interface, no_blob,
                        fax, phones}) {
        ds_.dsfratt(ld_, list);
    }
}

TEST_F(UpdatesTest, ServerRefusalsFoldIntoStatuses) {
    open_admin();
    dsatt *wrong = ds_.dsmkatt(ld_, "noSuchAttributeType", 1, DSVAL_TEXT, "x");
    dsmod change{DS_MOD_ADD, wrong};
    dsmod *changes[] = {&change, nullptr};
    const int32_t status = ds_.dsmodify(ld_, "cn=Eve Evans,ou=people,o=example", changes);
    EXPECT_EQ(status, DS_STATUS(17));   // undefined attribute type
    EXPECT_NE(ds_.dsgeterr(ld_), nullptr);
    ds_.dsfratt(ld_, wrong);
}

}  // namespace
