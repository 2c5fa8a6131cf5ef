#include <dlfcn.h>

#include "store_fixture.h"

namespace tesra::testing {
namespace {

TEST(ExportsTest, SharedLibraryExportsTheStoreFunctionsOnly) {
    void *library = dlopen(NTESRA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char *name :
         {"storeInit", "storeTerm", "storeReadConfig", "storeBuildNetPath", "storeSwitchIdentity",
          "storeOpenDatabase", "storeCloseDatabase", "storeLoadStatusText", "storeReadRegionalSettings",
          "storeTextToStamp", "storeStampToText", "storeStampToFields", "storeFieldsToStamp", "storeStampTicks",
          "storeSearch"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    EXPECT_EQ(dlsym(library, "_ZN5tesra8clockNowEv"), nullptr) << "internal functions stay hidden";
    EXPECT_EQ(dlsym(library, "_ZN5tesra7runtimeEv"), nullptr);
    dlclose(library);
}

}  // namespace
}  // namespace tesra::testing
