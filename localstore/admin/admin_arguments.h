#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tesra::admin {

// A mistake in the command line; reported with the usage hint.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The words after the subcommand: positional words, "--name value" options
// and "--name" switches.
class Arguments {
public:
    // switches: the option names that take no value.
    Arguments(const std::vector<std::string> &words, const std::set<std::string> &allowedOptions,
              const std::set<std::string> &switches);

    const std::vector<std::string> &positional() const { return positional_; }
    std::optional<std::string> option(const std::string &name) const;
    std::string required(const std::string &name) const;
    // A non-negative decimal number within [minimum, maximum].
    std::optional<uint64_t> number(const std::string &name, uint64_t minimum, uint64_t maximum) const;
    bool has(const std::string &name) const { return switches_.count(name) != 0; }

private:
    std::vector<std::string> positional_;
    std::map<std::string, std::string> options_;
    std::set<std::string> switches_;
};

uint64_t parseNumber(const std::string &text, const std::string &what, uint64_t minimum, uint64_t maximum);
// A record id as `list` prints it: hexadecimal, optionally with 0x.
uint32_t parseRecordId(const std::string &text);

}  // namespace tesra::admin
