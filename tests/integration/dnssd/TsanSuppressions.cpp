// ThreadSanitizer reads these when the test programs start. libdbus takes its
// bus lock and a connection's lock in one order while it sets a private
// connection up and in the other while it closes it; no thread can hold the
// lock of a connection that is still being set up, so the cycle it reports
// cannot deadlock.

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libdbus-1.so\n"; }
#endif
