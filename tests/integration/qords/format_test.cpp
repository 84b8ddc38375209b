// qords' readers and writers on their own: Base64, the LDIF writer and reader, the JSON writer,
// the command line and ATTR=VALUE arguments. Exact texts, and the malformed input each refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "base64.h"
#include "cli.h"
#include "attribute_lists.h"
#include "change_records.h"
#include "json_writer.h"
#include "ldif_writer.h"
#include "usage_error.h"

namespace qords {
namespace {

using Strings = std::vector<std::string>;

// The whole output of a JSON array of `entries`, written one entry at a time.
std::string json_array(const std::vector<Entry> &entries) {
    JsonArrayWriter writer;
    std::string text;
    for (const Entry &entry : entries) text += writer.element(entry);
    return text + writer.end();
}

TEST(QordsBase64, KnownVectorsBothWays) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {std::string("\x00\xff\xfe", 3), "AP/+"}};
    for (const auto &[bytes, text] : vectors) {
        EXPECT_EQ(base64_encode(bytes), text);
        EXPECT_EQ(base64_decode(text), bytes) << text;
    }
    EXPECT_EQ(base64_decode("Zm9v\nYmFy\n"), "foobar");
    for (const char *bad : {"Zg=", "Zg", "Z===", "Zm9v=", "Zg==Zg==", "Zm*v", "=Zm9"})
        EXPECT_FALSE(base64_decode(bad).has_value()) << bad;
}

TEST(QordsLdifWriter, SafeStringsPlainEverythingElseBase64) {
    EXPECT_EQ(ldif_line("cn", "Alice"), "cn: Alice\n");
    EXPECT_EQ(ldif_line("cn", ""), "cn:\n");
    EXPECT_EQ(ldif_line("cn", "a:b <c"), "cn: a:b <c\n");
    for (const std::string &unsafe : Strings{" a", "a ", ":a", "<a", "a\nb", "a\rb", std::string("a\0b", 3), "\xc3\xbc", "a\tb", "\x1b[31mred", "a\x7f"})
        EXPECT_EQ(ldif_line("x", unsafe), "x:: " + base64_encode(unsafe) + "\n") << unsafe;
}

TEST(QordsLdifWriter, FoldsAt76Characters) {
    const std::string value(200, 'v');
    const std::string line = ldif_line("description", value);
    std::string unfolded;
    size_t at = 0;
    for (bool first = true; at < line.size(); first = false) {
        const size_t end = line.find('\n', at);
        const std::string physical = line.substr(at, end - at);
        EXPECT_LE(physical.size(), 76u);
        unfolded += first ? physical : physical.substr(1);
        if (!first) {
            EXPECT_EQ(physical[0], ' ');
        }
        at = end + 1;
    }
    EXPECT_EQ(unfolded, "description: " + value);
    EXPECT_EQ(ldif_line("a", std::string(73, 'x')), "a: " + std::string(73, 'x') + "\n");
    EXPECT_EQ(ldif_line("a", std::string(74, 'x')), "a: " + std::string(73, 'x') + "\n x\n");
}

TEST(QordsLdifWriter, RecordsWithTypedViewsEndWithAnEmptyLine) {
    Entry entry{"cn=a,o=b", {{"cn", {Value{View::text, "a", 0, 0}}},
                             {"n", {Value{View::int32, "", -7, 0}, Value{View::float32, "", 0, 0.1f}}},
                             {"b", {Value{View::binary, std::string("\x00\x01", 2), 0, 0}}}}};
    EXPECT_EQ(ldif_record(entry), "dn: cn=a,o=b\ncn: a\nn: -7\nn: 0.1\nb:: AAE=\n\n");
    EXPECT_EQ(ldif_record(Entry{"o=b", {}}), "dn: o=b\n\n");
    EXPECT_EQ(ldif_version_line(), "version: 1\n\n");
}

