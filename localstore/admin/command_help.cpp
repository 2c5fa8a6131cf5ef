#include "admin/command_help.h"

#include <algorithm>

namespace tesra::admin {
namespace {

const char *const kExitStatuses =
    "Exit status: 0 done, 1 the store or a file failed, 2 the command line was not understood.\n";

std::string optionLabel(const Option &option) {
    return "--" + option.name + (option.takesValue() ? " " + option.valueName : "");
}

}  // namespace

std::string commandHelp(const Command &command) {
    std::string text;
    for (size_t i = 0; i < command.synopses.size(); ++i) {
        text += (i == 0 ? "usage: " : "       ") + std::string("tesra-admin ") + command.name + " " +
                command.synopses[i] + "\n";
    }
    text += "\n" + command.summary + "\n";
    std::vector<Option> options = command.options;
    options.push_back({"help", "", "show this help (also -h)"});
    size_t width = 0;
    for (const Option &option : options) width = std::max(width, optionLabel(option).size());
    text += "\nOptions:\n";
    for (const Option &option : options) {
        const std::string label = optionLabel(option);
        text += "  " + label + std::string(width - label.size() + 2, ' ') + option.meaning + "\n";
    }
    if (!command.details.empty()) text += "\n" + command.details;
    return text + "\n" + kExitStatuses;
}

std::string overallUsage() {
    std::string text = "usage: tesra-admin COMMAND [OPTIONS]\n\n";
    for (const Command &command : allCommands()) {
        text += "  " + command.name + std::string(command.name.size() < 13 ? 13 - command.name.size() : 1, ' ') +
                command.summary + "\n";
    }
    return text +
           "\ntesra-admin COMMAND --help (or tesra-admin help COMMAND) explains a command and its options;\n"
           "tesra-admin --version prints the version.\n" +
           kExitStatuses;
}

}  // namespace tesra::admin
