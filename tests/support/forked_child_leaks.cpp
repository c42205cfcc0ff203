// The leak checker stays out of forked children of a test. AddressSanitizer's
// allocator is not fork-safe in this compiler's runtime: a child forked while
// another thread of the test (a library thread) was inside malloc inherits
// that allocator lock taken, and the leak check at the child's exit, which
// takes every allocator lock, would wait for it for ever. The test process
// itself is still checked.
#include <unistd.h>

namespace {

const pid_t gTestProcess = getpid();

}  // namespace

// Asked by the leak checker before it runs; non-zero turns it off.
extern "C" int __lsan_is_turned_off() { return getpid() != gTestProcess ? 1 : 0; }
