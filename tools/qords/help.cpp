// The catalogue of commands with their help texts.
#include <cstdint>
#include <string>

#include "commands.h"

namespace qords {
namespace {

constexpr std::string_view kGeneralHelp = R"(usage: qords [options] COMMAND [ARGUMENTS]

Calls the directory module's functions the way a host program does.

Connection (each falls back to the host option, then the environment variable of the same
name: LDAP_HOST, LDAP_PORT, LDAP_BINDDN, LDAP_BINDPW, LDAP_BASE, LDAP_TLS_CACERT):
  -H, --host TEXT           servers to try in order, blank- or comma-separated: host[:port],
                            ldap://host[:port] (389) or ldaps://host[:port] (TLS, 636)
  -p, --port N              port of hosts given without one (default 389)
  -Z                        StartTLS before the bind; a server that refuses is used in clear
                            (the host log warns)
  -ZZ                       StartTLS before the bind, required: no password is sent without it
      --cacert FILE         trust the CAs of the PEM FILE for TLS (default: the system's; the
                            server's certificate is always verified unless LDAP_TLS_REQCERT=never)
  -D, --bind-dn DN          bind as DN (default: anonymous)
  -w, --password TEXT       bind password
  -y, --password-file FILE  bind password: the first line of FILE
  -W                        ask for the bind password on the terminal, without echo (with no
                            terminal: read it from the first line of standard input)
  -x                        simple bind: the only kind the module makes (accepted, not needed)
  -b, --base DN             base DN of search and expand
  -o, --option NAME=VALUE   an entry of the host option lookup (repeatable)
Session:
  -l, --time-limit SECONDS  how long to wait for each answer once the session is open
                            (default 30; the bind that opens it always gets 30 s per try)
  -z, --size-limit N        most entries a search returns (default 0: no limit)
  -s, --scope base|one|sub  scope of search (default sub)
      --no-referrals        do not follow referrals; the URLs of what was not followed are
                            printed with the warning
      --paged N             read searches in pages of N entries (paged results), so that a
                            server's limit on plain searches does not cut them short
  -M                        ManageDsaIT: referral objects are read, changed and deleted as
                            entries instead of being followed
      --cache SECONDS       keep search results for SECONDS in the module's result cache
Updates:
  -f, --file FILE           add, modify: read the LDIF from FILE ("-": standard input)
  -c, --continue            add, modify: go on after a record that fails
  -n, --dry-run             add, modify, delete, rename: show what would be sent, send nothing
      --new-superior DN     rename: move the entry below DN
      --keep-old-rdn        rename: keep the old RDN's value in the entry (default: removed)
Output:
      --json                JSON instead of LDIF
  -v                        protocol failures also written to the host log (standard error)
  -h, --help                this help; "qords COMMAND --help" for a command
      --version             the versions of qords and of the module it loads

Commands:
  search FILTER [ATTR...]        entries below the base that match FILTER
  read DN [ATTR...]              one entry
  add [DN [ATTR=VALUE...]]       add the entry DN; without DN, apply every entry and change
                                 record of the LDIF input
  modify [DN [add|delete|replace ATTR [VALUE...]]]
                                 change the entry DN; without DN, apply every change record of
                                 the LDIF input
  delete DN                      delete an entry
  rename DN NEWRDN               rename (and with --new-superior move) an entry
  compare DN ATTR VALUE          TRUE or FALSE: does the entry hold the value?
  isclass DN CLASS               TRUE or FALSE: does the entry have the object class?
  expand GROUP-DN                the subscriber entries of a group's members, nested groups included
  parent NAME                    the parent part of a DN, mail address or domain name
  hostname                       the local host name
  bench read DN | bench search FILTER [--seconds N]
                                 lookups per second through the module

Exit status: 0 success (TRUE), 1 FALSE, 2 usage or input error (a bad filter too),
3 directory failure, 4 no such object, 5 partial result (a size or time limit reached, a
referral not followed: what arrived is printed, with a warning). Use "--" before arguments that
begin with "-".
)";

constexpr std::string_view kAttributeViews = R"(
An ATTR may name how its values are read: NAME:bin decodes each value's Base64 text into bytes
(how the module stores binary values); NAME:int, :long, :short, :float and :double read each
value as that number. A value that is not such a number (or not Base64 text, for :bin) is
printed as the module reads it, with a warning. Without ATTR every attribute is returned.
)";

const Command kCommands[] = {
    {"search", "FILTER [ATTR...]",
     "Prints the entries below the base DN (-b, LDAP_BASE) that match FILTER, a filter in\n"
     "parentheses such as \"(&(objectClass=person)(uid=a*))\", with the scope of -s.\n"
     "A search that hits the size or time limit prints what arrived, warns, and exits with 5;\n"
     "one that finds nothing prints nothing (\"[]\" with --json) and says so on standard error.\n",
     1, SIZE_MAX, run_search},
    {"read", "DN [ATTR...]", "Prints the entry DN.\n", 1, SIZE_MAX, run_read},
    {"add", "[DN [ATTR=VALUE...]]",
     "Without DN, reads LDIF from standard input (or the file of -f) and applies every record in\n"
     "order: entries (content records) are added, change records (changetype: add, delete,\n"
     "modify, modrdn or moddn) applied. Each failure is reported with the record's line and DN;\n"
     "the first one ends the run unless -c is given. A summary of the records applied and failed\n"
     "goes to standard error; -n shows what each record would send and sends nothing.\n"
     "\n"
     "With DN, adds that one entry. Each ATTR=VALUE adds one value; repeat ATTR for more. Typed\n"
     "values:\n"
     "  ATTR:int=N  ATTR:long=N  ATTR:short=N   a whole number\n"
     "  ATTR:float=X  ATTR:double=X             a decimal fraction\n"
     "  ATTR:bin=@FILE                          the bytes of FILE\n"
     "  ATTR::=BASE64                           the bytes BASE64 stands for\n"
     "The module sends numbers as decimal text and bytes as Base64 text (read them back with\n"
     "ATTR:bin). With DN and no ATTR=VALUE the entry is read as LDIF; a dn: line, when present,\n"
     "must name DN.\n",
     0, SIZE_MAX, run_add},
    {"modify", "[DN [add|delete|replace ATTR [VALUE...]]]",
     "Without DN, reads LDIF from standard input (or the file of -f) and applies every change\n"
     "record in order, as add does; a record without changetype is a modification.\n"
     "\n"
     "With DN, changes one attribute of the entry: add values, delete values (all of the\n"
     "attribute when no VALUE is given), or replace its values. With only DN, the changes of\n"
     "the LDIF input (\"add: ATTR\", \"delete: ATTR\", \"replace: ATTR\" blocks ended by \"-\"; a\n"
     "dn: line, when present, must name DN) are applied together, all or none.\n",
     0, SIZE_MAX, run_modify},
    {"delete", "DN", "Deletes the entry DN (-n: shows it and sends nothing).\n", 1, 1, run_delete},
    {"rename", "DN NEWRDN",
     "Renames the entry DN to NEWRDN (ModifyDN); with --new-superior DN2 it moves below DN2. The\n"
     "old RDN's value leaves the entry unless --keep-old-rdn is given. -n shows the request and\n"
     "sends nothing.\n",
     2, 2, run_rename},
    {"compare", "DN ATTR VALUE",
     "Prints TRUE (exit 0) when the entry DN holds VALUE in ATTR, FALSE (exit 1) when not.\n", 3, 3, run_compare},
    {"isclass", "DN CLASS",
     "Prints TRUE (exit 0) when the entry DN has the object class CLASS, FALSE (exit 1) when\n"
     "not. Classes are read from objectClass and qorInterface, without regard to case; as the\n"
     "module tests it, a class whose name begins with CLASS counts.\n",
     2, 2, run_isclass},
    {"expand", "GROUP-DN",
     "Prints the subscriber entries of the members of the group (groupOfNames or\n"
     "groupOfUniqueNames), members that are groups expanded in turn, in member order. The\n"
     "subscribers are searched below the base DN. An entry that is not a group is an input error\n"
     "(exit 2).\n",
     1, 1, run_expand},
    {"parent", "NAME",
     "Prints the parent part of NAME: for a DN the DN of its parent entry, for a mail address\n"
     "the part after '@', for a domain name the part after the first '.'. Exit 1 when NAME has\n"
     "no parent part. Needs no server.\n",
     1, 1, run_parent, false},
    {"hostname", "", "Prints the local host name. Needs no server.\n", 0, 0, run_hostname, false},
    {"bench", "read DN | search FILTER",
     "Repeats the lookup for --seconds N (default 5) on one session and prints the lookups per\n"
     "second and their latency, and how long opening the session took (connection, TLS when\n"
     "asked for, bind); on a terminal the rate is shown while it runs. With --cache the module's\n"
     "result cache answers the repetitions.\n",
     2, 2, run_bench},
};

}  // namespace

const Command *find_command(std::string_view name) {
    for (const Command &command : kCommands)
        if (command.name == name) return &command;
    return nullptr;
}

std::string_view general_help() {
    return kGeneralHelp;
}

std::string command_help(const Command &command) {
    std::string text = "usage: qords [options] " + std::string(command.name);
    if (!command.synopsis.empty()) text += " " + std::string(command.synopsis);
    if (command.name == "bench") text += " [--seconds N]";
    text += "\n\n" + std::string(command.help);
    if (command.name == "search" || command.name == "read") text += kAttributeViews;
    text += "\nOptions: see \"qords --help\".\n";
    return text;
}

}  // namespace qords
