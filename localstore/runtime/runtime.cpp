#include "runtime/runtime.h"

namespace tesra {

Runtime &runtime() {
    static Runtime instance;
    return instance;
}

}  // namespace tesra
