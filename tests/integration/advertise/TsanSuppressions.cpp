// ThreadSanitizer reads these when the program starts. libdbus, under the
// DNS-SD backend, takes its bus lock and a connection's lock in one order
// while it sets a private connection up and in the other while it closes it;
// a connection still being set up is held by no other thread, so the
// reported cycle cannot deadlock.

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libdbus-1.so\n"; }
#endif
