// Uses the installed XpCommonLib: a worker thread builds a string and a date and signals an event
// that the main thread waits on. This file includes the headers in the prefixed form
// (<XpCommonLib/XpString.h>); old_form.cpp, linked in, in the older one (<XpString.h>).
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpDateTime.h>
#include <XpCommonLib/XpString.h>
#include <XpCommonLib/XpThread.h>

#include "old_form.h"

#include <cstdio>
#include <cstring>

namespace {

struct Work {
    XpManualEvent done{false};
    XpStringT<char> text;
};

void* work(void* arg)
{
    Work* w = static_cast<Work*>(arg);
    XpDateTime date(2024, 2, 29, 12, 0, 0);
    XpStringT<char> text("leap day ");
    text += XpStringT<char>("2024-02-29");
    w->text = text;
    w->done.SetOk(true);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(date.GetDayOfWeek()));
}

} // namespace

int main()
{
    XpCommonLibInit();
    Work w;
    XpThread* thread = XpThreadAllocAndBegin(work, &w);
    if (thread == nullptr)
        return 1;
    XpErr err = w.done.Lock(5);
    uint32_t dayOfWeek = XpThreadJoinAndFree(thread);
    bool oldForm = oldFormJoins();
    std::printf("wait: %s, \"%s\", day of week %u, old include form %s\n", XpErrName(err), w.text.GetBuffer(),
                dayOfWeek, oldForm ? "works" : "FAILS");
    bool ok = err == XPERR_OK && std::strcmp(w.text.GetBuffer(), "leap day 2024-02-29") == 0 &&
              w.text.Find("2024") == 9 && oldForm;
    return ok ? 0 : 1;
}