TEST(QordsJsonWriter, StringsNumbersAndBase64) {
    EXPECT_EQ(json_string("a\"b\\c\n\t\x01\x7f\xc3\xbc"), "\"a\\\"b\\\\c\\n\\t\\u0001\\u007f\xc3\xbc\"");
    Entry entry{"cn=J\xc3\xbcrgen", {{"v", {Value{View::text, "ok", 0, 0}, Value{View::text, "\xff", 0, 0},
                                            Value{View::binary, "ok", 0, 0}, Value{View::short16, "", -3, 0},
                                            Value{View::float64, "", 0, 2.5},
                                            Value{View::float64, "", 0, std::numeric_limits<double>::quiet_NaN()}}}}};
    EXPECT_EQ(json_array({entry}),
              "[\n  {\n    \"dn\": \"cn=J\xc3\xbcrgen\",\n    \"attributes\": {\n      \"v\": [\"ok\", "
              "{\"base64\": \"/w==\"}, {\"base64\": \"b2s=\"}, -3, 2.5, null]\n    }\n  }\n]\n");
    EXPECT_EQ(json_array({Entry{"o=b", {}}}), "[\n  {\n    \"dn\": \"o=b\",\n    \"attributes\": {}\n  }\n]\n");
    EXPECT_EQ(json_array({Entry{"o=a", {}}, Entry{"o=b", {}}}),
              "[\n  {\n    \"dn\": \"o=a\",\n    \"attributes\": {}\n  },\n"
              "  {\n    \"dn\": \"o=b\",\n    \"attributes\": {}\n  }\n]\n");
    EXPECT_EQ(json_array({}), "[]\n");
}

