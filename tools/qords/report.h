// How qords reports: exit statuses, and failure and warning lines on standard error of the form
//   qords: read cn=x,o=y: No such object (0x80144020); Matched DN: o=y
// with the text of the status's code from the module and the session's own message (dsgeterr).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "module.h"

namespace qords {

enum ExitStatus : int {
    kExitSuccess = 0,       // also TRUE of compare and isclass
    kExitFalse = 1,         // FALSE of compare and isclass; parent of a name without parent
    kExitUsage = 2,         // wrong invocation or malformed input (a bad filter or DN too)
    kExitFailure = 3,       // a directory failure
    kExitNoSuchObject = 4,  // the entry or base does not exist
    kExitPartial = 5,       // a lookup's result is not complete (limit reached, referral not followed)
};

// The exit status of a failed directory function's status: 2 for what the user gave wrongly (a
// filter or a DN the module or the server cannot read), 4 for no such object, else 3.
int exit_status_for(int32_t status);

// True when a lookup's status says its result is incomplete: a warning (entries delivered with
// a result code that is not success), or a failure without entries because a size, time or
// administrative limit was reached or a referral was not followed.
bool partial_result(int32_t status);

// Where a status came from: opening the session (where the directory layer's own codes for a
// missing host or base DN occur) or an operation on an open session.
enum class Stage { open, operation };

// "TEXT (0xSTATUS)": the module's text for the status's code, or qords' own text for the codes
// the module's table has none for.
std::string status_text(const Module &module, int32_t status, Stage stage);

// Prints "qords: WHAT: TEXT (0xSTATUS)[; MESSAGE]" where MESSAGE is the session's dsgeterr text;
// with `verbose` the session's protocol failure goes to the host log first. Answers the exit
// status for the failure.
int report_failure(const Module &module, LDAP *session, bool verbose, std::string_view what, int32_t status,
                   Stage stage = Stage::operation);

// Prints "qords: WHAT: warning: TEXT (0xSTATUS): NOTE[; MESSAGE]" where MESSAGE is the session's
// dsgeterr text (none for a null session).
void report_warning(const Module &module, LDAP *session, std::string_view what, int32_t status, std::string_view note);

// Prints "qords: WHAT: MESSAGE": a failure that is not a directory status, or a notice.
void report_error(std::string_view what, std::string_view message);

}  // namespace qords
