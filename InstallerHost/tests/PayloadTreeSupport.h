// Payload trees for the tests of payload installation: an application folder of many files made
// quickly, and a comparison of a copy with its source (kinds, contents, link targets, modes and
// modification times).
#ifndef PAYLOADTREESUPPORT_H
#define PAYLOADTREESUPPORT_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

// `root` (made) with `files` small files spread over nested folders (app/lib/N/...), a link
// inside it ("current" -> "lib/0"), a file without any permission for others and an executable
// one. Returns the number of regular files made.
inline size_t makeApplicationFolder(const std::string& root, size_t files)
{
    std::filesystem::create_directories(root + "/bin");
    std::ofstream(root + "/bin/app") << "#!/bin/sh\necho app\n";
    ::chmod((root + "/bin/app").c_str(), 0755);
    std::ofstream(root + "/private.conf") << "secret\n";
    ::chmod((root + "/private.conf").c_str(), 0600);
    for (size_t i = 0; i < files; ++i) {
        const std::string folder = root + "/lib/" + std::to_string(i % 16) + "/" + std::to_string(i % 3);
        if (i < 48)
            std::filesystem::create_directories(folder);
        std::ofstream(folder + "/file" + std::to_string(i) + ".dat") << "content of file " << i << "\n"
                                                                      << std::string(i % 700, 'x');
    }
    ::symlink("lib/0", (root + "/current").c_str());
    return files + 2;
}

inline std::string fileText(const std::string& path)
{
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// Expects `copy` to hold what `source` holds, entry for entry: the same kinds, file contents and
// link targets, the permission bits of the source within `modeMask`, and the same modification
// times (files and folders). Returns the number of entries compared.
inline size_t expectSameTree(const std::string& source, const std::string& copy, mode_t modeMask = 07777)
{
    size_t compared = 0;
    std::set<std::string> seen;
    for (auto it = std::filesystem::recursive_directory_iterator(source); it != std::filesystem::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().lexically_relative(source).string();
        seen.insert(rel);
        struct stat a, b;
        EXPECT_EQ(::lstat(it->path().c_str(), &a), 0);
        if (::lstat((copy + "/" + rel).c_str(), &b) != 0) {
            ADD_FAILURE() << rel << " is missing in the copy";
            continue;
        }
        ++compared;
        EXPECT_EQ(a.st_mode & S_IFMT, b.st_mode & S_IFMT) << rel;
        if (S_ISLNK(a.st_mode)) {
            EXPECT_EQ(std::filesystem::read_symlink(it->path()), std::filesystem::read_symlink(copy + "/" + rel)) << rel;
            continue;
        }
        EXPECT_EQ(a.st_mode & modeMask, b.st_mode & 07777) << rel << std::oct << " " << a.st_mode << " " << b.st_mode;
        EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << rel;
        EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << rel;
        if (S_ISREG(a.st_mode)) {
            EXPECT_EQ(fileText(it->path().string()), fileText(copy + "/" + rel)) << rel;
        }
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(copy)) {
        EXPECT_TRUE(seen.count(entry.path().lexically_relative(copy).string()))
            << entry.path() << " is in the copy only";
    }
    return compared;
}

// After a copy that was stopped: expects every regular file in `dest` to hold exactly what its
// source in `source` holds (complete files only, nothing half-written). Returns how many there are.
inline size_t expectCompleteFilesOnly(const std::string& source, const std::string& dest)
{
    size_t placed = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dest)) {
        if (!entry.is_regular_file())
            continue;
        ++placed;
        const std::string rel = entry.path().lexically_relative(dest).string();
        EXPECT_EQ(fileText(entry.path().string()), fileText(source + "/" + rel)) << rel;
    }
    return placed;
}

// Gives `root` and everything below it (links themselves, not their targets) to uid and gid.
inline bool chownTree(const std::string& root, uid_t uid, gid_t gid)
{
    bool all = ::lchown(root.c_str(), uid, gid) == 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        all = ::lchown(item.path().c_str(), uid, gid) == 0 && all;
    return all;
}

// The entries of a folder whose names are the library's staging names (debris of a copy).
inline size_t stagingDebris(const std::string& root)
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        n += entry.path().filename().string().rfind(".xpcopy-", 0) == 0;
    return n;
}

#endif
