// tesra-admin: creates and changes the files of the local store.
#include <csignal>
#include <cstdio>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "admin/command.h"
#include "admin/command_help.h"
#include "status/store_error.h"

namespace {

using namespace tesra::admin;

const Command *findCommand(const std::string &name) {
    const auto &commands = allCommands();
    const auto found = std::find_if(commands.begin(), commands.end(), [&](const Command &c) { return c.name == name; });
    return found == commands.end() ? nullptr : &*found;
}

// A usage mistake, with where to find the usage that explains it.
int usageMistake(const std::string &message, const std::string &helpCommand) {
    std::cerr << "tesra-admin: " << message << " (" << helpCommand << " shows the usage)\n";
    return 2;
}

int runCommand(const Command &command, const std::vector<std::string> &words) {
    if (Arguments::asksForHelp(words, command.options)) {
        std::cout << commandHelp(command);
        return 0;
    }
    try {
        return command.run(Arguments(words, command.options, command.operands, command.minimumOperands,
                                     command.maximumOperands));
    } catch (const UsageError &error) {
        return usageMistake(command.name + ": " + error.what(), "tesra-admin " + command.name + " --help");
    }
}

int runCommandLine(const std::vector<std::string> &words) {
    if (words.empty()) {
        std::cout << overallUsage();
        return usageMistake("no command given", "tesra-admin --help");
    }
    const std::string &first = words.front();
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (first == "--version" || first == "version") {
        std::cout << "tesra-admin " << VRXCHDET_VERSION << "\n";
        return 0;
    }
    if (first == "help" || first == "--help" || first == "-h") {
        if (rest.empty()) {
            std::cout << overallUsage();
            return 0;
        }
        const Command *command = rest.size() == 1 ? findCommand(rest.front()) : nullptr;
        if (command == nullptr) return usageMistake("help takes one command name", "tesra-admin --help");
        std::cout << commandHelp(*command);
        return 0;
    }
    const Command *command = findCommand(first);
    if (command == nullptr) return usageMistake("unknown command '" + first + "'", "tesra-admin --help");
    return runCommand(*command, rest);
}

// Whether everything written to standard output reached it.
bool standardOutputWritten() {
    std::cout.flush();
    return !std::cout.fail() && std::fflush(stdout) == 0 && !std::ferror(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    // A reader that stops early (| head) ends the command quietly, as it ends
    // other tools, even when the parent started it with SIGPIPE ignored.
    std::signal(SIGPIPE, SIG_DFL);
    int status = 1;
    try {
        status = runCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception &error) {
        std::cout.flush();
        std::cerr << "tesra-admin: " << error.what() << "\n";
        status = 1;
    }
    if (!standardOutputWritten()) {
        std::cerr << "tesra-admin: write failure on standard output\n";
        return 1;
    }
    return status;
}
