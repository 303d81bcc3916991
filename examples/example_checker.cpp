// The availability checker: existence tests that cannot hang on a network share that stopped
// answering. On local volumes (as here) it answers at once; on a network volume it would give up
// after the time-out and, with its cache on, answer "not available" for that folder from then on.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpFileAvailableChecker.h>

#include <unistd.h>

#include <cstdio>

typedef XpStringT<char> Str;

namespace {

void show(const char* what, bool available)
{
    std::printf("%-36s %s\n", what, available ? "available" : "not available");
}

} // namespace

int main()
{
    XpCommonLibInit();
    char folder[] = "/tmp/xp-example-checker-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    Str file = Str(folder) + "/notes.txt";
    if (FILE* f = std::fopen(file.GetBuffer(), "w"))
        std::fclose(f);

    XpFileAvailableChecker checker(true);
    const unsigned timeout = 3;   // seconds, for a network volume
    show("the file, as a file:", checker.IsFileAvailableWithTimeOut(file, timeout));
    show("the file without its extension:", checker.IsFileAvailableNoExtWithTimeOut(Str(folder) + "/notes", timeout));
    show("the file, as a folder:", checker.IsDirAvailableWithTimeOut(file, timeout));
    show("its folder, as a folder:", checker.IsDirAvailableWithTimeOut(folder, timeout));
    show("a missing file:", checker.IsFileAvailableWithTimeOut(Str(folder) + "/missing.txt", timeout));
    unlink(file.GetBuffer());
    show("the file after it was removed:", checker.IsFileAvailableWithTimeOut(file, timeout));
    rmdir(folder);
    return 0;
}
