#include "update_run.h"

#include <cstdio>

#include "ascii_case.h"
#include "report.h"
#include "session.h"
#include "usage_error.h"

namespace qords {
namespace {

std::string count_of(size_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The counts of a run over an LDIF input, and how it ended.
struct Tally {
    size_t applied = 0;
    size_t failed = 0;
    int status = kExitSuccess;  // of the first failure
    int stopped_at = 0;         // the line of the failure that ended the run without -c

    void fail(int exit_status) {
        if (failed++ == 0) status = exit_status;
    }
};

void print_summary(const std::string &command, const Tally &tally, const Settings &settings, bool connection_lost) {
    std::string line = "qords: " + command + ": ";
    if (tally.applied == 0 && tally.failed == 0) {
        line += "no records in the input";
    } else {
        line += count_of(tally.applied, "record") + (settings.dry_run ? " to apply" : " applied");
        if (tally.failed > 0) line += ", " + std::to_string(tally.failed) + (settings.dry_run ? " refused" : " failed");
        if (connection_lost) {
            line += "; stopped: nothing more can be sent";
        } else if (tally.stopped_at > 0) {
            line +=
                "; stopped at the failure of line " + std::to_string(tally.stopped_at) + " (-c goes on after failures)";
        }
        if (settings.dry_run) line += "; nothing sent (-n)";
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

UpdateSender::UpdateSender(const Context &context) : context_(context), session_(context.module.directory()) {}

int UpdateSender::apply(const UpdateRequest &request, const std::string &where) {
    const Settings &settings = context_.settings();
    if (settings.dry_run) {
        std::printf("%s\n", request_summary(request).c_str());
        return kExitSuccess;
    }
    if (!session_) {
        if (std::optional<int> failed = open_session(context_, BaseUse::unused, session_)) {
            stopped_ = true;
            return *failed;
        }
    }
    const int32_t status = send_request(context_.module, session_, request);
    if (status == DS_OK) return kExitSuccess;
    if (status == DS_NO_CONNECTION) stopped_ = true;
    return report_failure(context_.module, session_.get(), settings.verbose, where, status);
}

int apply_records(const Context &context, std::istream &input, const std::string &source, UntypedRecord untyped) {
    const Settings &settings = context.settings();
    const std::string &command = context.invocation.command;
    UpdateSender sender(context);
    LdifReader reader(input);
    Tally tally;
    while (!sender.stopped()) {
        int line = 0;
        std::string where = source;
        std::string dn;  // of the record, once known
        int status = kExitSuccess;
        try {
            const std::optional<LdifRecord> record = reader.next();
            if (!record) break;
            line = record->first_line;
            if (!record->lines.empty() && equal_ignoring_case(record->lines[0].name, "dn")) dn = record->lines[0].value;
            const ChangeRecord change = change_record(*record, untyped);
            if (!change.dn) throw LdifError(line, "the record has no dn: line");
            where += ", line " + std::to_string(line) + ": " + change_type_name(change.type) + " " + *change.dn;
            status = sender.apply(update_request(change, *change.dn), where);
        } catch (const LdifError &error) {
            line = error.line();
            const std::string &named = error.record_dn().empty() ? dn : error.record_dn();
            report_error(source + ", line " + std::to_string(line) + (named.empty() ? "" : ": " + named),
                         error.message());
            status = kExitUsage;
        } catch (const UsageError &error) {
            report_error(where, error.what());
            status = kExitUsage;
        }
        if (status == kExitSuccess) {
            ++tally.applied;
            continue;
        }
        tally.fail(status);
        if (!settings.keep_going) {
            tally.stopped_at = line;
            break;
        }
    }
    print_summary(command, tally, settings, sender.stopped());
    return tally.status;
}

}  // namespace qords
