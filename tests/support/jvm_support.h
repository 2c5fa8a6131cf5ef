// Runs native code inside one real Java virtual machine, started with
// -Xcheck:jni, and reads back what it left: standard output, the pending
// exception, the contents of Vectors and StringBuffers.
#ifndef VRXCHDET_TESTS_JVM_SUPPORT_H
#define VRXCHDET_TESTS_JVM_SUPPORT_H

#include <jni.h>

#include <string>
#include <vector>

JNIEnv *jvmEnv();

// A local reference frame around one native call, as the virtual machine
// gives each native method.
class LocalFrame {
public:
    explicit LocalFrame(jint capacity = 32);
    ~LocalFrame();
    LocalFrame(const LocalFrame &) = delete;
    LocalFrame &operator=(const LocalFrame &) = delete;
};

// Everything written to file descriptor 1 between construction and finish().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();

private:
    int savedStdout_ = -1;
    int captureFd_ = -1;
    std::string path_;
};

struct JavaException {
    bool thrown = false;
    std::string className;
    std::string message;
};

// Clears and describes the pending exception, if any.
JavaException takeJavaException(JNIEnv *env);

jstring javaString(JNIEnv *env, const char *text); // null for a null text
// A Java string of UTF-16 code units, which may hold U+0000 and lone surrogates.
jstring javaStringOfUnits(JNIEnv *env, const std::u16string &units);
std::string nativeString(JNIEnv *env, jstring text);
std::vector<std::string> vectorEntries(JNIEnv *env, jobject vector);
jobject newStringBuffer(JNIEnv *env, const char *initial);
std::string stringBufferText(JNIEnv *env, jobject buffer);

#endif
