#include "jvm_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

JNIEnv *jvmEnv()
{
    static JNIEnv *env = [] {
        JavaVMOption options[1];
        options[0].optionString = const_cast<char *>("-Xcheck:jni");
        JavaVMInitArgs arguments;
        arguments.version = JNI_VERSION_10;
        arguments.nOptions = 1;
        arguments.options = options;
        arguments.ignoreUnrecognized = JNI_FALSE;
        JavaVM *vm = nullptr;
        JNIEnv *created = nullptr;
        if (JNI_CreateJavaVM(&vm, (void **)&created, &arguments) != JNI_OK) {
            fprintf(stderr, "cannot start the Java virtual machine\n");
            abort();
        }
        return created;
    }();
    return env;
}

LocalFrame::LocalFrame(jint capacity)
{
    if (jvmEnv()->PushLocalFrame(capacity) != 0) {
        abort();
    }
}

LocalFrame::~LocalFrame() { jvmEnv()->PopLocalFrame(nullptr); }

StdoutCapture::StdoutCapture()
{
    char pathTemplate[] = "/tmp/vrxchdet-stdout-XXXXXX";
    captureFd_ = mkstemp(pathTemplate);
    if (captureFd_ < 0) {
        throw std::runtime_error("cannot create a capture file");
    }
    path_ = pathTemplate;
    fflush(stdout);
    savedStdout_ = dup(1);
    dup2(captureFd_, 1);
}

StdoutCapture::~StdoutCapture()
{
    if (savedStdout_ >= 0) {
        finish();
    }
}

std::string StdoutCapture::finish()
{
    if (savedStdout_ < 0) {
        return "";
    }
    fflush(stdout);
    dup2(savedStdout_, 1);
    close(savedStdout_);
    savedStdout_ = -1;
    close(captureFd_);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    unlink(path_.c_str());
    return content.str();
}

// The support code expects no Java exception of its own; one would be a fault of the test.
static void requireNoException(JNIEnv *env)
{
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        abort();
    }
}

static std::string callStringMethod(JNIEnv *env, jobject object, const char *name)
{
    jclass objectClass = env->GetObjectClass(object);
    jmethodID method = env->GetMethodID(objectClass, name, "()Ljava/lang/String;");
    jstring value = (jstring)env->CallObjectMethod(object, method);
    requireNoException(env);
    std::string text = value == nullptr ? "<null>" : nativeString(env, value);
    env->DeleteLocalRef(value);
    env->DeleteLocalRef(objectClass);
    return text;
}

JavaException takeJavaException(JNIEnv *env)
{
    JavaException exception;
    jthrowable thrown = env->ExceptionOccurred();
    if (thrown == nullptr) {
        return exception;
    }
    env->ExceptionClear();
    exception.thrown = true;
    jclass thrownClass = env->GetObjectClass(thrown);
    exception.className = callStringMethod(env, thrownClass, "getName");
    exception.message = callStringMethod(env, thrown, "getMessage");
    env->DeleteLocalRef(thrownClass);
    env->DeleteLocalRef(thrown);
    return exception;
}

jstring javaString(JNIEnv *env, const char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    jstring string = env->NewStringUTF(text);
    requireNoException(env);
    return string;
}

jstring javaStringOfUnits(JNIEnv *env, const std::u16string &units)
{
    jstring string = env->NewString((const jchar *)units.data(), (jsize)units.size());
    requireNoException(env);
    return string;
}

std::string nativeString(JNIEnv *env, jstring text)
{
    const char *chars = env->GetStringUTFChars(text, nullptr);
    std::string copy(chars);
    env->ReleaseStringUTFChars(text, chars);
    return copy;
}

std::vector<std::string> vectorEntries(JNIEnv *env, jobject vector)
{
    std::vector<std::string> entries;
    if (vector == nullptr) {
        return entries;
    }
    jclass vectorClass = env->FindClass("java/util/Vector");
    jmethodID size = env->GetMethodID(vectorClass, "size", "()I");
    jmethodID get = env->GetMethodID(vectorClass, "get", "(I)Ljava/lang/Object;");
    jint count = env->CallIntMethod(vector, size);
    requireNoException(env);
    for (jint i = 0; i < count; ++i) {
        jstring entry = (jstring)env->CallObjectMethod(vector, get, i);
        requireNoException(env);
        entries.push_back(nativeString(env, entry));
        env->DeleteLocalRef(entry);
    }
    env->DeleteLocalRef(vectorClass);
    return entries;
}

jobject newStringBuffer(JNIEnv *env, const char *initial)
{
    jclass bufferClass = env->FindClass("java/lang/StringBuffer");
    jmethodID constructor = env->GetMethodID(bufferClass, "<init>", "(Ljava/lang/String;)V");
    jstring text = javaString(env, initial);
    jobject buffer = env->NewObject(bufferClass, constructor, text);
    requireNoException(env);
    env->DeleteLocalRef(text);
    env->DeleteLocalRef(bufferClass);
    return buffer;
}

std::string stringBufferText(JNIEnv *env, jobject buffer) { return callStringMethod(env, buffer, "toString"); }
