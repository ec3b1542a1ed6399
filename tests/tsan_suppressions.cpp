// Built into every program of the ThreadSanitizer build, so that no run needs a suppressions file
// it may not be able to read (an unprivileged user's, outside a checkout closed to others).
//
// Qt is not built with ThreadSanitizer: its mutexes (futexes) are invisible to it, so what Qt's own
// threads do (the test library's watchdog) and its internal locking look like races. The helper's
// shared state is guarded by the C++ library's mutexes, which ThreadSanitizer sees.
extern "C" const char *__tsan_default_suppressions()
{
    return "race:libQt5Core.so.5\n"
           "race:libQt5Test.so.5\n"
           "called_from_lib:libQt5Core.so.5\n"
           "called_from_lib:libQt5Test.so.5\n";
}
