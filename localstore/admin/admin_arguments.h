#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tesra::admin {

// A mistake in the command line (exit status 2). The message never repeats a
// value given to an option, so a password cannot end up in it.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An option a command accepts, as its help describes it.
struct Option {
    std::string name;       // without the leading dashes
    std::string valueName;  // shown in the help, e.g. "N"; empty for a switch
    std::string meaning;

    bool takesValue() const { return !valueName.empty(); }
};

// The words after the command: operands, "--name value" or "--name=value"
// options and "--name" switches, each option at most once.
class Arguments {
public:
    // operands: how the help names them, for messages. Throws UsageError.
    Arguments(const std::vector<std::string> &words, const std::vector<Option> &options,
              const std::string &operands, size_t minimumOperands, size_t maximumOperands);

    // True when -h or --help appears where an option may stand.
    static bool asksForHelp(const std::vector<std::string> &words, const std::vector<Option> &options);

    const std::vector<std::string> &operands() const { return operands_; }
    std::optional<std::string> option(const std::string &name) const;
    std::string required(const std::string &name) const;
    // A non-negative decimal number within [minimum, maximum].
    std::optional<uint64_t> number(const std::string &name, uint64_t minimum, uint64_t maximum) const;
    bool has(const std::string &name) const { return switches_.count(name) != 0; }

private:
    std::vector<std::string> operands_;
    std::map<std::string, std::string> values_;
    std::set<std::string> switches_;
};

uint64_t parseNumber(const std::string &text, const std::string &what, uint64_t minimum, uint64_t maximum);
// A record id as `list` prints it: hexadecimal, optionally with 0x.
uint32_t parseRecordId(const std::string &text);

}  // namespace tesra::admin
