// Updates against the scripted server: the exact requests of dsreg, dsmodify, dsmodpad, dsmodone,
// dsdereg and dscompar, the text forms of numbers and bytes (made once), what each refuses to
// send, and how the server's answers fold into statuses.
#include <string>

#include "protocol_fixture.h"

namespace {

using namespace dstest;

// Base64 with a line feed after every 76 characters and at the end: the form binary values are
// sent in. Written here independently of the module's encoder.
std::string base64_lines(const std::string &bytes) {
    static const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string plain;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t b0 = static_cast<uint8_t>(bytes[i]);
        const uint32_t b1 = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
        const uint32_t b2 = i + 2 < bytes.size() ? static_cast<uint8_t>(bytes[i + 2]) : 0;
        const uint32_t group = b0 << 16 | b1 << 8 | b2;
        plain += alphabet[group >> 18 & 63];
        plain += alphabet[group >> 12 & 63];
        plain += i + 1 < bytes.size() ? alphabet[group >> 6 & 63] : '=';
        plain += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
    }
    std::string lines;
    for (size_t i = 0; i < plain.size(); i += 76) lines += plain.substr(i, 76) + "\n";
    return lines.empty() ? "\n" : lines;
}

// A compare request as the client writes it: a NULL closes the assertion, the operation and the
// message.
Bytes compare_request(std::int64_t id, const std::string &dn, const std::string &type, const std::string &value) {
    using namespace qortest::ber;
    return sequence({integer(id),
                     constructed(ldap::op::compare_request,
                                 {octets(dn), sequence({octets(type), octets(value), null()}), null()}),
                     null()});
}

class UpdatesProtocolTest : public DirectoryProtocolTest {
protected:
    dsatt *make_text(const char *name, std::initializer_list<const char *> values) {
        dsatt *list = nullptr;
        switch (values.size()) {
        case 0: list = ds_.dsmkatt(ld_, name, 0); break;
        case 1: list = ds_.dsmkatt(ld_, name, 1, DSVAL_TEXT, values.begin()[0]); break;
        default: list = ds_.dsmkatt(ld_, name, 2, DSVAL_TEXT, values.begin()[0], DSVAL_TEXT, values.begin()[1]);
        }
        EXPECT_NE(list, nullptr);
        lists_.push_back(list);
        return list;
    }
    void TearDown() override {
        for (dsatt *list : lists_) ds_.dsfratt(ld_, list);
        DirectoryProtocolTest::TearDown();
    }
    std::vector<dsatt *> lists_;
};

TEST_F(UpdatesProtocolTest, NumbersAndBytesAreSentInTheirTextFormsMadeOnce) {
    std::string bytes600(600, '\0');
    for (size_t i = 0; i < bytes600.size(); ++i) bytes600[i] = static_cast<char>(i * 7 + 3);
    const std::vector<ldap::Attribute> sent = {
        {"employeeNumber", {"-42", "7", "0", "-2147483647"}},
        {"x-real", {"0", "0", "100000000000000000000", "0.5", "3", "-2.25", "0.1"}},
        {"qorBinaryValue", {base64_lines(std::string("\x00\x01\x02", 3)), base64_lines(bytes600), "\n"}},
    };
    expect_open()
        .expect(ldap::add_request(2, "cn=n,o=x", sent))
        .reply(ldap::add_response(2, 0))
        .expect(ldap::add_request(3, "cn=n,o=x", sent))
        .reply(ldap::add_response(3, ldap::code::already_exists, "", "entry exists"));
    open();

    const unsigned char three[3] = {0, 1, 2};
    dsatt *numbers = ds_.dsmkatt(ld_, "employeeNumber", 4, DSVAL_INT, int32_t{-42}, DSVAL_SHORT, int32_t{7},
                                 DSVAL_LONG, int32_t{0}, DSVAL_INT, int32_t{-2147483647});
    dsatt *reals = ds_.dsmkatt(ld_, "x-real", 7, DSVAL_DOUBLE, 0.0, DSVAL_DOUBLE, -0.0, DSVAL_DOUBLE, 1e20,
                               DSVAL_FLOAT, 0.5, DSVAL_DOUBLE, 3.0, DSVAL_DOUBLE, -2.25, DSVAL_DOUBLE, 0.1);
    dsatt *binary = ds_.dsmkatt(ld_, "qorBinaryValue", 3, DSVAL_BINARY, int32_t{3}, three, DSVAL_BINARY,
                                int32_t{600}, reinterpret_cast<const unsigned char *>(bytes600.data()),
                                DSVAL_BINARY, int32_t{0}, three);
    ASSERT_NE(numbers, nullptr);
    ASSERT_NE(reals, nullptr);
    ASSERT_NE(binary, nullptr);
    lists_ = {numbers, reals, binary};
    dsatt *atts[] = {numbers, reals, binary, nullptr};
    dsent entry{nullptr, atts};

    EXPECT_EQ(ds_.dsreg(ld_, "cn=n,o=x", &entry), DS_OK);
    const char *first_text = numbers->da_vals[0]->dv_text;
    ASSERT_NE(first_text, nullptr);
    EXPECT_STREQ(first_text, "-42");
    EXPECT_EQ(numbers->da_vals[0]->dv_kind, DSVAL_INT);   // the number stays the value's
    const long after_first = live_blocks();

    // Sent again: the same texts, nothing formatted or allocated anew.
    EXPECT_EQ(ds_.dsreg(ld_, "cn=n,o=x", &entry), DS_STATUS(68));
    EXPECT_EQ(numbers->da_vals[0]->dv_text, first_text);
    EXPECT_EQ(live_blocks(), after_first);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Additional information: entry exists");
}

