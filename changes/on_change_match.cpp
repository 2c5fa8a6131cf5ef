#include <string.h>

#include "bridge/trace.h"
#include "changes/change_entry.h"
#include "changes/search_context.h"

static const char returnDataLabel[] = "returnData: ";
enum { LABEL_LENGTH = sizeof returnDataLabel - 1 };

StoreStatus onChangeMatch(void *context, const ChangeMatch *match, void *)
{
    SearchContext *search = (SearchContext *)context;
    JNIEnv *env = search->env;

    // The trace line is built around the entry so that one write puts it out whole.
    char line[LABEL_LENGTH + CHANGE_ENTRY_SIZE];
    memcpy(line, returnDataLabel, LABEL_LENGTH);
    char *entry = line + LABEL_LENGTH;
    size_t entryLength = formatChangeEntry(match, entry);
    entry[entryLength] = '\n';
    traceBytes(line, LABEL_LENGTH + entryLength + 1);
    entry[entryLength] = '\0';

    jstring entryString = env->NewStringUTF(entry);
    if (entryString == nullptr || env->ExceptionCheck()) {
        return SEARCH_STOPPED_BY_JAVA_EXCEPTION;
    }
    env->CallBooleanMethod(search->result, search->addEntry, entryString);
    bool addFailed = env->ExceptionCheck();
    env->DeleteLocalRef(entryString);
    return addFailed ? SEARCH_STOPPED_BY_JAVA_EXCEPTION : 0;
}
