// compare and isclass: questions answered TRUE (exit 0) or FALSE (exit 1).
#include <cstdio>

#include "commands.h"
#include "report.h"
#include "result_sets.h"
#include "session.h"
#include "usage_error.h"

namespace qords {
namespace {

int answer(bool truth) {
    std::puts(truth ? "TRUE" : "FALSE");
    return truth ? kExitSuccess : kExitFalse;
}

}  // namespace

int run_compare(const Context &context) {
    const std::string &dn = context.arguments()[0];
    const std::string &type = context.arguments()[1];
    const std::string &value = context.arguments()[2];
    const std::string what = "compare " + dn;
    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, BaseUse::unused, session)) return *failed;
    const int32_t status = context.module.directory().dscompar(session.get(), dn.c_str(), type.c_str(), value.c_str());
    if (status == DS_COMPARE_TRUE) return answer(true);
    if (status == DS_COMPARE_FALSE) return answer(false);
    if (status == DS_OK) {
        report_error(what, "the server answered neither TRUE nor FALSE");
        return kExitFailure;
    }
    return report_failure(context.module, session.get(), context.settings().verbose, what, status);
}

int run_isclass(const Context &context) {
    const std::string &dn = context.arguments()[0];
    const std::string &class_name = context.arguments()[1];
    const std::string what = "isclass " + dn;
    // dsiscls counts a class whose name begins with CLASS, so an empty CLASS would be TRUE of
    // every entry.
    if (class_name.empty()) throw UsageError("isclass needs a CLASS name, not an empty one");
    qorldap::Session session(context.module.directory());
    if (std::optional<int> failed = open_session(context, BaseUse::unused, session)) return *failed;
    AttributeNames classes(class_attributes());  // only the attributes the class test reads
    qorldap::ResultSet results(session);
    const int32_t status = results.resolve_dn(dn.c_str(), classes.get());
    if (DS_FAILED(status))
        return report_failure(context.module, session.get(), context.settings().verbose, what, status);
    if (results.empty()) {
        report_error(what, "the server returned no entry");
        return kExitNoSuchObject;
    }
    return answer(context.module.directory().dsiscls(session.get(), results[0], class_name.c_str(),
                                                     static_cast<int32_t>(class_name.size())) == 1);
}

}  // namespace qords
