// A shared library that uses the backend, for the check that it exports
// nothing of it: only this one function.

#include <dns_sd.h>

extern "C" __attribute__((visibility("default"))) int zelmVisibilityProbe() {
    return DNSServiceProcessResult(nullptr);
}
