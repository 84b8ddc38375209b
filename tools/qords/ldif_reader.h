// LDIF input (RFC 2849), read one record at a time: lines are unfolded, comments dropped,
// "name:: BASE64" values decoded and "name:< file:///PATH" values read from the file. What the
// records ask for (entries, change records) is read by change_records.h.
#pragma once

#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qords {

// Malformed input, naming the physical line (from 1) where the fault is, and the DN of the
// record when its dn: line could be read; what() is "line N: MESSAGE".
class LdifError : public std::runtime_error {
public:
    LdifError(int line, const std::string &message, std::string record_dn = {});
    int line() const { return line_; }
    const std::string &message() const { return message_; }
    const std::string &record_dn() const { return record_dn_; }

private:
    int line_;
    std::string message_;
    std::string record_dn_;
};

// One logical line: "name: value" with the value decoded, or the "-" that ends a change.
struct LdifLine {
    int number = 0;          // of its first physical line, from 1
    bool separator = false;  // the line "-"
    std::string name;
    std::string value;
};

// The lines of one record, in order (the version line is not part of any record).
struct LdifRecord {
    int first_line = 0;
    std::vector<LdifLine> lines;
};

// Reads the records of an LDIF text from a stream as they are needed, so that a file of any size
// is worked through with one record in memory. Records are separated by empty lines; a
// "version: 1" line may only be the first line of the input.
class LdifReader {
public:
    explicit LdifReader(std::istream &input) : input_(input) {}

    // The next record, or nullopt at the end of the input. A malformed record throws LdifError;
    // the reader has then passed the whole record, so the next call reads the one after it.
    // A failure to read the stream itself also throws LdifError (and ends the input).
    std::optional<LdifRecord> next();

private:
    // The next physical line without its line break (and a CR before it); false at the end.
    bool read_line(std::string &line);

    std::istream &input_;
    int line_number_ = 0;   // of the last physical line read
    bool at_start_ = true;  // no logical line other than comments read yet
    bool ended_ = false;
};

// True when `name` can name an attribute in LDIF: an attribute description (letters, digits,
// '-', '.', ';') starting with a letter or digit.
bool ldif_attribute_name(std::string_view name);

// Every record of `text`, for callers that hold the whole input; LdifError at the first
// malformed record.
std::vector<LdifRecord> ldif_records(std::string_view text);

}  // namespace qords
