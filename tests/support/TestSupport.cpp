#include "TestSupport.h"

namespace Zelm::Test {

std::vector<LeakCheck>& leakChecks() {
    static std::vector<LeakCheck> checks;
    return checks;
}

bool addLeakCheck(LeakCheck check) {
    leakChecks().push_back(std::move(check));
    return true;
}

}  // namespace Zelm::Test
