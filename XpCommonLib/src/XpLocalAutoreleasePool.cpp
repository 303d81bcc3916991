// Linux has no autorelease pools: the scoped object keeps its shape so that portable code that
// builds one per scope compiles and runs unchanged.
#include <XpThread.h>

XpLocalAutoreleasePool::XpLocalAutoreleasePool() : pool(nullptr) {}

XpLocalAutoreleasePool::~XpLocalAutoreleasePool()
{
    (void)pool;
}
