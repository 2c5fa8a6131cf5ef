#pragma once

#include <string>

#include "admin/command.h"

namespace tesra::admin {

// The help of one command: usage lines, what it does, each option, exit statuses.
std::string commandHelp(const Command &command);
// The list of commands with their usage lines.
std::string overallUsage();

}  // namespace tesra::admin
