// Writing a file so that nothing is lost: every system call checked, a
// regular file replaced only once its new content is complete on the disk,
// and anything that is not a regular file written into rather than replaced.
#pragma once

#include <cstdint>
#include <string>

struct stat;

namespace imaging {

// The folder part of a path and its last part ("a/b" gives "a" and "b";
// "b" gives "." and "b").
std::string FolderOf(const std::string& path);
std::string LastPartOf(const std::string& path);
// A new file beside target that is to replace it (".NAME.tarvik-XXXXXX"),
// with the owner and mode of old (the target as it is; null for a new
// file: the umask's mode), never set-id where the owner cannot be kept.
// Its descriptor and *name, or -errno with nothing left behind.
int MakeReplacement(const std::string& target, const struct stat* old, std::string* name);

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // cancels what was not committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Whether path means standard output: "-" or "/dev/stdout".
    static bool IsStandardOutput(const std::string& path);

    // Prepares writing to path, whose bytes are taken as they are:
    // - standard output (see above) is written into;
    // - a FIFO, character or block device, or socket, also behind symbolic
    //   links, is written into directly and never replaced;
    // - a regular file, new or existing, also behind symbolic links (the
    //   links stay), is written under a temporary name in its folder and
    //   renamed over it by Commit, keeping an existing file's permissions;
    // - a symbolic link that leads nowhere and a folder are refused.
    // False, with Error() set, when it cannot be written.
    bool Open(const std::string& path);

    // The descriptor to write to, for writers that need one; -1 when not open.
    int Descriptor() const { return fd_; }
    // Whether a temporary file is written, which can seek and be read back.
    bool Replacing() const { return !temporary_.empty(); }

    // Writes all of data; false, with Error() set, on any failure. A write
    // that fills the disk part way is a failure, never a short count.
    bool Write(const void* data, size_t size);
    // For writers that go back over what they wrote (Replacing() only): moves
    // to offset from the start; reads up to size bytes, giving how many (-1 on
    // failure); the file's size (-1 on failure). Their failures are the
    // writing's: what is built on a bad read or a wrong place is broken too.
    bool Seek(int64_t offset);
    int64_t Read(void* data, size_t size);
    int64_t Size();
    // Makes the writing final: a temporary file is synced to the disk, closed
    // and renamed over the target; a direct target is closed. False, with
    // Error() set, when any step fails; the target then stays as it was
    // (a direct target may hold part of the data).
    bool Commit();
    // Drops the temporary file, if any; the target stays as it was.
    void Cancel();

    // Why writing failed (its first failure), e.g. "No space left on device";
    // it stays until the next Open, whatever is written after it.
    const std::string& Error() const { return error_; }

private:
    bool Fail(int errnum);  // by its errno value
    bool Fail(const std::string& why);
    bool OpenDirect(const std::string& path, bool socket);
    bool OpenReplacing(const std::string& target, const struct stat* old);  // old: null for a new file

    int fd_ = -1;
    bool ownsFd_ = false;
    std::string temporary_;  // the temporary file while it exists
    std::string target_;     // what the temporary file replaces
    std::string error_;
};

}  // namespace imaging
