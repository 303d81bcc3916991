// The checks before the installation page copies: a payload that would not fit on its volume, or
// whose folder is on a read-only mount or may not be written, is refused with the reason, and a
// refused installation copies nothing. Each test mounts its small volumes in a mount namespace of
// its own (undone with it, even when it fails); the rules are asked of the check itself, and
// installer-host, against the recording plug-in, shows what a refusal does to the road.
#include "HostProcess.h"

#include <InstallerFrontEnd.h>
#include <InstallerPayload.h>

#include <sys/mount.h>

#include <cstring>

namespace {

class InstallerPreflightTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(folder_.path.empty());
        ASSERT_NO_FATAL_FAILURE(enterPrivateMountNamespace());
    }
    // A tmpfs of `size` at a new folder NAME in the test's folder.
    std::string smallVolume(const std::string& name, const std::string& size)
    {
        std::string at = folder_.path + "/" + name;
        std::filesystem::create_directories(at);
        mounts_.tmpfs(at, "size=" + size);
        return at;
    }
    // A payload file of `bytes` (sparse: its size is what counts).
    std::string payloadOf(uint64_t bytes)
    {
        std::string path = folder_.path + "/payload-" + std::to_string(bytes);
        std::ofstream{path};
        std::filesystem::resize_file(path, bytes);
        return path;
    }
    // Runs the host to its end (Continue on every page) with `installs` (SRC=DEST each); it must
    // end with `status` (a refused installation ends the road as the summary does, with a status
    // of its own).
    Host& run(Host& host, const std::vector<std::string>& installs, int status = kInstallerExitInstallationFailed,
              const std::vector<std::string>& env = {})
    {
        std::vector<std::string> args{"--actions", "continue,continue,continue,continue"};
        for (const std::string& install : installs)
            args.insert(args.end(), {"--install", install});
        args.push_back(RECORDING_BUNDLE);
        host.start(args, env);
        EXPECT_EQ(host.finish(), status) << host.output;
        return host;
    }
    // Why the check refuses to let this process copy `source` to `destination`; "" when it lets it.
    static std::string refusal(const std::string& source, const std::string& destination)
    {
        std::string at, why;
        return InstallerPayloadPreflight({{source, destination, false}}, &at, &why) ? "" : at + ": " + why;
    }

    TempFolder folder_{"preflight-test"};
    PrivateMounts mounts_;
};

// The room a payload needs is its size and 1% of it, at least 16 MiB: 2 MiB on a 16 MiB volume
// does not fit, on a 32 MiB one it does.
TEST_F(InstallerPreflightTest, ThePayloadMustFitWithItsMargin)
{
    const std::string payload = payloadOf(2u << 20), tight = smallVolume("tight", "16m"), roomy = smallVolume("roomy", "32m");
    expectHas(refusal(payload, tight + "/app/payload.bin"), {tight + "/app/payload.bin: not enough free space in " + tight + ":"});
    EXPECT_EQ(refusal(payload, roomy + "/app/payload.bin"), "");
}

// Two payloads, the second refused: the first, which would fit elsewhere, is not copied either,
// and the plug-in's panes, which set up what was installed, are skipped.
TEST_F(InstallerPreflightTest, ARefusedPayloadKeepsTheOthersFromBeingCopiedAndThePanesAreSkipped)
{
    std::string roomy = folder_.path + "/roomy";
    std::filesystem::create_directories(roomy);
    std::string small = smallVolume("small", "4m");
    Host host;
    run(host, {payloadOf(1024) + "=" + roomy + "/first.bin", payloadOf(8u << 20) + "=" + small + "/second.bin"});
    host.expectResult({"first=A panes=none ended=finished installation=refused"});
    EXPECT_TRUE(std::filesystem::is_empty(roomy)) << host.output;
}

// A destination on a read-only mount is refused, also for root, who passes every permission but
// cannot write there.
TEST_F(InstallerPreflightTest, AFolderOnAReadOnlyMountIsRefused)
{
    std::string readOnly = folder_.path + "/read-only";
    std::filesystem::create_directories(readOnly);
    ASSERT_NO_FATAL_FAILURE(mounts_.bind(readOnly, readOnly));
    ASSERT_EQ(::mount(nullptr, readOnly.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    EXPECT_EQ(refusal(payloadOf(1024), readOnly + "/app/payload.bin"),
              readOnly + "/app/payload.bin: " + readOnly + " is on a read-only volume");
}

// A person who may not write the folder, where no helper could write it for them, is refused
// with the system's reason before anything is copied (the folder is root's, the host runs as
// nobody).
TEST_F(InstallerPreflightTest, AFolderThePersonMayNotWriteIsRefusedWithoutAHelper)
{
    ASSERT_EQ(::chmod(folder_.path.c_str(), 0755), 0);
    std::string rootsOwn = folder_.path + "/roots-own";
    std::filesystem::create_directories(rootsOwn);
    std::string payload = payloadOf(1024);
    ASSERT_EQ(::chmod(payload.c_str(), 0644), 0);
    Host host;
    host.runAsUid = 65534;
    host.runAsGid = 65534;
    run(host, {payload + "=" + rootsOwn + "/payload.bin"}, kInstallerExitInstallationFailed, {"HOME=" + folder_.path});
    expectHas(host.output, {"refused " + rootsOwn + "/payload.bin: " + rootsOwn + " may not be written: Permission denied"});
    EXPECT_TRUE(std::filesystem::is_empty(rootsOwn));
}

} // namespace
