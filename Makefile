BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
JOBS ?= 2
PREFIX ?= /usr/local
export JAVA_HOME ?= /usr/lib/jvm/java-17-openjdk-amd64

# What a user installs: the bridge, the local store, its admin command and the
# jars with their Maven artefacts.
PRODUCT_TARGETS = vrxchdet ntesra tesra_admin java
# The Java build, on the natives of $(BUILD): java/pom.xml; .mvn/maven.config
# keeps it in batch mode without download progress.
MVN = mvn -f java/pom.xml -Dvrxchdet.build=$(abspath $(BUILD))

.PHONY: deps product-deps configure product-configure product build test demo kafka-demo install clean

# The packages of the build and of the tests.
deps:
	@scripts/install-deps.sh --tests

# The packages of the build alone.
product-deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DVRXCHDET_BUILD_TESTS=ON

# The same build folder without the tests: switching between the two
# regenerates the build files and rebuilds nothing of the product.
product-configure: product-deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DVRXCHDET_BUILD_TESTS=OFF

product: product-configure
	cmake --build $(BUILD) -j $(JOBS) --target $(PRODUCT_TARGETS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The native tests, then the Java tests (Surefire's unit tests, Failsafe's
# crash and end-to-end tests); a failure in either fails it.
test: build
	scripts/fuzz.sh 15
	scripts/test-sanitized.sh
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MVN) verify

demo: product
	scripts/demo.sh $(BUILD)

# A KRaft broker and a Connect worker on loopback, the source connector (its
# plugin folder, built by product) on a sample database while a writer changes
# it; what a read_committed consumer reads. Exit status 0 when it saw every write.
kafka-demo: product
	scripts/kafka-demo.sh $(BUILD)

# make install PREFIX=DIR: lib/, bin/, share/java/, share/maven-repo/ and the
# Kafka Connect plugin folder share/kafka/plugins/vrxchdet-kafka-connect/ under DIR.
install: product
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)

# The Windows DLLs, cross-built (CMakePresets.json): 32-bit into
# build-windows/, 64-bit into build-windows64/; and the connector jar with the
# natives of every platform, build-windows64/connector-VERSION.jar.
.PHONY: windows
windows:
	@scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64
	cmake --preset windows
	cmake --build --preset windows
	cmake --preset windows64
	cmake --build --preset windows64
	scripts/windows-jar.sh

# Their tests: the jar's listing, the export and import tables and the version, and each DLL at
# work under Wine of its architecture; scripts/setup-wine.sh installs Wine and
# makes its prefixes on first use. Each preset's last test stops Wine's
# processes of its prefix.
.PHONY: windows-test
windows-test: windows
	scripts/windows-jar.sh --check
	scripts/setup-wine.sh
	ctest --preset windows -j $(JOBS)
	ctest --preset windows64 -j $(JOBS)

test: windows-test

# The bridge's change query against the floor of its JNI work, in a Release
# build of its own (build-release/); the report ends with bridge_over_floor=R.
.PHONY: bench
bench: product-deps
	scripts/bench.sh build-release

# How strong the tests are: PIT's mutants of the Java modules against their
# unit tests (score per module and survivors), then hand-written mutants of
# the native code against its fast tests (tests/mutation/native-mutations.txt).
.PHONY: mutation mutation-java mutation-native
mutation: mutation-java mutation-native
mutation-java: build
	scripts/mutation.sh $(BUILD)
mutation-native: deps
	scripts/mutate-native.sh

# The libFuzzer targets of tests/fuzz, five minutes each (build-fuzz/).
.PHONY: fuzz
fuzz: deps
	scripts/fuzz.sh 300
