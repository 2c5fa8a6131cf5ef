// The local store's configuration reader on any file: values are trimmed and
// found whatever the case of their name, and storeReadConfig cuts and
// terminates every value within the buffer it is given.
#include <unistd.h>

#include <string>
#include <vector>

#include "environment/ini_config.h"
#include "status/status_codes.h"
#include "status/store_error.h"
#include "fuzz_input.h"
#include "store/store_client.h"

namespace {

std::string iniPath;

const char blanks[] = " \t\r\n";

std::string upperCase(std::string text)
{
    for (char &c : text) {
        c = (char)toupper((unsigned char)c);
    }
    return text;
}

// The text before the first '=' of each line: every name the file may set.
std::vector<std::string> candidateNames(const std::string &text)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            std::string name = line.substr(0, equals);
            size_t first = name.find_first_not_of(blanks);
            size_t last = name.find_last_not_of(blanks);
            if (first != std::string::npos) {
                names.push_back(name.substr(first, last - first + 1));
            }
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return names;
}

void checkReadConfig(const std::string &name, const std::string &value)
{
    static const uint16_t sizes[] = {1, 2, 8, 255, 256};
    for (uint16_t size : sizes) {
        char *buffer = (char *)malloc(size);
        // A value that does not fit with its terminator reads as not set, never cut short.
        bool fits = value.size() < size;
        FUZZ_CHECK(storeReadConfig(name.c_str(), buffer, size) == (fits ? 1 : 0));
        size_t kept = fits ? value.size() : 0;
        FUZZ_CHECK(memcmp(buffer, value.data(), kept) == 0);
        FUZZ_CHECK(buffer[kept] == '\0');
        free(buffer);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    iniPath = "/tmp/vrxchdet-fuzz-" + std::to_string(getpid()) + ".ini";
    setenv("TESRA_INI", iniPath.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text((const char *)data, size);
    tesra::IniConfig config = tesra::IniConfig::parse(text, "/base/directory");

    FILE *file = fopen(iniPath.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    fwrite(data, 1, size, file);
    fclose(file);
    // A LockTimeout out of its range, and only that, fails the start, before any value is read.
    bool goodSettings = true;
    try {
        config.lockTimeout();
    } catch (const tesra::StoreError &) {
        goodSettings = false;
    }
    FUZZ_CHECK(storeInit(0, nullptr) == (goodSettings ? 0 : TESRA_ERR_BAD_SETTING));
    if (!goodSettings) {
        unlink(iniPath.c_str());
        return 0;
    }

    for (const std::string &name : candidateNames(text)) {
        // A name with a NUL cannot be asked for through the C function.
        bool plainName = name.find('\0') == std::string::npos;
        auto value = config.value(name);
        if (!value) {
            // Only a comment line or one that does not count can hide a name.
            if (plainName) {
                FUZZ_CHECK(storeReadConfig(name.c_str(), nullptr, 0) == 0);
            }
            continue;
        }
        FUZZ_CHECK(value->empty() || (memchr(blanks, value->front(), 4) == nullptr &&
                                      memchr(blanks, value->back(), 4) == nullptr));
        FUZZ_CHECK(config.value(upperCase(name)) == value);
        config.pathValue(name);
        if (plainName) {
            checkReadConfig(name, *value);
        }
    }
    storeTerm();
    unlink(iniPath.c_str());
    return 0;
}
