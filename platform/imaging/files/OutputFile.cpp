// Checked writing and atomic replacement. Qt's QSaveFile is not used: in Qt
// 6.4 its commit misses a failed final flush and renames a truncated file
// over the old one on a full disk.
#include "OutputFile.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace imaging {

namespace {

mode_t NewFileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastPartOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int MakeReplacement(const std::string& target, const struct stat* old, std::string* name)
{
    std::string n = FolderOf(target) + "/." + LastPartOf(target) + ".tarvik-XXXXXX";
    if (LastPartOf(target).size() + 15 > NAME_MAX)  // no room for the temporary name's additions
        n = FolderOf(target) + "/.tarvik-XXXXXX";
    const int fd = mkostemp(n.data(), O_CLOEXEC);
    if (fd < 0)
        return -errno;
    // The replacement belongs to whoever owned the file, as when it is
    // written in place (root saving over a user's file must not take it
    // over); where that cannot be, it is ours, and never set-id.
    mode_t mode = NewFileMode();
    if (old) {
        mode = old->st_mode & 07777;
        if (fchown(fd, old->st_uid, old->st_gid) != 0)
            mode &= ~mode_t(S_ISUID | S_ISGID);
    }
    if (fchmod(fd, mode) != 0) {
        const int err = errno;
        close(fd);
        unlink(n.c_str());
        return -err;
    }
    *name = n;
    return fd;
}

OutputFile::~OutputFile() { Cancel(); }

bool OutputFile::IsStandardOutput(const std::string& path)
{
    return path == "-" || path == "/dev/stdout";
}

bool OutputFile::Fail(int errnum) { return Fail(std::string(std::strerror(errnum))); }

bool OutputFile::Fail(const std::string& why)
{
    if (error_.empty())
        error_ = why;
    return false;
}

bool OutputFile::Open(const std::string& path)
{
    Cancel();
    error_.clear();
    if (IsStandardOutput(path)) {
        fd_ = STDOUT_FILENO;
        ownsFd_ = false;
        return true;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return Fail(EISDIR);
        if (!S_ISREG(st.st_mode))
            return OpenDirect(path, S_ISSOCK(st.st_mode));
        // Follow the links to the file itself: it is replaced, they stay.
        char* real = realpath(path.c_str(), nullptr);
        if (!real)
            return Fail(errno);
        const std::string target = real;
        std::free(real);
        return OpenReplacing(target, &st);
    }
    if (errno != ENOENT)
        return Fail(errno);
    // A link to a file that does not exist could make a file anywhere it
    // points: refused, as a plain name for a new file is what was meant.
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return Fail("it is a symbolic link to a file that does not exist");
    return OpenReplacing(path, nullptr);
}

bool OutputFile::OpenDirect(const std::string& path, bool socket)
{
    if (socket) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path)
            return Fail(ENAMETOOLONG);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return Fail(errno);
        ownsFd_ = true;
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int err = errno;
            Cancel();
            return Fail(err);
        }
        return true;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0)
        return Fail(errno);
    ownsFd_ = true;
    return true;
}

bool OutputFile::OpenReplacing(const std::string& target, const struct stat* old)
{
    std::string name;
    fd_ = MakeReplacement(target, old, &name);
    if (fd_ < 0) {
        const int err = -fd_;
        fd_ = -1;
        return Fail(err);
    }
    ownsFd_ = true;
    temporary_ = name;
    target_ = target;
    return true;
}

bool OutputFile::Write(const void* data, size_t size)
{
    if (fd_ < 0)
        return Fail(EBADF);
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(errno);
        if (n == 0)
            return Fail(ENOSPC);
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool OutputFile::Seek(int64_t offset)
{
    if (fd_ < 0)
        return Fail(EBADF);
    if (lseek(fd_, off_t(offset), SEEK_SET) < 0)
        return Fail(errno);
    return true;
}

int64_t OutputFile::Read(void* data, size_t size)
{
    ssize_t n = -1;
    if (fd_ < 0)
        errno = EBADF;
    else
        do
            n = ::read(fd_, data, size);
        while (n < 0 && errno == EINTR);
    if (n < 0)
        Fail(errno);
    return n;
}

int64_t OutputFile::Size()
{
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        Fail(fd_ < 0 ? EBADF : errno);
        return -1;
    }
    return st.st_size;
}

bool OutputFile::Commit()
{
    if (fd_ < 0)
        return Fail(EBADF);
    if (!error_.empty()) {
        Cancel();
        return false;
    }
    if (temporary_.empty()) {
        const bool closed = !ownsFd_ || ::close(fd_) == 0;
        const int err = errno;
        fd_ = -1;
        return closed || Fail(err);
    }
    // A full disk may show only here: at the sync, or when the file closes.
    if (fsync(fd_) != 0 || ::close(fd_) != 0) {
        const int err = errno;
        fd_ = -1;
        Cancel();
        return Fail(err);
    }
    fd_ = -1;
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int err = errno;
        Cancel();
        return Fail(err);
    }
    temporary_.clear();
    // The rename itself reaches the disk with the folder; the file is in
    // place whatever this says.
    const int folder = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        ::close(folder);
    }
    return true;
}

void OutputFile::Cancel()
{
    if (fd_ >= 0 && ownsFd_)
        ::close(fd_);
    fd_ = -1;
    ownsFd_ = false;
    if (!temporary_.empty())
        unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace imaging
