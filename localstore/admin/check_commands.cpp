// check-id and repair-times: finding out why a connector fails, and mending a database stamped ahead.
#include <unistd.h>

#include <iostream>

#include "admin/command.h"
#include "admin/output_text.h"
#include "admin/password_input.h"
#include "identity/id_file.h"
#include "status/status_codes.h"
#include "status/status_text.h"
#include "status/store_error.h"

namespace tesra::admin {
namespace {

// What check-id found, in the words --json prints.
const char *resultName(StoreStatus status) {
    switch (status) {
        case TESRA_OK: return "right";
        case TESRA_ERR_WRONG_PASSWORD: return "wrong password";
        case TESRA_ERR_ID_FILE_MISSING: return "missing";
        case TESRA_ERR_ID_FILE_OLD_FORMAT: return "old format";
        case TESRA_ERR_ID_FILE_DAMAGED: return "damaged";
        default: return "unreadable";
    }
}

int runCheckId(const Arguments &arguments) {
    std::string path;
    if (!arguments.operands().empty()) {
        path = arguments.operands().front();
    } else {
        const auto configured = loadConfiguration(arguments).value("KeyFilename");
        if (!configured || configured->empty()) {
            throw StoreError(TESRA_ERR_ID_FILE_MISSING, "the configuration has no KeyFilename; name the ID file");
        }
        path = *configured;
    }
    const std::string password = readPassword(arguments, false);
    std::string user;
    const StoreStatus status = verifyIdFile(path, password, user);
    const auto iterations = idFileIterations(path);
    const bool tooFew = status == TESRA_OK && iterations && *iterations < kMinIdIterations;
    const std::string result = tooFew ? "too few iterations" : resultName(status);
    if (arguments.has("json")) {
        JsonObject object;
        object.text("id_file", path).text("result", result).number("status", status);
        if (status == TESRA_OK) object.text("user", user);
        if (iterations) object.number("iterations", *iterations);
        std::cout << object.line();
        return result == "right" ? 0 : 1;
    }
    if (status != TESRA_OK) {
        throw StoreError(status, "ID file '" + path + "': " + result + " (status " + std::to_string(status) + "): " +
                                     statusText(status));
    }
    if (tooFew) {
        throw StoreError(TESRA_ERR_INVALID_ARGUMENT,
                         "ID file '" + path + "': too few iterations: the password is right for " + user + ", but " +
                             std::to_string(*iterations) + " key derivation rounds (fewer than " +
                             std::to_string(kMinIdIterations) + ") make it quick to guess; make it again with "
                             "tesra-admin create-id");
    }
    std::cout << "right: the password opens ID file " << path << " of " << printableText(user) << " ("
              << *iterations << " iterations)\n";
    return 0;
}

std::string describe(const TimesAhead &times) {
    std::string text = std::to_string(times.records) + " records";
    if (times.lastUntil) text += ", the last poll's until";
    if (times.lastWrite) text += ", the last write time";
    if (times.purgeCutoff) text += ", the purge cut-off";
    if (times.created) text += ", the creation time";
    return text;
}

bool confirmed(const Arguments &arguments, const TimesAhead &times) {
    if (arguments.has("yes")) return true;
    if (::isatty(STDIN_FILENO) != 1) {
        throw UsageError("repair-times changes the database: confirm with --yes when standard input is no terminal");
    }
    std::cerr << "Move " << describe(times) << " of " << arguments.operands().front() << " (as late as "
              << isoText(times.latest) << ") back to " << isoText(times.now) << "? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

int runRepairTimes(const Arguments &arguments) {
    auto database = openNamedDatabase(arguments);
    const bool json = arguments.has("json");
    const TimesAhead found = database->timesAhead();
    if (found.any() && !confirmed(arguments, found)) {
        std::cerr << "tesra-admin: repair-times: nothing was changed\n";
        return 1;
    }
    const TimesAhead moved = found.any() ? database->repairTimes() : found;
    if (json) {
        std::cout << JsonObject()
                         .text("now", isoText(moved.now))
                         .number("records", moved.records)
                         .boolean("last_until", moved.lastUntil)
                         .boolean("last_write", moved.lastWrite)
                         .boolean("purge_cutoff", moved.purgeCutoff)
                         .boolean("created", moved.created)
                         .line();
    } else if (!moved.any()) {
        std::cout << "nothing to repair: no time of " << database->path() << " lies after " << isoText(moved.now)
                  << "\n";
    } else {
        std::cout << "moved " << describe(moved) << " back to " << isoText(moved.now) << " (the latest was "
                  << isoText(moved.latest) << ")\n"
                  << "a consumer whose checkpoint is later than that is told to resynchronise at its next poll\n";
    }
    return 0;
}

}  // namespace

Command checkIdCommand() {
    return {"check-id",
            {"[ID_FILE] --password-file FILE [--ini PATH] [--json]", "[ID_FILE] --password-stdin [...]"},
            "Checks a password against an ID file (by default the configuration's KeyFilename).",
            "at most one ID file name",
            0,
            1,
            {kPasswordOptions[0], kPasswordOptions[1], kPasswordOptions[2], kIniOption, kJsonOption},
            std::string("It says one of: right, wrong password, damaged, old format, too few iterations,\n"
                        "missing; exit status 0 only for right. With --json: one object with id_file,\n"
                        "result, status (the store's status number), user (when right) and iterations.\n"
                        "Without a password option, and with a terminal on standard input, the password\n"
                        "is asked for without showing it. No message repeats a password.\n"),
            runCheckId};
}

Command repairTimesCommand() {
    return {"repair-times",
            {"DB [--yes] [--ini PATH] [--json]"},
            "Moves the times of database DB that lie after the store's clock back to it.",
            "one database name DB",
            1,
            1,
            {{"yes", "", "do not ask first (needed when standard input is no terminal)"}, kIniOption, kJsonOption},
            std::string(
                "A process whose clock was ahead stamps writes and polls ahead, and every later\n"
                "write is stamped after them. This moves record modification times, the last\n"
                "poll's until, the last write time, the purge cut-off and the database's creation\n"
                "time that lie after now back to now, in one transaction; records keep their order.\n"
                "A consumer whose checkpoint is later is told to resynchronise (start from the\n"
                "beginning) at its next poll. With --json: one object with now, records (how many\n"
                "moved) and last_until, last_write, purge_cutoff, created (true when moved).\n") +
                kDatabaseHelp,
            runRepairTimes};
}

}  // namespace tesra::admin
