#include "update_requests.h"

#include "usage_error.h"

namespace qords {
namespace {

const char *operation_word(int32_t operation) {
    switch (operation) {
    case DS_MOD_ADD: return "add";
    case DS_MOD_DELETE: return "delete";
    default: return "replace";
    }
}

int32_t operation_of(ChangeKind kind) {
    switch (kind) {
    case ChangeKind::add: return DS_MOD_ADD;
    case ChangeKind::remove: return DS_MOD_DELETE;
    case ChangeKind::replace: return DS_MOD_REPLACE;
    }
    return DS_MOD_REPLACE;
}

std::string attribute_summary(const AttributeInput &attribute) {
    const size_t count = attribute.values.size();
    return count == 1 ? attribute.name : attribute.name + " (" + std::to_string(count) + " values)";
}

int32_t send_modify(const qorldap::Session &session, const UpdateRequest &request) {
    const qorldap::Directory &directory = session.directory();
    const std::vector<Modification> &modifications = request.modifications;
    if (modifications.size() == 1 && !modifications[0].attribute.values.empty()) {
        // One change of text values: sent as the texts are, nothing built in the session.
        std::vector<std::string> texts;
        for (const TypedValue &value : modifications[0].attribute.values) texts.push_back(value.bytes);
        std::vector<char *> values;
        for (std::string &text : texts) values.push_back(text.data());
        values.push_back(nullptr);
        return directory.dsmodone(session.get(), request.dn.c_str(), modifications[0].operation,
                                  modifications[0].attribute.name.c_str(), values.data());
    }
    AttributeRecords records(session);
    std::vector<dsmod> changes;
    for (const Modification &modification : modifications) {
        dsatt *attribute = records.add(modification.attribute);
        if (attribute == nullptr) return DS_NO_MEMORY;
        changes.push_back(dsmod{modification.operation, attribute});
    }
    std::vector<dsmod *> pointers;
    for (dsmod &change : changes) pointers.push_back(&change);
    pointers.push_back(nullptr);
    return directory.dsmodify(session.get(), request.dn.c_str(), pointers.data());
}

}  // namespace

AttributeInput text_attribute(const std::string &name, const std::vector<std::string> &values) {
    AttributeInput input{name, {}};
    for (const std::string &value : values) {
        if (value.find('\0') != std::string::npos)
            throw UsageError("a value of " + name +
                             " holds a zero byte, which the module cannot send as text; give binary data as " + name +
                             ":bin=@FILE (stored as Base64 text)");
        input.values.push_back(TypedValue{View::text, value, 0, 0});
    }
    return input;
}

int32_t operation_named(const std::string &name) {
    if (name == "add") return DS_MOD_ADD;
    if (name == "delete") return DS_MOD_DELETE;
    if (name == "replace") return DS_MOD_REPLACE;
    throw UsageError("the change is add, delete or replace, not \"" + name + "\"");
}

Modification modification(int32_t operation, AttributeInput attribute) {
    if (attribute.values.empty()) {
        if (operation == DS_MOD_ADD) throw UsageError("add of " + attribute.name + " needs at least one value");
        if (operation == DS_MOD_REPLACE)
            throw UsageError("replace of " + attribute.name +
                             " needs at least one value (delete removes the whole attribute)");
    }
    return Modification{operation, std::move(attribute)};
}

std::vector<Modification> modifications_of(const std::vector<Change> &changes) {
    std::vector<Modification> modifications;
    for (const Change &change : changes)
        modifications.push_back(
            modification(operation_of(change.kind), text_attribute(change.attribute, change.values)));
    return modifications;
}

UpdateRequest update_request(const ChangeRecord &record, const std::string &dn) {
    UpdateRequest request;
    request.type = record.type;
    request.dn = dn;
    switch (record.type) {
    case ChangeType::add:
        for (const AttributeValues &attribute : record.attributes)
            request.attributes.push_back(text_attribute(attribute.name, attribute.values));
        break;
    case ChangeType::remove: break;
    case ChangeType::modify: request.modifications = modifications_of(record.changes); break;
    case ChangeType::rename: request.rename = record.rename; break;
    }
    return request;
}

std::string request_title(const UpdateRequest &request) {
    return change_type_name(request.type) + (" " + request.dn);
}

std::string request_summary(const UpdateRequest &request) {
    std::string text = request_title(request);
    std::string separator = ": ";
    for (const AttributeInput &attribute : request.attributes) {
        text += separator + attribute_summary(attribute);
        separator = ", ";
    }
    for (const Modification &modification : request.modifications) {
        text += separator + operation_word(modification.operation) + " " +
                (modification.attribute.values.empty() ? modification.attribute.name
                                                       : attribute_summary(modification.attribute));
        separator = ", ";
    }
    if (request.type == ChangeType::rename) {
        const Rename &rename = request.rename;
        text += separator + "newrdn " + rename.new_rdn;
        if (rename.new_superior) text += ", new superior " + *rename.new_superior;
        text += rename.delete_old_rdn ? ", delete old RDN" : ", keep old RDN";
    }
    return text;
}

int32_t send_request(const Module &module, const qorldap::Session &session, const UpdateRequest &request) {
    const qorldap::Directory &directory = session.directory();
    switch (request.type) {
    case ChangeType::add: {
        AttributeRecords records(session);
        for (const AttributeInput &attribute : request.attributes)
            if (records.add(attribute) == nullptr) return DS_NO_MEMORY;
        dsent entry{nullptr, records.all()};
        return directory.dsreg(session.get(), request.dn.c_str(), &entry);
    }
    case ChangeType::remove: return directory.dsdereg(session.get(), request.dn.c_str());
    case ChangeType::modify: return send_modify(session, request);
    case ChangeType::rename: {
        const Rename &rename = request.rename;
        const int32_t code =
            module.rename(session.get(), request.dn.c_str(), rename.new_rdn.c_str(),
                          rename.new_superior ? rename.new_superior->c_str() : nullptr, rename.delete_old_rdn);
        return code == 0 ? DS_OK : DS_STATUS(code);
    }
    }
    return DS_NOTHING_TO_SEND;
}

}  // namespace qords
