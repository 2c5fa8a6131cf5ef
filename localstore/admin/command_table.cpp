#include "admin/command.h"

namespace tesra::admin {

const std::vector<Command> &allCommands() {
    static const std::vector<Command> commands = {
        setupCommand(),  createIdCommand(), createDbCommand(), grantCommand(),  revokeCommand(),
        accessCommand(), addCommand(),      changeCommand(),   deleteCommand(), listCommand(),
        infoCommand(),   purgeCommand(),    repairTimesCommand(), checkIdCommand(), churnCommand(),
    };
    return commands;
}

}  // namespace tesra::admin
