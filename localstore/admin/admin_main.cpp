// tesra-admin: creates and changes the files of the local store.
#include <iostream>
#include <string>
#include <vector>

#include "admin/admin_commands.h"
#include "status/store_error.h"

int main(int argc, char **argv) {
    using namespace tesra::admin;
    const std::vector<std::string> words(argv + 1, argv + argc);
    try {
        return runCommand(words);
    } catch (const UsageError &error) {
        std::cerr << "tesra-admin: " << error.what() << " (tesra-admin help shows the usage)\n";
        return 2;
    } catch (const std::exception &error) {
        std::cerr << "tesra-admin: " << error.what() << "\n";
        return 1;
    }
}
