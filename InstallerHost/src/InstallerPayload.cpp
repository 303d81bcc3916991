// Payload installation: the person's road on the library's file-safety layer, the helper's road as
// a stream of records written by this process (see InstallerPayload.h and InstallerPayloadStream.h).
//
// Linux notes. The sending side moves a file's data into the pipe with sendfile, so no more than
// small files (up to 64 KiB each, gathered up to 64 KiB and sent with their records in one write)
// pass through this process's memory;
// the pipe is widened to 1 MiB (the most an unprivileged process may ask by default) so the
// helper is woken less often. SIGPIPE is blocked
// on the sending thread while it writes: a helper that refuses ends its standard input early,
// which must end the copy with its message, not kill the installer.
#include <InstallerPayload.h>
#include <InstallerPayloadStream.h>
#include "InstallerTexts.h"

#include <XpFd.h>
#include <XpFileOperation.h>
#include <XpStagedFile.h>
#include <XpTreeWriter.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

extern char** environ;

namespace {

// Progress is handed on after every file, and inside a file after this many bytes.
const uint64_t kReportEvery = 4u << 20;
// Files up to this size are read into the sender's buffer and sent with their record, several
// at a time once the buffer holds kBatch bytes; larger ones go with sendfile.
const uint64_t kSmallFile = 64u << 10;
const size_t kBatch = 64u << 10;

InstallerPayloadResult failed(const std::string& why)
{
    return {InstallerPayloadOutcome::Failed, why};
}

std::string systemReason(int err)
{
    return XpFileError(XPERR_FILE_FAILED, err).Describe().GetBuffer();
}

std::string joined(const std::string& where, const char* name)
{
    return where.empty() ? std::string(name) : where + "/" + name;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using Listing = std::unique_ptr<DIR, DirCloser>;

// The entries of the folder open at `folder`, read through a description of its own, so that two
// walks of one folder never share a position.
Listing list(int folder, int& err)
{
    XpFd own(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = own.IsValid() ? ::fdopendir(own.Get()) : nullptr;
    err = d ? 0 : errno;
    if (d)
        own.Release();
    return Listing(d);
}

bool dotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Counts what lies below the folder open at `folder` (shown as `where`), refusing what the
// payload may not hold. Nothing is opened but folders, each without following a link.
bool tally(int folder, const std::string& where, size_t depth, InstallerPayloadProgress& totals, std::string& why)
{
    if (depth > kInstallerPayloadMaxDepth) {
        why = InstallerText("%s: folders nested too deep", where);
        return false;
    }
    int err = 0;
    Listing d = list(folder, err);
    if (!d) {
        why = where + ": " + systemReason(err);
        return false;
    }
    for (errno = 0; struct dirent* entry = ::readdir(d.get()); errno = 0) {
        if (dotOrDotDot(entry->d_name))
            continue;
        const std::string path = joined(where, entry->d_name);
        struct stat st;
        if (::fstatat(::dirfd(d.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            why = path + ": " + systemReason(errno);
            return false;
        }
        if (!InstallerPayloadNameAllowed(entry->d_name)) {
            why = InstallerText("%s: a name the installer does not copy (a staging name of its own)", path);
            return false;
        }
        if (S_ISREG(st.st_mode)) {
            ++totals.filesTotal;
            totals.bytesTotal += static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            XpFd sub(::openat(::dirfd(d.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.IsValid()) {
                why = path + ": " + systemReason(errno);
                return false;
            }
            if (!tally(sub.Get(), path, depth + 1, totals, why))
                return false;
        } else if (!S_ISLNK(st.st_mode)) {
            why = InstallerText("%s: neither a regular file, a folder nor a link; not copied", path);
            return false;
        }
    }
    if (errno != 0) {
        why = where + ": " + systemReason(errno);
        return false;
    }
    return true;
}

// The payload as the person named it, open and counted: a regular file or a folder, nothing
// below it that the payload may not hold. `why` says what is wrong when Open fails.
struct OpenedPayload {
    XpFd fd;
    struct stat st {};
    InstallerPayloadProgress totals;
    std::string why;

    bool Open(const std::string& source);
};

bool OpenedPayload::Open(const std::string& source)
{
    fd.Reset(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0) {
        why = source + ": " + systemReason(errno);
        return false;
    }
    totals = InstallerPayloadProgress();
    if (S_ISREG(st.st_mode)) {
        totals.filesTotal = 1;
        totals.bytesTotal = static_cast<uint64_t>(st.st_size);
        return true;
    }
    if (S_ISDIR(st.st_mode))
        return tally(fd.Get(), source, 1, totals, why);
    why = InstallerText("%s: neither a regular file nor a folder", source);
    return false;
}

InstallerPayloadRecord recordOf(InstallerPayloadKind kind, const struct stat& st, const char* name, uint64_t size)
{
    InstallerPayloadRecord record;
    record.kind = kind;
    record.mode = st.st_mode & 07777;
    record.atimeSec = st.st_atim.tv_sec;
    record.atimeNsec = static_cast<uint32_t>(st.st_atim.tv_nsec);
    record.mtimeSec = st.st_mtim.tv_sec;
    record.mtimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    record.size = size;
    record.name = name;
    return record;
}

// The sending half: writes the records of one payload to `out`.
class Sender {
public:
    Sender(int out, const InstallerPayloadObserver& observer, const InstallerPayloadProgress& totals)
        : out_(out), observer_(observer), progress_(totals)
    {
    }

    bool cancelled() const { return cancelled_; }
    const std::string& error() const { return error_; }

    bool send(int fd, const struct stat& st, const std::string& source)
    {
        if (!report())
            return false;
        pending_.assign(kInstallerPayloadMagic, sizeof kInstallerPayloadMagic);
        bool sent = S_ISDIR(st.st_mode) ? sendFolder(fd, st, "", source, 1) : sendFile(fd, st, "", source);
        return sent && writeRecord(recordOf(InstallerPayloadKind::End, {}, "", 0)) && flush();
    }

private:
    // Stopped, the entries complete in pending_ still go out (the helper keeps them, as what was
    // copied before the stop); the stream then ends without its end record.
    bool report()
    {
        if (observer_ && observer_(progress_)) {
            cancelled_ = true;
            flush();
            return false;
        }
        return true;
    }

    bool write(const void* data, size_t size)
    {
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = ::write(out_, at, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail(InstallerText("cannot hand the payload on: %s", systemReason(n < 0 ? errno : EPIPE)));
            at += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    // Records, small files and links wait in pending_ and go out together once it holds
    // kBatch bytes: one write and one wake-up of the helper for many small entries.
    bool writeRecord(const InstallerPayloadRecord& record)
    {
        pending_ += InstallerPayloadEncode(record);
        return pending_.size() < kBatch || flush();
    }

    bool flush()
    {
        bool written = pending_.empty() || write(pending_.data(), pending_.size());
        pending_.clear();
        return written;
    }

    bool fail(const std::string& why)
    {
        if (error_.empty())
            error_ = why;
        return false;
    }

    // Exactly st_size bytes of the file open at `fd`, from its start: a file that shrinks while it
    // is read ends the stream short (the reader then keeps nothing of it), one that grows is cut at
    // the size its record announced.
    bool sendFile(int fd, const struct stat& st, const char* name, const std::string& path)
    {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size <= kSmallFile) {
            // A small file goes out with its record in one write: most files of an application
            // are small, and a write and a wake-up of the helper each would cost more than them.
            pending_ += InstallerPayloadEncode(recordOf(InstallerPayloadKind::File, st, name, size));
            const size_t head = pending_.size();
            pending_.resize(head + size);
            size_t got = 0;
            while (got < size) {
                ssize_t n = ::pread(fd, &pending_[head + got], size - got, static_cast<off_t>(got));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return fail(path + ": " + systemReason(errno));
                if (n == 0)
                    return fail(InstallerText("%s: changed while it was being copied", path));
                got += static_cast<size_t>(n);
            }
            if (pending_.size() >= kBatch && !flush())
                return false;
            progress_.bytesDone += size;
            ++progress_.filesDone;
            return report();
        }
        pending_ += InstallerPayloadEncode(recordOf(InstallerPayloadKind::File, st, name, size));
        if (!flush())
            return false;
        off_t offset = 0;
        uint64_t sinceReport = 0;
        std::unique_ptr<char[]> buffer;
        while (static_cast<uint64_t>(offset) < size) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(size - static_cast<uint64_t>(offset), 1u << 20));
            ssize_t n = buffer ? -1 : ::sendfile(out_, fd, &offset, want);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS || buffer)) {
                // A file system without sendfile: through a buffer of our own, still one chunk at a time.
                if (!buffer)
                    buffer.reset(new char[256u << 10]);
                n = ::pread(fd, buffer.get(), std::min<size_t>(want, 256u << 10), offset);
                if (n > 0 && !write(buffer.get(), static_cast<size_t>(n)))
                    return false;
                if (n > 0)
                    offset += n;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(errno == EPIPE ? InstallerText("cannot hand the payload on: %s", systemReason(EPIPE))
                                           : path + ": " + systemReason(errno));
            if (n == 0)
                return fail(InstallerText("%s: changed while it was being copied", path));
            progress_.bytesDone += static_cast<uint64_t>(n);
            sinceReport += static_cast<uint64_t>(n);
            if (sinceReport >= kReportEvery && static_cast<uint64_t>(offset) < size) {
                sinceReport = 0;
                if (!report())
                    return false;
            }
        }
        ++progress_.filesDone;
        return report();
    }

    bool sendLink(int folder, const struct stat& st, const char* name, const std::string& path)
    {
        char target[kInstallerPayloadMaxLink + 1];
        ssize_t n = ::readlinkat(folder, name, target, sizeof target);
        if (n < 0)
            return fail(path + ": " + systemReason(errno));
        if (n == 0 || static_cast<uint64_t>(n) > kInstallerPayloadMaxLink)
            return fail(InstallerText("%s: a link whose target is too long", path));
        pending_ += InstallerPayloadEncode(recordOf(InstallerPayloadKind::Link, st, name, static_cast<uint64_t>(n)));
        pending_.append(target, static_cast<size_t>(n));
        return pending_.size() < kBatch || flush();
    }

    // The folder's record, its entries, and its end. Each entry is opened below the folder's
    // descriptor without following a link, and what is read is what its open descriptor says it
    // is: a file swapped for a FIFO after it was counted is refused, never read.
    bool sendFolder(int folder, const struct stat& st, const char* name, const std::string& path, size_t depth)
    {
        if (depth > kInstallerPayloadMaxDepth)
            return fail(InstallerText("%s: folders nested too deep", path));
        if (!writeRecord(recordOf(InstallerPayloadKind::Folder, st, name, 0)))
            return false;
        int err = 0;
        Listing d = list(folder, err);
        if (!d)
            return fail(path + ": " + systemReason(err));
        for (errno = 0; struct dirent* entry = ::readdir(d.get()); errno = 0) {
            if (dotOrDotDot(entry->d_name))
                continue;
            const std::string sub = joined(path, entry->d_name);
            if (!InstallerPayloadNameAllowed(entry->d_name))
                return fail(InstallerText("%s: a name the installer does not copy (a staging name of its own)", sub));
            // The kind the listing gives is a hint that spares a look at every file; what is
            // opened is checked on its descriptor all the same.
            struct stat entrySt;
            entrySt.st_mode = entry->d_type == DT_DIR ? S_IFDIR : entry->d_type == DT_REG ? S_IFREG : 0;
            if (entrySt.st_mode == 0 && ::fstatat(::dirfd(d.get()), entry->d_name, &entrySt, AT_SYMLINK_NOFOLLOW) != 0)
                return fail(sub + ": " + systemReason(errno));
            if (S_ISLNK(entrySt.st_mode)) {
                if (!sendLink(::dirfd(d.get()), entrySt, entry->d_name, sub))
                    return false;
                continue;
            }
            const int flags = S_ISDIR(entrySt.st_mode) ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY;
            XpFd fd(::openat(::dirfd(d.get()), entry->d_name, flags | O_NOFOLLOW | O_CLOEXEC));
            if (!fd.IsValid() || ::fstat(fd.Get(), &entrySt) != 0)
                return fail(sub + ": " + systemReason(errno));
            bool sent = S_ISDIR(entrySt.st_mode)   ? sendFolder(fd.Get(), entrySt, entry->d_name, sub, depth + 1)
                        : S_ISREG(entrySt.st_mode) ? sendFile(fd.Get(), entrySt, entry->d_name, sub)
                                                   : fail(InstallerText("%s: neither a regular file, a folder nor a link; not copied", sub));
            if (!sent)
                return false;
        }
        if (errno != 0)
            return fail(path + ": " + systemReason(errno));
        return writeRecord(recordOf(InstallerPayloadKind::EndFolder, {}, "", 0));
    }

    int out_;
    std::string pending_; // what is yet to be written: at most kBatch and a small file
    const InstallerPayloadObserver& observer_;
    InstallerPayloadProgress progress_;
    std::string error_;
    bool cancelled_ = false;
};

// Hands the library's copy progress of one file on as bytes of the payload.
class FileObserver : public IXpFileOpProgressObserver {
public:
    FileObserver(const InstallerPayloadObserver& observer, InstallerPayloadProgress& progress, uint64_t size)
        : observer_(observer), progress_(progress), base_(progress.bytesDone), size_(size)
    {
    }
    bool OnProgress(double percent) override
    {
        progress_.bytesDone = base_ + static_cast<uint64_t>(static_cast<double>(size_) * percent / 100.0);
        return observer_ && observer_(progress_);
    }

private:
    const InstallerPayloadObserver& observer_;
    InstallerPayloadProgress& progress_;
    uint64_t base_;
    uint64_t size_;
};

// One file as this process: staged in the destination's folder (unnamed where the file system
// allows, else under the library's hidden name, created exclusively without following a link),
// given the source's permission bits before any byte is written and its times before it is seen,
// and renamed over the destination once complete and on disk. A half-copied file never appears
// under that name, an existing destination keeps its content until then, a link at the
// destination is replaced, never written through, and a cancelled or failed copy leaves nothing.
InstallerPayloadResult installFile(int source, const struct stat& st, int folder, const std::string& name,
                                   const std::string& destination, const InstallerPayloadObserver& observer,
                                   InstallerPayloadProgress& progress)
{
    XpStagedFile staged;
    XpFileError err = staged.Create(folder, name.c_str());
    if (err.IsOk())
        err = staged.SetMode(st.st_mode & 07777);
    if (!err.IsOk())
        return failed(destination + ": " + err.Describe().GetBuffer());
    staged.SetTimes(st.st_atim, st.st_mtim);
    FileObserver fileObserver(observer, progress, static_cast<uint64_t>(st.st_size));
    err = staged.CopyFrom(source, st, &fileObserver);
    if (err.Code() == XPERR_FILE_CANCELLED)
        return {InstallerPayloadOutcome::Cancelled, std::string()}; // staged drops the partial copy
    if (err.IsOk())
        err = staged.Place(XpStagedFile::placeReplace, true);
    if (!err.IsOk())
        return failed(destination + ": " + err.Describe().GetBuffer());
    // Its copy has reported the end already.
    progress.bytesDone = progress.bytesTotal;
    ++progress.filesDone;
    return {InstallerPayloadOutcome::Installed, std::string()};
}

// Hands the library's tree copy's progress on as bytes and files of the payload (a file's size
// is looked up once, when it is first reported), and keeps the first entry that failed.
class TreeObserver : public IXpTreeCopyObserver {
public:
    TreeObserver(const InstallerPayloadObserver& observer, InstallerPayloadProgress& progress)
        : observer_(observer), progress_(progress)
    {
    }
    bool OnProgress(double percent) override
    {
        const std::string path = currentPath.GetBuffer();
        auto file = underWay_.find(path);
        if (file == underWay_.end()) {
            struct stat st;
            uint64_t size = ::lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
            file = underWay_.emplace(path, std::make_pair(size, uint64_t(0))).first;
        }
        uint64_t now = static_cast<uint64_t>(static_cast<double>(file->second.first) * percent / 100.0);
        progress_.bytesDone += now - std::min(now, file->second.second);
        file->second.second = std::max(now, file->second.second);
        if (percent >= 100.0 || file->second.first == 0)
            underWay_.erase(file);
        progress_.filesDone = static_cast<size_t>(doneCount);
        return observer_ && observer_(progress_);
    }
    void OnEntryFailed(const XpFileError& error) override
    {
        if (firstFailure_.empty())
            firstFailure_ = std::string(error.Path().GetBuffer()) + ": " + error.Describe().GetBuffer();
    }
    const std::string& firstFailure() const { return firstFailure_; }

private:
    const InstallerPayloadObserver& observer_;
    InstallerPayloadProgress& progress_;
    std::map<std::string, std::pair<uint64_t, uint64_t>> underWay_; // size, bytes counted
    std::string firstFailure_;
};

// A folder as this process, through the library's tree copy (the rules of cp -a, copies owned
// by this process): each file is placed when complete, a folder gets its attributes once all it
// holds is in, and the whole is on disk (syncfs, once for all its files) before it counts as
// installed. A stop keeps what was complete and nothing of the files under way.
InstallerPayloadResult installFolder(const std::string& source, int folder, const std::string& name,
                                     const std::string& destination, const InstallerPayloadObserver& observer,
                                     InstallerPayloadProgress& progress)
{
    // The payload as the person named it, a link to it followed; below it nothing is followed.
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(source, ec);
    if (ec)
        return failed(source + ": " + ec.message());
    XpFd parent(::open(real.has_parent_path() ? real.parent_path().c_str() : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.IsValid())
        return failed(source + ": " + systemReason(errno));
    TreeObserver treeObserver(observer, progress);
    XpTreeCopyOptions options;
    options.ownership = XpTreeWriter::ownCaller;
    options.progress = static_cast<bool>(observer); // failures are wanted either way
    XpFileError err;
    {
        XpTreeCopy copy(options, &treeObserver);
        copy.Copy(parent.Get(), real.filename().c_str(), folder, name.c_str(), real.c_str());
        err = copy.Finish();
    }
    if (err.Code() == XPERR_FILE_CANCELLED)
        return {InstallerPayloadOutcome::Cancelled, std::string()};
    if (!err.IsOk())
        return failed(!treeObserver.firstFailure().empty() ? treeObserver.firstFailure()
                                                           : destination + ": " + err.Describe().GetBuffer());
    if (::syncfs(folder) != 0)
        return failed(destination + ": " + systemReason(errno));
    progress.bytesDone = progress.bytesTotal;
    progress.filesDone = progress.filesTotal;
    if (observer)
        observer(progress);
    return {InstallerPayloadOutcome::Installed, std::string()};
}

// SIGPIPE held back on this thread while it writes to the helper; a pending one is taken away
// afterwards, so the process never sees it.
class PipeSignalHeld {
public:
    PipeSignalHeld()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        held_ = ::pthread_sigmask(SIG_BLOCK, &pipe, &previous_) == 0 && !sigismember(&previous_, SIGPIPE);
    }
    ~PipeSignalHeld()
    {
        if (!held_)
            return;
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const struct timespec now = {0, 0};
        while (::sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t previous_;
    bool held_ = false;
};

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The last line of what the helper (or pkexec) said.
std::string lastLineOf(int messages)
{
    std::string text;
    char buffer[4096];
    off_t at = 0;
    for (ssize_t n; text.size() < (64u << 10) && (n = ::pread(messages, buffer, sizeof buffer, at)) > 0; at += n)
        text.append(buffer, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    size_t nl = text.rfind('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

} // namespace

bool InstallerPayloadMayWrite(const std::string& destination)
{
    std::filesystem::path folder = std::filesystem::path(destination).parent_path();
    while (!folder.empty() && ::access(folder.c_str(), F_OK) != 0 && folder != folder.parent_path())
        folder = folder.parent_path();
    return ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

bool InstallerPayloadInspect(const std::string& source, InstallerPayloadProgress* totals, bool* isFolder,
                             std::string* error)
{
    OpenedPayload payload;
    bool ok = payload.Open(source);
    if (totals)
        *totals = payload.totals;
    if (isFolder)
        *isFolder = ok && S_ISDIR(payload.st.st_mode);
    if (error)
        *error = payload.why;
    return ok;
}

namespace {

InstallerPayloadResult sendOpened(int fd, const struct stat& st, const InstallerPayloadProgress& totals,
                                  const std::string& source, int out, const InstallerPayloadObserver& observer)
{
    Sender sender(out, observer, totals);
    if (sender.send(fd, st, source))
        return {InstallerPayloadOutcome::Installed, std::string()};
    if (sender.cancelled())
        return {InstallerPayloadOutcome::Cancelled, std::string()};
    return failed(sender.error());
}

} // namespace

InstallerPayloadResult InstallerPayloadSend(const std::string& source, int out, const InstallerPayloadObserver& observer)
{
    OpenedPayload payload;
    if (!payload.Open(source))
        return failed(payload.why);
    return sendOpened(payload.fd.Get(), payload.st, payload.totals, source, out, observer);
}

InstallerPayloadResult InstallerPayloadInstallThroughHelper(const std::vector<std::string>& command,
                                                            const std::string& source, const std::string& destination,
                                                            const InstallerPayloadObserver& observer)
{
    if (command.empty())
        return failed(::dgettext("installer-host", "no privileged helper"));
    // The payload is looked at before the helper starts: one that cannot be read, or holds a
    // FIFO, is refused here and the helper is never asked.
    OpenedPayload payload;
    if (!payload.Open(source))
        return failed(payload.why);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return failed(systemReason(errno));
    XpFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    ::fcntl(writeEnd.Get(), F_SETPIPE_SZ, 1 << 20); // a narrower pipe only costs wake-ups
    // The helper's messages go to a file in memory, which never fills up as a pipe would.
    XpFd messages(::memfd_create("payload-helper-messages", MFD_CLOEXEC));
    if (!messages.IsValid())
        return failed(systemReason(errno));
    std::vector<std::string> argv(command);
    argv.push_back("install-payload");
    argv.push_back(destination);
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, readEnd.Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, messages.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, messages.Get(), 2);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    readEnd.Reset();
    if (rc != 0)
        return failed(argv[0] + ": " + systemReason(rc));
    InstallerPayloadResult sent;
    {
        PipeSignalHeld held;
        sent = sendOpened(payload.fd.Get(), payload.st, payload.totals, source, writeEnd.Get(), observer);
        writeEnd.Reset(); // the helper sees the end of the stream (early, when cancelled)
    }
    int status = waitFor(pid);
    if (sent.outcome == InstallerPayloadOutcome::Cancelled)
        return sent;
    if (status == 0 && sent.outcome == InstallerPayloadOutcome::Installed)
        return sent;
    std::string said = lastLineOf(messages.Get());
    // What this side found wrong (a file that changed as it was read) says more than the
    // helper's "ended early"; a pipe the helper closed says nothing, the helper does.
    if (sent.outcome == InstallerPayloadOutcome::Failed && sent.error.find(systemReason(EPIPE)) == std::string::npos)
        return sent;
    bool refused = status == 126 || said.find("Not authorized") != std::string::npos;
    if (said.empty())
        said = InstallerText("%s ended without a word", argv[0]);
    return failed((refused ? ::dgettext("installer-host", "refused: ") : "") + said + " (status " + std::to_string(status) + ")");
}

InstallerPayloadResult InstallerPayloadInstall(const std::string& source, const std::string& destination,
                                               const InstallerPayloadObserver& observer)
{
    std::filesystem::path dest(destination);
    std::string name = dest.filename().string();
    std::string folder = dest.has_parent_path() ? dest.parent_path().string() : ".";
    if (name.empty() || name == "." || name == "..")
        return failed(InstallerText("%s: not a file name", destination));
    // The source is checked before anything is made, so a payload that cannot be read leaves the
    // destination side as it was (no folder created for nothing).
    OpenedPayload payload;
    if (!payload.Open(source))
        return failed(payload.why);
    // A file's copy reports its own start; a folder's is reported here, before its first file.
    if (S_ISDIR(payload.st.st_mode) && observer && observer(payload.totals))
        return {InstallerPayloadOutcome::Cancelled, std::string()};
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        return failed(InstallerText("cannot create %s: %s", folder, ec.message()));
    XpFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.IsValid())
        return failed(folder + ": " + systemReason(errno));
    if (S_ISREG(payload.st.st_mode))
        return installFile(payload.fd.Get(), payload.st, dir.Get(), name, destination, observer, payload.totals);
    return installFolder(source, dir.Get(), name, destination, observer, payload.totals);
}
