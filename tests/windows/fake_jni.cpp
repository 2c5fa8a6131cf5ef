#include "fake_jni.h"

#include <string.h>

#include <deque>
#include <map>
#include <utility>

#include "checks.h"

namespace {

struct FakeObject {
    std::string className;
    std::string text;                 // a String's or StringBuffer's text, a Class's name
    std::vector<FakeObject *> entries; // a Vector's
};

struct LocalRef {
    FakeObject *object;
    bool deleted;
};

struct FakeMethod {
    const char *className;
    const char *name;
    const char *signature;
};

const FakeMethod knownMethods[] = {
    {"java/util/Vector", "<init>", "()V"},
    {"java/util/Vector", "add", "(Ljava/lang/Object;)Z"},
    {"java/lang/StringBuffer", "append", "(Ljava/lang/String;)Ljava/lang/StringBuffer;"},
};
const FakeMethod &vectorConstructor = knownMethods[0];
const FakeMethod &vectorAdd = knownMethods[1];
const FakeMethod &bufferAppend = knownMethods[2];

const char *const knownClasses[] = {"java/util/Vector", "java/lang/StringBuffer", "java/lang/String",
                                    "java/lang/Exception"};

struct FakeJvm {
    std::deque<FakeObject> objects;
    std::deque<LocalRef> refs;
    std::map<const char *, std::pair<jstring, char *>> stringChars;
    FakeException pending;
    std::string misuse;
};

FakeJvm &jvm()
{
    static FakeJvm instance;
    return instance;
}

void reportMisuse(const std::string &problem)
{
    if (!jvm().misuse.empty()) {
        jvm().misuse += "; ";
    }
    jvm().misuse += problem;
}

jobject newRef(const std::string &className, const std::string &text)
{
    jvm().objects.push_back({className, text, {}});
    jvm().refs.push_back({&jvm().objects.back(), false});
    return reinterpret_cast<jobject>(&jvm().refs.back());
}

// The object behind a reference the bridge passed in, or null after reporting
// why it may not be used.
FakeObject *objectOf(jobject ref, const char *operation, const char *className)
{
    if (ref == nullptr) {
        reportMisuse(std::string(operation) + " given null");
        return nullptr;
    }
    LocalRef *local = reinterpret_cast<LocalRef *>(ref);
    bool known = false;
    for (const LocalRef &candidate : jvm().refs) {
        known = known || &candidate == local;
    }
    if (!known) {
        reportMisuse(std::string(operation) + " given a reference this environment never made");
        return nullptr;
    }
    if (local->deleted) {
        reportMisuse(std::string(operation) + " given a deleted local reference");
        return nullptr;
    }
    if (className != nullptr && local->object->className != className) {
        reportMisuse(std::string(operation) + " given a " + local->object->className + ", not a " + className);
        return nullptr;
    }
    return local->object;
}

// JNI allows only cleanup and exception handling while an exception is pending.
bool noExceptionPending(const char *operation)
{
    if (jvm().pending.thrown) {
        reportMisuse(std::string(operation) + " called with an exception pending");
        return false;
    }
    return true;
}

void throwFake(const char *className, const std::string &message)
{
    jvm().pending.thrown = true;
    jvm().pending.className = className;
    jvm().pending.message = message;
}

jclass JNICALL fakeFindClass(JNIEnv *, const char *name)
{
    if (!noExceptionPending("FindClass")) {
        return nullptr;
    }
    for (const char *known : knownClasses) {
        if (strcmp(name, known) == 0) {
            return static_cast<jclass>(newRef("java/lang/Class", name));
        }
    }
    reportMisuse(std::string("FindClass of a class the bridge has no use for: ") + name);
    throwFake("java/lang/NoClassDefFoundError", name);
    return nullptr;
}

jint JNICALL fakeThrowNew(JNIEnv *, jclass clazz, const char *message)
{
    FakeObject *classObject = objectOf(clazz, "ThrowNew", "java/lang/Class");
    if (!noExceptionPending("ThrowNew") || classObject == nullptr) {
        return -1;
    }
    throwFake(classObject->text.c_str(), message == nullptr ? "" : message);
    return 0;
}

void JNICALL fakeDeleteLocalRef(JNIEnv *, jobject ref)
{
    if (ref != nullptr && objectOf(ref, "DeleteLocalRef", nullptr) != nullptr) {
        reinterpret_cast<LocalRef *>(ref)->deleted = true;
    }
}

jmethodID JNICALL fakeGetMethodID(JNIEnv *, jclass clazz, const char *name, const char *signature)
{
    FakeObject *classObject = objectOf(clazz, "GetMethodID", "java/lang/Class");
    if (!noExceptionPending("GetMethodID") || classObject == nullptr) {
        return nullptr;
    }
    for (const FakeMethod &method : knownMethods) {
        if (classObject->text == method.className && strcmp(name, method.name) == 0 &&
            strcmp(signature, method.signature) == 0) {
            return reinterpret_cast<jmethodID>(const_cast<FakeMethod *>(&method));
        }
    }
    reportMisuse("GetMethodID of an unknown method " + classObject->text + "." + name + signature);
    throwFake("java/lang/NoSuchMethodError", name);
    return nullptr;
}

jobject JNICALL fakeNewObjectV(JNIEnv *, jclass clazz, jmethodID method, va_list)
{
    FakeObject *classObject = objectOf(clazz, "NewObject", "java/lang/Class");
    if (!noExceptionPending("NewObject") || classObject == nullptr) {
        return nullptr;
    }
    if (reinterpret_cast<const FakeMethod *>(method) != &vectorConstructor || classObject->text != "java/util/Vector") {
        reportMisuse("NewObject of anything but a Vector by its constructor");
        return nullptr;
    }
    return newRef("java/util/Vector", "");
}

jboolean JNICALL fakeCallBooleanMethodV(JNIEnv *, jobject target, jmethodID method, va_list arguments)
{
    jobject entryRef = va_arg(arguments, jobject);
    FakeObject *vector = objectOf(target, "CallBooleanMethod", "java/util/Vector");
    FakeObject *entry = objectOf(entryRef, "Vector.add", "java/lang/String");
    if (!noExceptionPending("CallBooleanMethod") || vector == nullptr || entry == nullptr) {
        return JNI_FALSE;
    }
    if (reinterpret_cast<const FakeMethod *>(method) != &vectorAdd) {
        reportMisuse("CallBooleanMethod of anything but Vector.add");
        return JNI_FALSE;
    }
    vector->entries.push_back(entry);
    return JNI_TRUE;
}

jobject JNICALL fakeCallObjectMethodV(JNIEnv *, jobject target, jmethodID method, va_list arguments)
{
    jobject textRef = va_arg(arguments, jobject);
    FakeObject *buffer = objectOf(target, "CallObjectMethod", "java/lang/StringBuffer");
    FakeObject *text = objectOf(textRef, "StringBuffer.append", "java/lang/String");
    if (!noExceptionPending("CallObjectMethod") || buffer == nullptr || text == nullptr) {
        return nullptr;
    }
    if (reinterpret_cast<const FakeMethod *>(method) != &bufferAppend) {
        reportMisuse("CallObjectMethod of anything but StringBuffer.append");
        return nullptr;
    }
    buffer->text += text->text;
    // Like a JVM, a new local reference to the same buffer.
    jvm().refs.push_back({buffer, false});
    return reinterpret_cast<jobject>(&jvm().refs.back());
}

jstring JNICALL fakeNewStringUTF(JNIEnv *, const char *text)
{
    if (!noExceptionPending("NewStringUTF")) {
        return nullptr;
    }
    if (text == nullptr) {
        reportMisuse("NewStringUTF given null");
        return nullptr;
    }
    return static_cast<jstring>(newRef("java/lang/String", text));
}

const char *JNICALL fakeGetStringUTFChars(JNIEnv *, jstring string, jboolean *isCopy)
{
    FakeObject *object = objectOf(string, "GetStringUTFChars", "java/lang/String");
    if (!noExceptionPending("GetStringUTFChars") || object == nullptr) {
        return nullptr;
    }
    // A copy of its own, so that a release with the wrong pointer shows.
    char *chars = new char[object->text.size() + 1];
    memcpy(chars, object->text.c_str(), object->text.size() + 1);
    jvm().stringChars[chars] = {string, chars};
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    return chars;
}

void JNICALL fakeReleaseStringUTFChars(JNIEnv *, jstring string, const char *chars)
{
    auto found = jvm().stringChars.find(chars);
    if (found == jvm().stringChars.end()) {
        reportMisuse("ReleaseStringUTFChars of characters not got or released already");
        return;
    }
    if (found->second.first != string) {
        reportMisuse("ReleaseStringUTFChars with another string than the characters came from");
    }
    delete[] found->second.second;
    jvm().stringChars.erase(found);
}

jboolean JNICALL fakeExceptionCheck(JNIEnv *) { return jvm().pending.thrown ? JNI_TRUE : JNI_FALSE; }

template <size_t Slot> void JNICALL unexpectedJniCall()
{
    abortChecks("unexpected JNI call: slot " + std::to_string(Slot) + " of the JNI function table");
}

enum { TABLE_SLOTS = sizeof(JNINativeInterface_) / sizeof(void *) };

template <size_t... Slots> void fillWithUnexpected(void **slots, std::index_sequence<Slots...>)
{
    ((slots[Slots] = reinterpret_cast<void *>(&unexpectedJniCall<Slots>)), ...);
}

JNINativeInterface_ makeFunctionTable()
{
    JNINativeInterface_ table;
    fillWithUnexpected(reinterpret_cast<void **>(&table), std::make_index_sequence<TABLE_SLOTS>());
    table.FindClass = fakeFindClass;
    table.ThrowNew = fakeThrowNew;
    table.DeleteLocalRef = fakeDeleteLocalRef;
    table.GetMethodID = fakeGetMethodID;
    table.NewObjectV = fakeNewObjectV;
    table.CallBooleanMethodV = fakeCallBooleanMethodV;
    table.CallObjectMethodV = fakeCallObjectMethodV;
    table.NewStringUTF = fakeNewStringUTF;
    table.GetStringUTFChars = fakeGetStringUTFChars;
    table.ReleaseStringUTFChars = fakeReleaseStringUTFChars;
    table.ExceptionCheck = fakeExceptionCheck;
    return table;
}

} // namespace

