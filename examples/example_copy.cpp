// A copy with a progress observer: the observer sees each 256 KiB step, and a second copy is
// stopped half-way by the observer's answer, which leaves no partial destination behind.
#include <XpCommonLib/XpCommonLib.h>
#include <XpCommonLib/XpFile.h>
#include <XpCommonLib/XpFileOperation.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

typedef XpStringT<char> Str;

namespace {

class Observer : public IXpFileOpProgressObserver {
public:
    explicit Observer(double stopAt) : stopAt_(stopAt) {}
    bool OnProgress(double p) override
    {
        steps.push_back(p);
        return p >= stopAt_;   // true asks the copy to stop
    }
    std::vector<double> steps;

private:
    double stopAt_;
};

std::string readAll(const char* path)
{
    std::string text;
    if (FILE* f = std::fopen(path, "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

} // namespace

int main()
{
    XpCommonLibInit();
    char folder[] = "/tmp/xp-example-copy-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    Str source = Str(folder) + "/source.bin", target = Str(folder) + "/copy.bin",
        stopped = Str(folder) + "/stopped.bin";

    std::string content;
    for (int i = 0; i < 1024 * 1024; ++i)   // 1 MiB: four steps of 256 KiB
        content += static_cast<char>('a' + i % 26);
    if (FILE* f = std::fopen(source.GetBuffer(), "wb")) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }

    Observer all(1000.0);
    XpErr err = XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile>(new XpFile(source)), target, &all);
    std::printf("copy: %s, progress", XpErrName(err));
    for (double p : all.steps)
        std::printf(" %.0f%%", p);
    std::printf("\ncopy has the same content: %s\n", readAll(target.GetBuffer()) == content ? "yes" : "NO");

    Observer half(50.0);
    err = XpFileOperation::CopyFile(XpSharedPtr<XpAbstractFile>(new XpFile(source)), stopped, &half);
    std::printf("stopped copy: %s after %zu calls; destination left behind: %s\n", XpErrName(err),
                half.steps.size(), XpFileOperation::IsFileAvailable(stopped) ? "YES" : "none");

    unlink(source.GetBuffer());
    unlink(target.GetBuffer());
    unlink(stopped.GetBuffer());
    rmdir(folder);
    return 0;
}
