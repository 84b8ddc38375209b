// Applying updates: one from the command line, or every record of an LDIF input in order, on one
// session that the first update opens (never with -n, which prints what would be sent).
#pragma once

#include <istream>
#include <optional>
#include <string>

#include "change_records.h"
#include "commands.h"
#include "qorldap/qorldap.hpp"
#include "update_requests.h"

namespace qords {

class UpdateSender {
public:
    explicit UpdateSender(const Context &context);
    UpdateSender(const UpdateSender &) = delete;
    UpdateSender &operator=(const UpdateSender &) = delete;

    // Sends the request (with -n prints its summary instead) and answers the exit status: 0 when
    // it was applied, else that of its failure, which is reported as "WHERE: TEXT". WHERE names
    // the request; the session's failure to open is reported as such.
    int apply(const UpdateRequest &request, const std::string &where);

    // True once nothing more can be sent: the session could not be opened, or its connection
    // was lost.
    bool stopped() const { return stopped_; }

private:
    const Context &context_;
    qorldap::Session session_;
    bool stopped_ = false;
};

// Applies every record of `input` (named `source` in messages) in order: each failure is
// reported with the record's line and DN; without -c the first failure ends the run. A summary
// of the records applied and failed goes to standard error. Answers 0 when every record was
// applied, else the exit status of the first failure.
int apply_records(const Context &context, std::istream &input, const std::string &source, UntypedRecord untyped);

}  // namespace qords
