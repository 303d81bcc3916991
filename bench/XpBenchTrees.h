// The trees the file benchmarks copy, made the same way in every program and every run.
#ifndef XP_BENCH_TREES_H
#define XP_BENCH_TREES_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

// The folder a benchmark program works in, and a name in it.
inline std::string workDir;

inline std::string path(const char* name) { return workDir + "/" + name; }

// Runs a program found on PATH, no shell, and tells whether it exited with status 0.
inline bool run(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    int status = 0;
    return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 &&
           waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// 20,000 files of 0 to 8 KiB (sizes spread evenly, the same in every run): 100 folders of 200.
const int kSmallFolders = 100, kSmallFilesPerFolder = 200;

inline void makeSmallFileTree(const std::string& top)
{
    mkdir(top.c_str(), 0755);
    std::string data(8192, 0);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 % 251);
    unsigned int seed = 1;
    for (int d = 0; d < kSmallFolders; ++d) {
        std::string dir = top + "/d" + std::to_string(d);
        mkdir(dir.c_str(), 0755);
        for (int f = 0; f < kSmallFilesPerFolder; ++f) {
            seed = seed * 1103515245u + 12345u;
            size_t size = (seed >> 8) % (data.size() + 1);
            int fd = open((dir + "/f" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, data.data(), size) != static_cast<ssize_t>(size)) {
                std::perror("small-file tree");
                std::exit(1);
            }
            close(fd);
        }
    }
}

#endif
