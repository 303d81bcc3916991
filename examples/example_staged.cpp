// A settings file replaced safely: written beside its name, given its mode before any data, and
// put in place in one step, so a reader (or a crash) sees the old file or the new one, never a
// part. A second write is dropped before it is placed and leaves no trace; a failure prints the
// system's reason.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpFd.h>
#include <XpCommonLib/XpFileOperation.h>
#include <XpCommonLib/XpStagedFile.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string readAll(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Writes text as name in the folder open at dir, replacing what is there.
XpFileError writeSettings(int dir, const char* name, const std::string& text)
{
    XpStagedFile staged;
    XpFileError err = staged.Create(dir, name);
    if (err.IsOk())
        err = staged.SetMode(0644);
    if (err.IsOk())
        err = staged.Write(text.data(), text.size());
    if (err.IsOk())
        err = staged.Place(XpStagedFile::placeReplace, true);   // fsync of file and folder
    return err;
}

int entries(const char* folder)
{
    int n = 0;
    if (DIR* d = opendir(folder)) {
        while (struct dirent* e = readdir(d))
            n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
        closedir(d);
    }
    return n;
}

} // namespace

int main()
{
    XpCommonLibInit();
    char folder[] = "/tmp/xp-example-staged-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string path = std::string(folder) + "/settings.conf";
    XpFd dir(open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC));

    XpFileError err = writeSettings(dir.Get(), "settings.conf", "volume=3\n");
    std::printf("first: %s, content %s", XpErrName(err.Code()), readAll(path).c_str());
    err = writeSettings(dir.Get(), "settings.conf", "volume=7\n");
    std::printf("replaced: %s, content %s", XpErrName(err.Code()), readAll(path).c_str());

    {
        XpStagedFile dropped;   // never placed: nothing of it stays
        dropped.Create(dir.Get(), "settings.conf");
        dropped.Write("volume=0\n", 9);
    }
    std::printf("after a dropped write: %d entry, content %s", entries(folder), readAll(path).c_str());

    XpStagedFile taken;
    taken.Create(dir.Get(), "settings.conf");
    err = taken.Place(XpStagedFile::placeNew, false);   // the name is taken
    std::printf("new file over a taken name: %s (%s)\n", XpErrName(err.Code()), err.Describe().GetBuffer());
    taken.Discard();

    // The copies by paths go through the same layer and leave their cause for LastError.
    XpErr copied = XpFileOperation::CopyFileSafely(XpStringT<char>(path.c_str()),
                                                   XpStringT<char>((std::string(folder) + "/no/copy").c_str()), false, nullptr);
    err = XpFileOperation::LastError();
    std::printf("copy into a missing folder: %s (%s: %s)\n", XpErrName(copied), err.Operation(), err.Describe().GetBuffer());

    unlink(path.c_str());
    rmdir(folder);
    return 0;
}