TEST_F(UpdatesProtocolTest, TextAlreadySetIsSentWhateverTheKind) {
    expect_open()
        .expect(ldap::add_request(2, "", {{"cn", {"given"}}}))
        .reply(ldap::add_response(2, 0));
    open();
    char given[] = "given";
    dsval value{};
    value.dv_kind = DSVAL_INT;
    value.dv_num = 99;
    value.dv_text = given;
    dsval *values[] = {&value};
    dsatt attribute{text("cn"), values, 1};
    dsatt *atts[] = {&attribute, nullptr};
    dsent entry{text("cn=ignored"), atts};
    EXPECT_EQ(ds_.dsreg(ld_, "", &entry), DS_OK);   // an empty DN is the server's to judge
    EXPECT_EQ(value.dv_text, given);
}

TEST_F(UpdatesProtocolTest, AddLeavesOutAttributesWithoutValues) {
    expect_open()
        .expect(ldap::add_request(2, "cn=a,o=x", {{"cn", {"a"}}, {"sn", {"b", "c"}}}))
        .reply(ldap::add_response(2, 0));
    open();
    dsatt *atts[] = {make_text("cn", {"a"}), make_text("description", {}), make_text("sn", {"b", "c"}), nullptr};
    dsent entry{nullptr, atts};
    EXPECT_EQ(ds_.dsreg(ld_, "cn=a,o=x", &entry), DS_OK);
}

TEST_F(UpdatesProtocolTest, AddRefusals) {
    expect_open();
    open();
    dsatt *none[] = {nullptr};
    dsent empty{nullptr, none};
    dsent missing{nullptr, nullptr};
    EXPECT_EQ(ds_.dsreg(nullptr, "cn=a", &empty), DS_NO_SESSION);
    EXPECT_EQ(ds_.dsreg(ld_, nullptr, &empty), DS_NO_DN);
    EXPECT_EQ(ds_.dsreg(ld_, "cn=a", nullptr), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dsreg(ld_, "cn=a", &empty), DS_NOTHING_TO_SEND);
    EXPECT_EQ(ds_.dsreg(ld_, "cn=a", &missing), DS_NOTHING_TO_SEND);
}

