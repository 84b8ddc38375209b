#include "report.h"

#include <cstdio>

#include "qorldap/qorldap.h"

namespace qords {
namespace {

constexpr int32_t kNoSuchObjectCode = 0x20;
constexpr int32_t kUnknownErrorCode = 80;

// Result codes of what the user gave: a DN the server cannot read (also the directory layer's
// own "no DN"), a filter the module cannot encode.
constexpr int32_t kInvalidDnSyntaxCode = 34;
constexpr int32_t kBadFilterCode = 87;

// Result codes of an incomplete lookup: time limit, size limit, partial results (a version-2
// referral), referral, administrative limit.
constexpr int32_t kPartialCodes[] = {3, 4, 9, 10, 11};

// What the directory layer's own statuses of dsopen mean there: a setting found nowhere.
const char *opening_text(int32_t status) {
    if (status == DS_NO_BASE_DN) return "No base DN: give --base or set LDAP_BASE";
    if (status == DS_NO_HOST) return "No server host: give --host or set LDAP_HOST";
    return nullptr;
}

// Texts for the codes the module's error table has none for: the directory layer's own, and
// result codes of LDAP version 3 that servers send.
const char *missing_text(int32_t status) {
    if (status == DS_NO_SESSION) return "No session";
    if (status == DS_NOTHING_TO_SEND) return "Nothing to send";
    if (status == DS_NO_VALUES) return "Attribute without values";
    switch (DS_CODE(status)) {
    case 10: return "Referral";
    case 11: return "Administrative limit exceeded";
    case 12: return "Unavailable critical extension";
    case 13: return "Confidentiality required";
    case 14: return "SASL bind in progress";
    case 71: return "Affects multiple DSAs";
    default: return nullptr;
    }
}

std::string hex(int32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<uint32_t>(status));
    return text;
}

void print_line(const std::string &line) {
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

// The session's dsgeterr text after "; ", or nothing.
std::string session_message(const Module &module, LDAP *session) {
    if (session == nullptr) return {};
    const char *message = module.directory().dsgeterr(session);
    return message != nullptr && *message != '\0' ? std::string("; ") + message : std::string();
}

}  // namespace

int exit_status_for(int32_t status) {
    if (!DS_FAILED(status)) return kExitSuccess;
    switch (DS_CODE(status)) {
    case kNoSuchObjectCode: return kExitNoSuchObject;
    case kInvalidDnSyntaxCode:
    case kBadFilterCode: return kExitUsage;
    default: return kExitFailure;
    }
}

bool partial_result(int32_t status) {
    if (status == DS_OK) return false;
    if (!DS_FAILED(status)) return true;
    for (int32_t code : kPartialCodes)
        if (DS_CODE(status) == code) return true;
    return false;
}

std::string status_text(const Module &module, int32_t status, Stage stage) {
    std::string text = module.error_text(DS_CODE(status));
    const char *opening = stage == Stage::open ? opening_text(status) : nullptr;
    const char *missing = missing_text(status);
    if (opening != nullptr) {
        text = opening;
    } else if (missing != nullptr && DS_CODE(status) != kUnknownErrorCode &&
               text == module.error_text(kUnknownErrorCode)) {
        text = missing;
    }
    return text + " (" + hex(status) + ")";
}

int report_failure(const Module &module, LDAP *session, bool verbose, std::string_view what, int32_t status,
                   Stage stage) {
    if (verbose) module.log_failure(session, "qords");
    print_line("qords: " + std::string(what) + ": " + status_text(module, status, stage) +
               session_message(module, session));
    return exit_status_for(status);
}

void report_warning(const Module &module, LDAP *session, std::string_view what, int32_t status, std::string_view note) {
    print_line("qords: " + std::string(what) + ": warning: " + status_text(module, status, Stage::operation) + ": " +
               std::string(note) + session_message(module, session));
}

void report_error(std::string_view what, std::string_view message) {
    print_line("qords: " + std::string(what) + ": " + std::string(message));
}

}  // namespace qords
