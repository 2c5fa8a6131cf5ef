/* The platform part of the JNI headers for 64-bit Windows, for cross-builds
   that take the platform-neutral jni.h from a JDK of another platform. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* A build that names its exports in a module-definition file defines
   JNIEXPORT empty, so that the objects export nothing by themselves. */
#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
/* 64-bit Windows has a single calling convention, and no name decoration. */
#define JNICALL

typedef long jint; /* long stays 32 bits on 64-bit Windows */
typedef long long jlong;
typedef signed char jbyte;

#endif
