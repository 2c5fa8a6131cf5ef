/* The platform part of the JNI headers for 32-bit Windows, for cross-builds
   that take the platform-neutral jni.h from a JDK of another platform. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* A build that names its exports in a module-definition file defines
   JNIEXPORT empty, so that the objects export nothing by themselves. */
#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint; /* 32 bits on Windows, 32-bit and 64-bit alike */
typedef long long jlong;
typedef signed char jbyte;

#endif
