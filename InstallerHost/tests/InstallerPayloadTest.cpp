// Payload installation in-process: a folder on the person's road, and the stream that the
// helper's road sends (read back here with the stream's own decoder). What a whole stream
// carries (every entry, a link as a link) is checked where the helper writes it: PolkitTest.
#include "HostProcess.h"
#include "PayloadTreeSupport.h"

#include <InstallerPayload.h>
#include <InstallerPayloadStream.h>

#include <sys/mman.h>


namespace {

TEST(InstallerPayloadTest, AFolderOfManyFilesIsCopiedAsThePersonWithItsLinksModesAndTimes)
{
    TempFolder folder("installer-payload-test");
    ASSERT_FALSE(folder.path.empty());
    const std::string source = folder.path + "/App", dest = folder.path + "/installed/App";
    const size_t files = makeApplicationFolder(source, 2000);
    InstallerPayloadProgress last;
    InstallerPayloadResult result = InstallerPayloadInstall(source, dest, [&](const InstallerPayloadProgress& p) {
        last = p;
        return false;
    });
    ASSERT_EQ(result.outcome, InstallerPayloadOutcome::Installed) << result.error;
    EXPECT_EQ(last.filesDone, files);
    EXPECT_EQ(last.bytesDone, last.bytesTotal);
    EXPECT_GE(expectSameTree(source, dest), files + 1);
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
// the entry under way: PolkitTest's stream that ends early), and says Cancelled, not Failed.
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
    const std::string end = InstallerPayloadEncode(InstallerPayloadRecord{});
    std::string tail(end.size(), '\0');
    const off_t size = ::lseek(stream, 0, SEEK_END);
    ASSERT_GT(size, static_cast<off_t>(end.size()));
    ASSERT_EQ(::pread(stream, &tail[0], tail.size(), size - static_cast<off_t>(tail.size())), static_cast<ssize_t>(tail.size()));
    EXPECT_FALSE(tail == end) << "the stopped stream ends with the end record";
    ::close(stream);
}

} // namespace
