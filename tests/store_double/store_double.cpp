#include "store_double.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct Script {
    std::map<std::string, StoreStatus> statuses;
    std::map<std::string, std::string> config;
    bool hasStatusText = true;
    std::string statusText;
    StoreHandle openHandle = 7;
    StoreTimestamp parsedStamp = {{0, 0}};
    StoreTimestamp until = {{0, 0}};
    std::string untilText;
    uint32_t untilTicks = 0;
    std::vector<ChangeMatch> matches;
    std::string log;
};

Script &script()
{
    static Script instance;
    return instance;
}

void logCall(const char *format, ...)
{
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    script().log += line;
    script().log += '\n';
}

const char *orNull(const char *text) { return text == nullptr ? "null" : text; }

StoreStatus scriptedStatus(const char *operation)
{
    auto found = script().statuses.find(operation);
    return found == script().statuses.end() ? 0 : found->second;
}

std::string stampText(const StoreTimestamp &stamp)
{
    char text[32];
    snprintf(text, sizeof text, "%u/%u", stamp.word[0], stamp.word[1]);
    return text;
}

// Regional settings come back filled with this byte, so that a test can see
// that the bridge changed only the fields it owns.
const uint8_t settingsFill = 0xA5;

bool onlyOwnedSettingsChanged(const RegionalSettings *settings)
{
    const uint8_t *bytes = (const uint8_t *)settings;
    for (size_t i = 0; i < sizeof *settings; ++i) {
        bool owned = i < 2 || i == 33 || i == 34 || i == 38 || i == 39;
        if (!owned && bytes[i] != settingsFill) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" {

void storeDoubleReset(void)
{
    script() = Script();
    script().config["keyfilename"] = "/ids/user.id";
}

void storeDoubleSetStatus(const char *operation, StoreStatus status) { script().statuses[operation] = status; }

void storeDoubleSetConfig(const char *name, const char *value)
{
    std::string key(name);
    for (char &c : key) {
        c = (char)tolower((unsigned char)c);
    }
    if (value == nullptr) {
        script().config.erase(key);
    } else {
        script().config[key] = value;
    }
}

void storeDoubleSetStatusText(const char *text)
{
    script().hasStatusText = text != nullptr;
    script().statusText = text == nullptr ? "" : text;
}

void storeDoubleSetOpenHandle(StoreHandle handle) { script().openHandle = handle; }

void storeDoubleSetParsedStamp(StoreTimestamp stamp) { script().parsedStamp = stamp; }

void storeDoubleSetUntil(StoreTimestamp until, const char *text, uint32_t ticks)
{
    script().until = until;
    script().untilText = text;
    script().untilTicks = ticks;
}

void storeDoubleAddMatch(const ChangeMatch *match) { script().matches.push_back(*match); }

const char *storeDoubleCallLog(void) { return script().log.c_str(); }

StoreStatus storeInit(int argumentCount, char **arguments)
{
    logCall("storeInit(%d, %s)", argumentCount, arguments == nullptr ? "null" : "arguments");
    return scriptedStatus("storeInit");
}

void storeTerm(void) { logCall("storeTerm()"); }

int storeReadConfig(const char *name, char *value, uint16_t valueSize)
{
    logCall("storeReadConfig(%s, %u)", name, valueSize);
    std::string key(name);
    for (char &c : key) {
        c = (char)tolower((unsigned char)c);
    }
    auto found = script().config.find(key);
    if (found == script().config.end()) {
        return 0;
    }
    snprintf(value, valueSize, "%s", found->second.c_str());
    return 1;
}

StoreStatus storeBuildNetPath(const char *port, const char *server, const char *fileName, char *path)
{
    logCall("storeBuildNetPath(%s, %s, %s)", orNull(port), orNull(server), orNull(fileName));
    if (server == nullptr || server[0] == '\0') {
        snprintf(path, STORE_PATH_SIZE, "%s", fileName);
    } else {
        snprintf(path, STORE_PATH_SIZE, "%s!!%s", server, fileName);
    }
    return 0;
}

StoreStatus storeSwitchIdentity(const char *idFilePath, const char *password, char *userName, uint16_t userNameSize,
                                uint32_t flags, void *reserved)
{
    logCall("storeSwitchIdentity(%s, %s, %s, %u, %u, %s)", idFilePath, orNull(password),
            userName == nullptr ? "null" : "buffer", userNameSize, flags, reserved == nullptr ? "null" : "pointer");
    return scriptedStatus("storeSwitchIdentity");
}

StoreStatus storeOpenDatabase(const char *path, StoreHandle *handle)
{
    logCall("storeOpenDatabase(%s)", path);
    StoreStatus status = scriptedStatus("storeOpenDatabase");
    if (status == 0) {
        *handle = script().openHandle;
    }
    return status;
}

StoreStatus storeCloseDatabase(StoreHandle handle)
{
    logCall("storeCloseDatabase(%u)", handle);
    return 0;
}

uint16_t storeLoadStatusText(void *module, uint16_t code, char *text, uint16_t textSize)
{
    logCall("storeLoadStatusText(%s, %u, %u)", module == nullptr ? "null" : "module", code, textSize);
    if (!script().hasStatusText || textSize == 0) {
        return 0;
    }
    std::string value = script().statusText.empty() ? "status text " + std::to_string(code) : script().statusText;
    snprintf(text, textSize, "%s", value.c_str());
    return (uint16_t)strlen(text);
}

void storeReadRegionalSettings(RegionalSettings *settings, uint16_t settingsSize)
{
    logCall("storeReadRegionalSettings(%u)", settingsSize);
    memset(settings, settingsFill, settingsSize < sizeof *settings ? settingsSize : sizeof *settings);
}

StoreStatus storeTextToStamp(const RegionalSettings *settings, const void *textFormat, const char **text,
                             uint16_t maxLength, StoreTimestamp *stamp)
{
    size_t length = 0;
    while (length < maxLength && (*text)[length] != '\0') {
        ++length;
    }
    logCall("storeTextToStamp(flags=%04X date=%s time=%s rest=%s, %s, \"%.*s\", %u)", settings->flags,
            settings->dateSeparator, settings->timeSeparator, onlyOwnedSettingsChanged(settings) ? "kept" : "changed",
            textFormat == nullptr ? "null" : "format", (int)length, *text, maxLength);
    StoreStatus status = scriptedStatus("storeTextToStamp");
    if (status == 0) {
        *text += length;
        *stamp = script().parsedStamp;
    }
    return status;
}

StoreStatus storeStampToText(const RegionalSettings *settings, const void *textFormat, const StoreTimestamp *stamp,
                             char *text, uint16_t maxLength, uint16_t *length)
{
    logCall("storeStampToText(flags=%04X, %s, %s, %u)", settings->flags, textFormat == nullptr ? "null" : "format",
            stampText(*stamp).c_str(), maxLength);
    size_t written = script().untilText.size() < maxLength ? script().untilText.size() : maxLength;
    memcpy(text, script().untilText.data(), written);
    memset(text + written, '#', maxLength - written); // no terminator: the caller adds it
    *length = (uint16_t)written;
    return 0;
}

// The double's time of day lives in word 0, in hundredths.
StoreStatus storeStampToFields(TimeFields *fields)
{
    logCall("storeStampToFields(%s)", stampText(fields->stamp).c_str());
    fields->hundredths = (int32_t)(fields->stamp.word[0] % 100);
    return 0;
}

StoreStatus storeFieldsToStamp(TimeFields *fields)
{
    logCall("storeFieldsToStamp(hundredths=%d)", fields->hundredths);
    fields->stamp.word[0] = fields->stamp.word[0] / 100 * 100 + (uint32_t)fields->hundredths;
    return 0;
}

uint32_t storeStampTicks(const StoreTimestamp *stamp)
{
    logCall("storeStampTicks(%s)", stampText(*stamp).c_str());
    return script().untilTicks;
}

StoreStatus storeSearch(StoreHandle database, StoreHandle formula, const char *viewTitle, uint32_t searchFlags,
                        uint16_t classMask, const StoreTimestamp *since, StoreSearchCallback callback, void *context,
                        StoreTimestamp *until)
{
    logCall("storeSearch(%u, %u, %s, %04X, %04X, %s)", database, formula, orNull(viewTitle), searchFlags, classMask,
            stampText(*since).c_str());
    char summary[64] = {};
    for (const ChangeMatch &match : script().matches) {
        StoreStatus status = callback(context, &match, summary);
        if (status != 0) {
            logCall("callback stopped the search with %u", status);
            return status;
        }
    }
    StoreStatus status = scriptedStatus("storeSearch");
    if (status == 0) {
        *until = script().until;
    }
    return status;
}

} // extern "C"