JNIEnv *fakeJniEnv()
{
    static const JNINativeInterface_ table = makeFunctionTable();
    static JNIEnv env = {&table};
    return &env;
}

void resetFakeJni()
{
    for (auto &entry : jvm().stringChars) {
        delete[] entry.second.second;
    }
    jvm() = FakeJvm();
}

jstring fakeString(const char *text)
{
    return text == nullptr ? nullptr : static_cast<jstring>(newRef("java/lang/String", text));
}

jobject fakeStringBuffer(const char *text) { return newRef("java/lang/StringBuffer", text); }

jobject fakeObject(const char *className) { return newRef(className, ""); }

FakeException takeFakeException()
{
    FakeException taken = jvm().pending;
    jvm().pending = FakeException();
    return taken;
}

bool fakeVectorEntries(jobject vector, std::vector<std::string> *entries)
{
    FakeObject *object = objectOf(vector, "the test reading a Vector", "java/util/Vector");
    if (object == nullptr) {
        return false;
    }
    entries->clear();
    for (const FakeObject *entry : object->entries) {
        entries->push_back(entry->text);
    }
    return true;
}

std::string fakeStringBufferText(jobject buffer)
{
    FakeObject *object = objectOf(buffer, "the test reading a StringBuffer", "java/lang/StringBuffer");
    return object == nullptr ? "" : object->text;
}

std::string takeJniMisuse()
{
    std::string taken = jvm().misuse;
    jvm().misuse.clear();
    return taken;
}

int unreleasedStringChars() { return (int)jvm().stringChars.size(); }