TEST_F(UpdatesProtocolTest, ModifyInItsThreeShapes) {
    expect_open()
        .expect(ldap::modify_request(2, "cn=a,o=x",
                                     {{0, {"mail", {"a@x"}}}, {1, {"description", {}}}, {2, {"sn", {"b", "c"}}}}))
        .reply(ldap::modify_response(2, 0))
        .expect(ldap::modify_request(3, "cn=a,o=x",
                                     {{2, {"sn", {"b", "c"}}}, {2, {"mail", {"a@x"}}}, {1, {"description", {"d"}}}}))
        .reply(ldap::modify_response(3, 0))
        .expect(ldap::modify_request(4, "cn=a,o=x", {{0, {"telephoneNumber", {"1", "2"}}}}))
        .reply(ldap::modify_response(4, ldap::code::no_such_object, "o=x", ""));
    open();
    dsatt *mail = make_text("mail", {"a@x"});
    dsatt *sn = make_text("sn", {"b", "c"});
    dsatt *no_description = make_text("description", {});
    dsatt *description = make_text("description", {"d"});

    // A delete without values removes the whole attribute.
    dsmod add{DS_MOD_ADD, mail}, remove{DS_MOD_DELETE, no_description}, replace{DS_MOD_REPLACE, sn};
    dsmod *changes[] = {&add, &remove, &replace, nullptr};
    EXPECT_EQ(ds_.dsmodify(ld_, "cn=a,o=x", changes), DS_OK);

    // Groups first, then attributes within a group.
    dsatt *replaced[] = {sn, mail, nullptr};
    dsatt *removed[] = {description, nullptr};
    dsatt *nothing[] = {nullptr};
    dsmodg first{DS_MOD_REPLACE, replaced}, second{DS_MOD_ADD, nothing}, third{DS_MOD_DELETE, removed};
    dsmodg *groups[] = {&first, &second, &third, nullptr};
    EXPECT_EQ(ds_.dsmodpad(ld_, "cn=a,o=x", groups), DS_OK);

    char *numbers[] = {text("1"), text("2"), nullptr};
    EXPECT_EQ(ds_.dsmodone(ld_, "cn=a,o=x", DS_MOD_ADD, "telephoneNumber", numbers), DS_NO_SUCH_OBJECT);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: o=x");
}

TEST_F(UpdatesProtocolTest, ModifyRefusalsSendNothingAndKeepNothing) {
    expect_open();
    open();
    dsatt *mail = make_text("mail", {"a@x"});
    dsatt *empty = make_text("description", {});
    dsatt *textless = ds_.dsmkatt(ld_, "description", 2, 9, 9);
    ASSERT_NE(textless, nullptr);
    lists_.push_back(textless);
    EXPECT_EQ(ds_.dsdereg(ld_, ""), DS_NO_DN);   // releases the texts the bind left
    const long before = live_blocks();

    dsmod add{DS_MOD_ADD, mail}, without{DS_MOD_ADD, nullptr}, replace_empty{DS_MOD_REPLACE, empty};
    dsmod *second_missing[] = {&add, &without, nullptr};
    EXPECT_EQ(ds_.dsmodify(ld_, "cn=a,o=x", second_missing), DS_NOTHING_TO_SEND);
    dsmod *no_values[] = {&add, &replace_empty, nullptr};
    EXPECT_EQ(ds_.dsmodify(ld_, "cn=a,o=x", no_values), DS_NO_VALUES);
    // Values without a text form (a kind outside 1-7) would go out as an empty set: a replace
    // would then delete the attribute.
    dsmod replace_textless{DS_MOD_REPLACE, textless};
    dsmod *textless_values[] = {&replace_textless, nullptr};
    EXPECT_EQ(ds_.dsmodify(ld_, "cn=a,o=x", textless_values), DS_NO_VALUES);
    dsmod *no_changes[] = {nullptr};
    EXPECT_EQ(ds_.dsmodify(ld_, "cn=a,o=x", no_changes), DS_NOTHING_TO_SEND);
    EXPECT_EQ(ds_.dsmodify(ld_, "cn=a,o=x", nullptr), DS_NOTHING_TO_SEND);
    EXPECT_EQ(ds_.dsmodify(ld_, "", second_missing), DS_NO_DN);
    EXPECT_EQ(ds_.dsmodify(nullptr, "cn=a,o=x", second_missing), DS_NO_SESSION);

    // In change groups a delete needs values too.
    dsatt *deleted[] = {mail, empty, nullptr};
    dsmodg group{DS_MOD_DELETE, deleted};
    dsmodg *groups[] = {&group, nullptr};
    EXPECT_EQ(ds_.dsmodpad(ld_, "cn=a,o=x", groups), DS_NO_VALUES);
    dsmodg *no_groups[] = {nullptr};
    EXPECT_EQ(ds_.dsmodpad(ld_, "cn=a,o=x", no_groups), DS_NOTHING_TO_SEND);
    EXPECT_EQ(ds_.dsmodpad(ld_, nullptr, groups), DS_NO_DN);

    char *values[] = {text("v"), nullptr};
    char *no_value[] = {nullptr};
    EXPECT_EQ(ds_.dsmodone(ld_, "", DS_MOD_ADD, "cn", values), DS_NO_DN);
    EXPECT_EQ(ds_.dsmodone(ld_, "cn=a,o=x", DS_MOD_ADD, "", values), DS_NOTHING_TO_SEND);
    EXPECT_EQ(ds_.dsmodone(ld_, "cn=a,o=x", DS_MOD_ADD, nullptr, values), DS_NOTHING_TO_SEND);
    EXPECT_EQ(ds_.dsmodone(ld_, "cn=a,o=x", DS_MOD_ADD, "cn", no_value), DS_NO_VALUES);
    EXPECT_EQ(ds_.dsmodone(ld_, "cn=a,o=x", DS_MOD_ADD, "cn", nullptr), DS_NO_VALUES);
    EXPECT_EQ(ds_.dsdereg(ld_, ""), DS_NO_DN);
    EXPECT_EQ(ds_.dsdereg(ld_, nullptr), DS_NO_DN);

    EXPECT_EQ(live_blocks(), before);
    server_.finish();
    EXPECT_EQ(server_.requests(0).size(), 1u);   // only the bind went out
}

