// Payload installation in-process: a folder on the person's road, and the stream that the
// helper's road sends (read back here with the stream's own decoder). The helper's side of the
// stream is tested with the helper itself in PolkitTest.
#include "HostProcess.h"
#include "PayloadTreeSupport.h"

#include <InstallerPayload.h>
#include <InstallerPayloadStream.h>

#include <sys/mman.h>

#include <cstring>

#include <map>

namespace {

// The records of a stream read back from the descriptor `fd` (from its start); `why` says what
// was wrong when it is not a complete stream.
std::vector<InstallerPayloadRecord> readStream(int fd, std::map<std::string, std::string>* data, std::string* why)
{
    std::vector<InstallerPayloadRecord> records;
    off_t at = 0;
    auto take = [&](void* to, size_t size) {
        ssize_t n = ::pread(fd, to, size, at);
        at += n > 0 ? n : 0;
        return n == static_cast<ssize_t>(size);
    };
    char magic[sizeof kInstallerPayloadMagic];
    if (!take(magic, sizeof magic) || std::memcmp(magic, kInstallerPayloadMagic, sizeof magic) != 0) {
        *why = "no magic";
        return records;
    }
    std::vector<std::string> folders;
    for (;;) {
        unsigned char header[kInstallerPayloadHeaderSize];
        InstallerPayloadRecord record;
        if (!take(header, sizeof header)) {
            *why = "ended early";
            return records;
        }
        if (!InstallerPayloadDecode(header, record, *why))
            return records;
        std::string bytes(record.size, '\0');
        take(&bytes[0], bytes.size());
        std::string path;
        for (const std::string& f : folders)
            path += f.empty() ? "" : f + "/"; // the payload's own record has no name
        path += record.name;
        if (record.kind == InstallerPayloadKind::Folder)
            folders.push_back(record.name);
        if (record.kind == InstallerPayloadKind::EndFolder)
            folders.pop_back();
        if (data && (record.kind == InstallerPayloadKind::File || record.kind == InstallerPayloadKind::Link))
            (*data)[path] = bytes;
        records.push_back(record);
        if (record.kind == InstallerPayloadKind::End)
            return records;
    }
}

TEST(InstallerPayloadTest, AFolderOfManyFilesIsCopiedAsThePersonWithItsLinksModesAndTimes)
{
    TempFolder folder("installer-payload-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string source = folder.path + "/App", dest = folder.path + "/installed/App";
    const size_t files = makeApplicationFolder(source, 2000);
    InstallerPayloadProgress last;
    size_t reports = 0;
    InstallerPayloadResult result = InstallerPayloadInstall(source, dest, [&](const InstallerPayloadProgress& p) {
        EXPECT_GE(p.bytesDone, last.bytesDone);
        EXPECT_GE(p.filesDone, last.filesDone);
        last = p;
        ++reports;
        return false;
    });
    ASSERT_EQ(result.outcome, InstallerPayloadOutcome::Installed) << result.error;
    EXPECT_EQ(last.filesDone, files);
    EXPECT_EQ(last.filesTotal, files);
    EXPECT_EQ(last.bytesDone, last.bytesTotal);
    EXPECT_GT(reports, 2u);
    EXPECT_GE(expectSameTree(source, dest), files + 1);
    EXPECT_EQ(stagingDebris(dest), 0u);
    // Installed again over itself, it merges and replaces, and the link is still a link.
    result = InstallerPayloadInstall(source, dest, nullptr);
    ASSERT_EQ(result.outcome, InstallerPayloadOutcome::Installed) << result.error;
    expectSameTree(source, dest);
}

// The helper's road reads the payload here: files as their bytes, folders nested, a link as the
// link (its target, never what it points to), each name once, and the end record last.
TEST(InstallerPayloadTest, TheStreamCarriesEveryEntryOnceAndALinkAsALink)
{
    TempFolder folder("installer-payload-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string source = folder.path + "/App";
    const size_t files = makeApplicationFolder(source, 60);
    std::ofstream(folder.path + "/outside") << "not in the payload\n";
    ASSERT_EQ(::symlink((folder.path + "/outside").c_str(), (source + "/escape").c_str()), 0);
    int stream = ::memfd_create("stream", MFD_CLOEXEC);
    ASSERT_GE(stream, 0);
    InstallerPayloadResult result = InstallerPayloadSend(source, stream, nullptr);
    ASSERT_EQ(result.outcome, InstallerPayloadOutcome::Installed) << result.error;
    std::map<std::string, std::string> data;
    std::string why;
    std::vector<InstallerPayloadRecord> records = readStream(stream, &data, &why);
    ::close(stream);
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().kind, InstallerPayloadKind::Folder);
    EXPECT_EQ(records.front().name, "");
    EXPECT_EQ(records.back().kind, InstallerPayloadKind::End);
    EXPECT_EQ(data.at("current"), "lib/0");
    EXPECT_EQ(data.at("escape"), folder.path + "/outside");
    EXPECT_EQ(data.at("private.conf"), "secret\n");
    EXPECT_EQ(data.at("lib/5/2/file5.dat"), fileText(source + "/lib/5/2/file5.dat"));
    EXPECT_EQ(data.size(), files + 2); // every file and both links, each once
    size_t folders = 0, ends = 0;
    for (const InstallerPayloadRecord& r : records) {
        folders += r.kind == InstallerPayloadKind::Folder;
        ends += r.kind == InstallerPayloadKind::EndFolder;
    }
    EXPECT_EQ(folders, ends);
    EXPECT_EQ(folders, 1u + 1u + 1u + 16u + 48u); // App, bin, lib, lib/N, lib/N/M
}

// A FIFO (or socket, or device) in the payload is refused before anything is written, on both
// roads, and never opened: reading it would wait for a writer that never comes.
TEST(InstallerPayloadTest, AFifoInThePayloadIsRefusedBeforeAnythingIsWrittenAndNeverOpened)
{
    TempFolder folder("installer-payload-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string source = folder.path + "/App", dest = folder.path + "/installed/App";
    makeApplicationFolder(source, 50);
    ASSERT_EQ(::mkfifo((source + "/lib/3/pipe").c_str(), 0644), 0);
    InstallerPayloadResult result = InstallerPayloadInstall(source, dest, nullptr);
    EXPECT_EQ(result.outcome, InstallerPayloadOutcome::Failed);
    expectHas(result.error, {source + "/lib/3/pipe: neither a regular file, a folder nor a link; not copied"});
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/installed"));
    int stream = ::memfd_create("stream", MFD_CLOEXEC);
    ASSERT_GE(stream, 0);
    result = InstallerPayloadSend(source, stream, nullptr);
    EXPECT_EQ(result.outcome, InstallerPayloadOutcome::Failed);
    struct stat st;
    EXPECT_TRUE(::fstat(stream, &st) == 0 && st.st_size == 0); // not even the magic
    ::close(stream);
    // The payload itself a FIFO: refused as well.
    result = InstallerPayloadInstall(source + "/lib/3/pipe", dest, nullptr);
    EXPECT_EQ(result.outcome, InstallerPayloadOutcome::Failed);
    expectHas(result.error, {"neither a regular file nor a folder"});
}

// A stop asked mid-stream ends the stream without its end record (so the reader keeps nothing of
// the entry under way), and says Cancelled, not Failed.
TEST(InstallerPayloadTest, AStopMidStreamLeavesTheStreamIncomplete)
{
    TempFolder folder("installer-payload-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string source = folder.path + "/App";
    makeApplicationFolder(source, 200);
    int stream = ::memfd_create("stream", MFD_CLOEXEC);
    ASSERT_GE(stream, 0);
    InstallerPayloadResult result = InstallerPayloadSend(source, stream, [](const InstallerPayloadProgress& p) {
        return p.filesDone >= 100;
    });
    EXPECT_EQ(result.outcome, InstallerPayloadOutcome::Cancelled);
    std::string why;
    std::vector<InstallerPayloadRecord> records = readStream(stream, nullptr, &why);
    ::close(stream);
    EXPECT_EQ(why, "ended early");
    EXPECT_FALSE(records.empty());
}

} // namespace
