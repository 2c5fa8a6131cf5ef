// A hand-written JNI environment for calling the bridge without a JVM: the
// few operations the bridge uses on a few classes (Vector, StringBuffer,
// String, Exception), with local references that can be deleted, string
// characters that must be released, and one pending exception. Every other
// slot of the function table ends the program with "unexpected JNI call".
#ifndef VRXCHDET_TESTS_FAKE_JNI_H
#define VRXCHDET_TESTS_FAKE_JNI_H

#include <jni.h>

#include <string>
#include <vector>

JNIEnv *fakeJniEnv();

// Forgets every object, reference and pending exception.
void resetFakeJni();

// New local references, as a caller from Java would pass them; a null text gives null.
jstring fakeString(const char *text);
jobject fakeStringBuffer(const char *text);
jobject fakeObject(const char *className);

struct FakeException {
    bool thrown = false;
    std::string className; // as given to FindClass, e.g. "java/lang/Exception"
    std::string message;
};

// The pending exception, which is cleared.
FakeException takeFakeException();

// False when the reference is not a live Vector of Strings.
bool fakeVectorEntries(jobject vector, std::vector<std::string> *entries);
std::string fakeStringBufferText(jobject buffer);

// What the bridge did against the rules of JNI since the last call, e.g. using
// a deleted reference or calling on with an exception pending; empty if nothing.
std::string takeJniMisuse();

// String characters got and not yet released.
int unreleasedStringChars();

#endif