TEST_F(UpdatesProtocolTest, DeleteAndCompare) {
    expect_open()
        .expect(ldap::delete_request(2, "cn=a,o=x"))
        .reply(ldap::delete_response(2, 0))
        .expect(compare_request(3, "cn=b,o=x", "uid", "b"))
        .reply(ldap::compare_response(3, ldap::code::compare_true))
        .expect(compare_request(4, "cn=b,o=x", "uid", "c"))
        .reply(ldap::compare_response(4, ldap::code::compare_false))
        .expect(compare_request(5, "cn=gone,o=x", "uid", ""))
        .reply(ldap::compare_response(5, ldap::code::no_such_object, "o=x", "no such entry"));
    open();
    EXPECT_EQ(ds_.dsdereg(ld_, "cn=a,o=x"), DS_OK);
    EXPECT_EQ(ds_.dscompar(ld_, "cn=b,o=x", "uid", "b"), DS_COMPARE_TRUE);
    EXPECT_EQ(ds_.dscompar(ld_, "cn=b,o=x", "uid", "c"), DS_COMPARE_FALSE);
    EXPECT_EQ(ds_.dsgeterr(ld_), nullptr);
    EXPECT_EQ(ds_.dscompar(ld_, "cn=gone,o=x", "uid", ""), DS_NO_SUCH_OBJECT);
    EXPECT_STREQ(ds_.dsgeterr(ld_), "Matched DN: o=x");
    EXPECT_EQ(ds_.dscompar(ld_, "cn=b,o=x", "uid", nullptr), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dsgeterr(ld_), nullptr);   // each call starts from clean texts
    EXPECT_EQ(ds_.dscompar(ld_, nullptr, "uid", "b"), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dscompar(ld_, "cn=b,o=x", nullptr, "b"), DS_MISSING_ARGUMENT);
    EXPECT_EQ(ds_.dscompar(nullptr, "cn=b,o=x", "uid", "b"), DS_NO_SESSION);
}

TEST_F(UpdatesProtocolTest, AServerThatStopsAnsweringIsAFailureNotASuccess) {
    expect_open().expect_request(ldap::op::delete_request, 2).close();
    open();
    const int32_t status = ds_.dsdereg(ld_, "cn=a,o=x");
    EXPECT_TRUE(DS_FAILED(status));
    EXPECT_NE(DS_CODE(status), 0);
}

}  // namespace