TEST(QordsJsonWriter, Utf8Validation) {
    for (const char *good : {"", "plain", "\xc3\xbc", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(valid_utf8(good)) << good;
    for (const char *bad : {"\xc0\xaf", "\xc3", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff", "\x80"})
        EXPECT_FALSE(valid_utf8(bad)) << bad;
}

TEST(QordsLdifReader, UnfoldsDecodesAndGroups) {
    const std::string text =
        "version: 1\r\n"
        "# comment\n"
        " continued comment\n"
        "dn: cn=a,\n"
        " o=b\n"
        "cn: a\n"
        "description:: w7w=\n"
        "CN: second\n"
        "description:   three blanks\n";
    const ChangeRecord entry = ldif_entry(text);
    ASSERT_TRUE(entry.dn.has_value());
    EXPECT_EQ(*entry.dn, "cn=a,o=b");
    ASSERT_EQ(entry.attributes.size(), 2u);
    EXPECT_EQ(entry.attributes[0].name, "cn");
    EXPECT_EQ(entry.attributes[0].values, (Strings{"a", "second"}));
    EXPECT_EQ(entry.attributes[1].values, (Strings{"\xc3\xbc", "three blanks"}));
}

TEST(QordsLdifReader, ErrorsNameTheirLine) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"cn: a\nbroken\n", 2}, {"cn: a\ncn:: @@@@\n", 2}, {" x\n", 1}, {"cn: a\n\ncn: b\n", 3},
        {"dn: a\ncn: x\ndn: b\n", 3}, {"cn: a\n-\n", 2}, {"c_n: a\n", 1}, {"cn: a\ncontrol: 1.2.3\n", 2}};
    for (const auto &[text, line] : cases) {
        try {
            ldif_entry(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const LdifError &error) {
            EXPECT_EQ(error.line(), line) << text << error.what();
        }
    }
}

TEST(QordsLdifReader, ChangeRecords) {
    const ChangeInput input = ldif_changes(
        "dn: cn=a,o=b\nchangetype: modify\nadd: mail\nmail: x\nmail: y\n-\ndelete: phone\n-\nreplace: title\n"
        "title: t\n\ndn: cn=a,o=b\ndelete: title\ntitle: t\n");
    EXPECT_EQ(input.dns, (Strings{"cn=a,o=b", "cn=a,o=b"}));
    ASSERT_EQ(input.changes.size(), 4u);
    EXPECT_EQ(input.changes[0].kind, ChangeKind::add);
    EXPECT_EQ(input.changes[0].values, (Strings{"x", "y"}));
    EXPECT_EQ(input.changes[1].kind, ChangeKind::remove);
    EXPECT_TRUE(input.changes[1].values.empty());
    EXPECT_EQ(input.changes[2].kind, ChangeKind::replace);
    EXPECT_EQ(input.changes[3].values, Strings{"t"});
    for (const char *bad : {"", "add: mail\n", "add: mail\nmail: x\nphone: 1\n", "modrdn: x\n",
                            "dn: a\nchangetype: delete\n", "dn: a\n"})
        EXPECT_THROW(ldif_changes(bad), LdifError) << bad;
}

TEST(QordsLdifReader, EveryKindOfRecord) {
    const auto records = ldif_records(
        "version: 1\n\ndn: cn=a,o=b\ncn: a\n\ndn: cn=b,o=b\nchangetype: delete\n\ndn: cn=c,o=b\nchangetype: MODIFY\n"
        "delete: mail\n\ndn: cn=d,o=b\nchangetype: modrdn\nnewrdn: cn=e\ndeleteoldrdn: 1\nnewsuperior: o=c\n\n"
        "dn: cn=f,o=b\nchangetype: moddn\nnewrdn:: Y249Zw==\ndeleteoldrdn: 0\n");
    ASSERT_EQ(records.size(), 5u);
    const ChangeRecord entry = change_record(records[0], UntypedRecord::add);
    EXPECT_EQ(entry.type, ChangeType::add);
    EXPECT_EQ(entry.line, 3);
    EXPECT_EQ(*entry.dn, "cn=a,o=b");
    EXPECT_EQ(change_record(records[1], UntypedRecord::add).type, ChangeType::remove);
    const ChangeRecord modify = change_record(records[2], UntypedRecord::add);
    ASSERT_EQ(modify.changes.size(), 1u);
    EXPECT_EQ(modify.changes[0].kind, ChangeKind::remove);
    const ChangeRecord moved = change_record(records[3], UntypedRecord::modify);
    EXPECT_EQ(moved.type, ChangeType::rename);
    EXPECT_EQ(moved.rename.new_rdn, "cn=e");
    EXPECT_TRUE(moved.rename.delete_old_rdn);
    EXPECT_EQ(*moved.rename.new_superior, "o=c");
    const ChangeRecord renamed = change_record(records[4], UntypedRecord::modify);
    EXPECT_EQ(renamed.rename.new_rdn, "cn=g");
    EXPECT_FALSE(renamed.rename.delete_old_rdn);
    EXPECT_FALSE(renamed.rename.new_superior.has_value());
    // Without changetype, the command says what a record is.
    EXPECT_THROW(change_record(records[0], UntypedRecord::modify), LdifError);

    const std::vector<std::pair<std::string, int>> bad = {
        {"dn: a\nchangetype: rename\n", 2},        {"dn: a\nchangetype: delete\ncn: x\n", 3},
        {"dn: a\nchangetype: add\n", 1},           {"dn: a\nchangetype: modrdn\ndeleteoldrdn: 1\n", 1},
        {"dn: a\nchangetype: modrdn\nnewrdn: cn=b\n", 1}, {"dn: a\nchangetype: modrdn\nnewrdn: cn=b\ndeleteoldrdn: 2\n", 4},
        {"dn: a\nchangetype: modrdn\nnewrdn: b\nnewrdn: c\ndeleteoldrdn: 0\n", 4}};
    for (const auto &[text, line] : bad) {
        try {
            change_record(ldif_records(text).at(0), UntypedRecord::add);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const LdifError &error) {
            EXPECT_EQ(error.line(), line) << text << error.what();
        }
    }
}

// A malformed record is passed whole, so that reading goes on with the next one.
TEST(QordsLdifReader, GoesOnAfterAMalformedRecord) {
    std::istringstream input("dn: cn=a,o=b\ncn: a\n\ndn: cn=b,o=b\nbroken\n folded\n\n\ndn: cn=c,o=b\ncn: c\n");
    LdifReader reader(input);
    EXPECT_EQ(reader.next()->first_line, 1);
    try {
        reader.next();
        ADD_FAILURE() << "the broken record was read";
    } catch (const LdifError &error) {
        EXPECT_EQ(error.line(), 5);
        EXPECT_EQ(error.record_dn(), "cn=b,o=b");
    }
    const std::optional<LdifRecord> last = reader.next();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->first_line, 9);
    EXPECT_FALSE(reader.next().has_value());
}

TEST(QordsLdifReader, SameDn) {
    EXPECT_TRUE(same_dn("cn=Bob Baker,ou=people,o=example", "CN=bob baker, ou = People ,o=EXAMPLE"));
    EXPECT_FALSE(same_dn("cn=Bob Baker,o=example", "cn=BobBaker,o=example"));
    EXPECT_FALSE(same_dn("cn=a,o=b", "cn=a,o=c"));
    EXPECT_FALSE(same_dn("cn=a\\ ,o=b", "cn=a,o=b"));
}

Invocation parse(Strings words) {
    std::vector<char *> argv{const_cast<char *>("qords")};
    for (std::string &word : words) argv.push_back(word.data());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(QordsCommandLine, OptionsAnywhereUntilDoubleDash) {
    const Invocation a = parse({"-H", "h1 h2", "read", "-p389", "--json", "dn", "--scope=one", "-vz", "5", "--",
                                "-w", "--json"});
    EXPECT_EQ(a.command, "read");
    EXPECT_EQ(a.arguments, (Strings{"dn", "-w", "--json"}));
    EXPECT_EQ(*a.settings.host, "h1 h2");
    EXPECT_EQ(a.settings.port, 389);
    EXPECT_TRUE(a.settings.json);
    EXPECT_TRUE(a.settings.verbose);
    EXPECT_EQ(*a.settings.size_limit, 5);
    EXPECT_EQ(a.settings.scope, Scope::one);
    EXPECT_EQ(a.settings.password_source, PasswordSource::none);
    EXPECT_TRUE(a.settings.referrals);

    const Invocation b = parse({"--no-referrals", "-o", "LDAP_BASE=o=x", "-o", "A=", "--cache", "60", "hostname"});
    EXPECT_FALSE(b.settings.referrals);
    EXPECT_EQ(b.settings.host_options,
              (std::vector<std::pair<std::string, std::string>>{{"LDAP_BASE", "o=x"}, {"A", ""}}));
    EXPECT_EQ(*b.settings.cache_seconds, 60);
}

TEST(QordsCommandLine, PasswordIsBlankedInArgv) {
    std::string program = "qords", option = "-w", password = "hunter2", joined = "-whunter3", command = "hostname";
    char *argv[] = {program.data(), option.data(), password.data(), command.data()};
    const Invocation a = parse_command_line(4, argv);
    EXPECT_EQ(a.settings.password, "hunter2");
    EXPECT_EQ(password, "xxxxxxx");
    char *argv2[] = {program.data(), joined.data(), command.data()};
    EXPECT_EQ(parse_command_line(3, argv2).settings.password, "hunter3");
    EXPECT_EQ(joined, "-wxxxxxxx");
}

TEST(QordsCommandLine, PasswordOptionIsBlankedInArgv) {
    std::string program = "qords", option = "-o", setting = "LDAP_BINDPW=hunter2", other = "--option=LDAP_BASE=o=x",
                command = "hostname";
    char *argv[] = {program.data(), option.data(), setting.data(), other.data(), command.data()};
    const Invocation a = parse_command_line(5, argv);
    EXPECT_EQ(a.settings.host_options,
              (std::vector<std::pair<std::string, std::string>>{{"LDAP_BINDPW", "hunter2"}, {"LDAP_BASE", "o=x"}}));
    EXPECT_EQ(setting, "LDAP_BINDPW=xxxxxxx");
    EXPECT_EQ(other, "--option=LDAP_BASE=o=x");
}

TEST(QordsCommandLine, MalformedOptionsAreUsageErrors) {
    for (const Strings &words : {Strings{"--port"}, Strings{"-p", "0"}, Strings{"-p", "1x"}, Strings{"-l", "2147484"},
                                 Strings{"--size-limit=-1"}, Strings{"--json=1"}, Strings{"--nope"}, Strings{"-Q"},
                                 Strings{"-s", "all"}, Strings{"-o", "=v"}, Strings{"-H", " "},
                                 Strings{"-W", "-w", "x"}, Strings{"--seconds", "0"}})
        EXPECT_THROW(parse(words), UsageError) << words[0];
}

TEST(QordsAssignments, TypesAndRanges) {
    auto [name, value] = parse_assignment("cn=a=b");
    EXPECT_EQ(name, "cn");
    EXPECT_EQ(value.view, View::text);
    EXPECT_EQ(value.bytes, "a=b");
    EXPECT_EQ(parse_assignment("n:int=-2147483648").second.integer, INT32_MIN);
    EXPECT_EQ(parse_assignment("n:short=-32768").second.integer, -32768);
    EXPECT_EQ(parse_assignment("n:double=1e300").second.real, 1e300);
    EXPECT_EQ(parse_assignment("n::=AP/+").second.bytes, std::string("\x00\xff\xfe", 3));
    EXPECT_EQ(parse_assignment("n::=AP/+").second.view, View::binary);
    EXPECT_EQ(parse_assignment("e=").second.bytes, "");

    const std::vector<AttributeInput> grouped = group_assignments({"cn=a", "sn=b", "CN=c"});
    ASSERT_EQ(grouped.size(), 2u);
    EXPECT_EQ(grouped[0].values.size(), 2u);
    EXPECT_EQ(grouped[0].values[1].bytes, "c");
}

}  // namespace
}  // namespace qords
