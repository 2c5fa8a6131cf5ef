#!/usr/bin/env bash
# The test suites under AddressSanitizer and UndefinedBehaviorSanitizer: the
# bridge, the local store library, tesra-admin and the test binaries built by
# clang with the "asan" preset into build-asan/, and every test run, those
# inside a Java virtual machine included.
set -euo pipefail
cd "$(dirname "$0")/.."
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
scripts/install-deps.sh clang-14 libclang-rt-14-dev
cmake --preset asan >/dev/null
cmake --build --preset asan
# The test preset leaves SIGSEGV to the virtual machine, which uses it itself.
# The Maven consumer test checks packaging, not memory: it runs in build/ alone.
ctest --preset asan -E '^(java_|readme_|maven_)'
# The Java tests, Maven's, on the sanitized natives. java is not built with the
# sanitizer, so its runtime is loaded first into every JVM (Maven's and the
# tests'). The run paths checked are those of what is shipped, which the
# sanitized build is not (its libraries name the sanitizer's folder): build/
# checks them. The Kafka cluster tests are left to build/: their brokers and
# workers never load the natives, and the Connect task's own tests already
# run its feed children on the sanitized ones.
ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LD_PRELOAD="$(clang++-14 -print-file-name=libclang_rt.asan-x86_64.so)" \
  mvn -f java/pom.xml -Dvrxchdet.build="$PWD/build-asan" -pl '!vrxchdet-kafka-it' verify
