#include "trace_lines.h"

#include <ctype.h>


namespace {

const std::string connectorPrefix = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_";

bool startsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

bool endsWith(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Characters from position on that satisfy the test; at least minimum and at most maximum of them.
size_t span(const std::string &text, size_t position, int (*test)(int), size_t minimum, size_t maximum)
{
    size_t end = position;
    while (end < text.size() && end - position < maximum && test((unsigned char)text[end])) {
        ++end;
    }
    return end - position >= minimum ? end - position : std::string::npos;
}

int isUpperHex(int c) { return isdigit(c) || (c >= 'A' && c <= 'F'); }

bool isEntryLine(const std::string &line)
{
    const std::string label = "returnData: ";
    if (!startsWith(line, label) || span(line, label.size(), isUpperHex, 32, 32) == std::string::npos) {
        return false;
    }
    size_t position = label.size() + 32;
    if (line.compare(position, 1, ":") != 0) {
        return false;
    }
    size_t digits = span(line, position + 1, isUpperHex, 1, 8);
    if (digits == std::string::npos) {
        return false;
    }
    std::string rest = line.substr(position + 1 + digits);
    return rest == ":NOR" || rest == ":DEL";
}

bool isStoreFailureLine(const std::string &line)
{
    const std::string prefix = "Error: Native call ";
    if (!startsWith(line, prefix)) {
        return false;
    }
    size_t name = span(line, prefix.size(), isalpha, 1, 32);
    const std::string middle = " failed with error: code ";
    if (name == std::string::npos || line.compare(prefix.size() + name, middle.size(), middle) != 0) {
        return false;
    }
    size_t position = prefix.size() + name + middle.size();
    size_t code = span(line, position, isdigit, 1, 5);
    return code != std::string::npos && line.compare(position + code, 3, ", '") == 0 &&
           line.size() >= position + code + 4 && endsWith(line, "'");
}

bool isKnownLine(const std::string &line)
{
    for (const char *method : {"initTesra", "getModifiedTesra", "termTesra"}) {
        std::string entryLine = connectorPrefix + method + "()";
        if (line == entryLine || line == "End of " + entryLine) {
            return true;
        }
    }
    if (startsWith(line, "remoteDbName: ") || startsWith(line, "strTimeSince: ")) {
        return true;
    }
    if (startsWith(line, "returnData: ")) {
        return isEntryLine(line);
    }
    const std::string hundredths = "Since time hundredthsOfSec: ";
    if (startsWith(line, hundredths)) {
        return span(line, hundredths.size(), isdigit, 1, 20) == line.size() - hundredths.size();
    }
    if (startsWith(line, "strEndDate: ")) {
        size_t size = line.size();
        return size >= 16 && line[size - 4] == '.' && isdigit((unsigned char)line[size - 3]) &&
               isdigit((unsigned char)line[size - 2]) && line[size - 1] == '0';
    }
    if (startsWith(line, "Error: Native call ")) {
        return isStoreFailureLine(line);
    }
    // The bridge's own messages: one sentence.
    return startsWith(line, "Error: ") && line.size() > 8 && isupper((unsigned char)line[7]) && endsWith(line, ".");
}

} // namespace

std::vector<std::string> malformedTraceLines(const std::string &trace)
{
    std::vector<std::string> malformed;
    size_t start = 0;
    while (start < trace.size()) {
        size_t end = trace.find('\n', start);
        if (end == std::string::npos) {
            malformed.push_back("(unterminated) " + trace.substr(start));
            break;
        }
        std::string line = trace.substr(start, end - start);
        if (!isKnownLine(line)) {
            malformed.push_back(line);
        }
        start = end + 1;
    }
    return malformed;
}
