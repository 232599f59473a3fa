// libtiff's calls on a descriptor or a buffer, every write checked.
#include "TiffOutput.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace imaging {

namespace {

tmsize_t ReadProc(thandle_t h, void* data, tmsize_t size)
{
    auto* out = static_cast<TiffOutput*>(h);
    ssize_t n = 0;
    if (out->fd >= 0) {
        n = ::pread(out->fd, data, size_t(size), off_t(out->offset));
        if (n < 0) {
            out->Fail(errno);
            return -1;
        }
    } else if (out->memory && out->offset < out->memory->size()) {
        n = ssize_t(std::min<uint64_t>(uint64_t(size), out->memory->size() - out->offset));
        std::memcpy(data, out->memory->data() + out->offset, size_t(n));
    }
    out->offset += uint64_t(n);
    return n;
}

bool WriteAll(TiffOutput* out, const uint8_t* p, size_t left)
{
    if (out->fd < 0 && !out->memory)
        return out->Fail(EBADF);
    if (out->fd < 0) {
        try {
            if (out->memory->size() < out->offset + left)
                out->memory->resize(out->offset + left);
        } catch (const std::bad_alloc&) {
            return out->Fail(ENOMEM);
        }
        std::memcpy(out->memory->data() + out->offset, p, left);
        out->offset += left;
        return true;
    }
    while (left > 0) {
        const ssize_t n = ::pwrite(out->fd, p, left, off_t(out->offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)  // a disk that fills part way is a failure, not a short count
            return out->Fail(n < 0 ? errno : ENOSPC);
        p += n;
        left -= size_t(n);
        out->offset += uint64_t(n);
    }
    return true;
}

tmsize_t WriteProc(thandle_t h, void* data, tmsize_t size)
{
    auto* out = static_cast<TiffOutput*>(h);
    if (!out->error.empty() || !WriteAll(out, static_cast<const uint8_t*>(data), size_t(size)))
        return -1;  // nothing more once a write failed
    if (out->offset > out->end)
        out->end = out->offset;
    return size;
}

toff_t SeekProc(thandle_t h, toff_t offset, int whence)
{
    auto* out = static_cast<TiffOutput*>(h);
    const uint64_t base = whence == SEEK_CUR ? out->offset : whence == SEEK_END ? out->end : 0;
    out->offset = base + offset;
    return out->offset;
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) { return static_cast<TiffOutput*>(h)->end; }
int MapProc(thandle_t, tdata_t*, toff_t*) { return 0; }
void UnmapProc(thandle_t, tdata_t, toff_t) {}

int ErrorProc(TIFF*, void* user, const char* module, const char* fmt, va_list ap)
{
    // A failed write says why through the write call; libtiff's own words
    // are for what it finds wrong itself (e.g. a classic file passing 4 GB).
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (auto* out = static_cast<TiffOutput*>(user))
        out->Fail(module && *module ? std::string(module) + ": " + text : std::string(text));
    return 1;
}

int WarningProc(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // namespace

bool TiffOutput::Fail(int errnum) { return Fail(std::string(std::strerror(errnum))); }

bool TiffOutput::Fail(const std::string& why)
{
    if (error.empty())
        error = why;
    return false;
}

TIFF* TiffOutput::Open(const char* name, const char* mode)
{
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts) {
        Fail(ENOMEM);
        return nullptr;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(opts, ErrorProc, this);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, WarningProc, nullptr);
    TIFF* tif = TIFFClientOpenExt(name, mode, this, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc, MapProc,
                                  UnmapProc, opts);
    TIFFOpenOptionsFree(opts);
    if (!tif)
        Fail("libtiff cannot start the file");
    return tif;
}

}  // namespace imaging
