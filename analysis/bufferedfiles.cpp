#include "analysis/bufferedfiles.h"

#include <cpl_error.h>
#include <cpl_vsi.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* Prefix = "/vsitarnbuffered/";
constexpr size_t BlockSize = size_t(1) << 16;
constexpr size_t MaxBlocks = 16; // 1 MB per open file

// The first write that failed on this thread: a driver's own later message would hide the
// disk's.
thread_local std::string firstFailure;

void reportFailure(const std::string& path, const char* why)
{
    if (firstFailure.empty()) {
        firstFailure = "Cannot write " + path + ": " + why;
    }
    CPLError(CE_Failure, CPLE_FileIO, "Cannot write %s: %s", path.c_str(), why);
}

// A file read and written through a cache of blocks; dirty blocks go to the file when
// evicted (least recently used first), flushed or closed.
struct File {
    struct Block {
        std::vector<char> data;
        bool dirty = false;
        quint64 used = 0;
    };

    int fd = -1;
    std::string path;
    quint64 pos = 0;
    quint64 size = 0;
    bool atEnd = false;
    bool failed = false;
    quint64 clock = 0;
    std::map<quint64, Block> blocks;

    void store(quint64 index, Block& block)
    {
        if (!block.dirty) {
            return;
        }
        block.dirty = false;
        const quint64 start = index * BlockSize;
        size_t length = size_t(std::min<quint64>(BlockSize, size > start ? size - start : 0));
        const char* data = block.data.data();
        off_t at = off_t(start);
        while (length > 0) {
            const ssize_t written = ::pwrite(fd, data, length, at);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                if (!failed) {
                    reportFailure(path, written < 0 ? std::strerror(errno) : "no space");
                }
                failed = true;
                return;
            }
            data += written;
            at += written;
            length -= size_t(written);
        }
    }

    bool storeAll()
    {
        for (auto& [index, block] : blocks) {
            store(index, block);
        }
        return !failed;
    }

    Block& block(quint64 index)
    {
        auto found = blocks.find(index);
        if (found == blocks.end()) {
            if (blocks.size() >= MaxBlocks) {
                auto oldest = std::min_element(blocks.begin(), blocks.end(), [](auto& a, auto& b) {
                    return a.second.used < b.second.used;
                });
                store(oldest->first, oldest->second);
                blocks.erase(oldest);
            }
            found = blocks.emplace(index, Block{}).first;
            Block& b = found->second;
            b.data.assign(BlockSize, 0);
            const quint64 start = index * BlockSize;
            size_t filled = 0;
            while (start < size && filled < BlockSize) {
                const ssize_t got =
                    ::pread(fd, b.data.data() + filled, BlockSize - filled, off_t(start + filled));
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    break; // beyond what is on disk: zeros, as a sparse file reads
                }
                filled += size_t(got);
            }
        }
        found->second.used = ++clock;
        return found->second;
    }

    // Copies count bytes between buffer and the file at pos, through the blocks.
    template <class Copy> void walk(size_t count, Copy copy)
    {
        size_t done = 0;
        while (done < count) {
            const quint64 at = pos + done;
            const size_t offset = size_t(at % BlockSize);
            const size_t n = std::min(count - done, BlockSize - offset);
            copy(block(at / BlockSize), offset, done, n);
            done += n;
        }
    }
};

File* fileOf(void* handle)
{
    return static_cast<File*>(handle);
}

// GDAL hands the handler paths without its prefix, so "/vsitarnbuffered//a/b" or
// "/vsitarnbuffered/a/b" arrive as "/a/b" or "a/b": both name /a/b.
std::string realPath(const char* path)
{
    const size_t prefix = std::strlen(Prefix);
    if (std::strncmp(path, Prefix, prefix) == 0) {
        path += prefix;
    }
    return path[0] == '/' ? std::string(path) : '/' + std::string(path);
}

void* openFile(void*, const char* name, const char* access)
{
    const bool update = std::strchr(access, '+') != nullptr;
    int flags = O_CLOEXEC;
    if (access[0] == 'r') {
        flags |= update ? O_RDWR : O_RDONLY;
    } else if (access[0] == 'w') {
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    } else if (access[0] == 'a') {
        flags |= O_RDWR | O_CREAT;
    } else {
        errno = EINVAL;
        return nullptr;
    }
    auto file = std::make_unique<File>();
    file->path = realPath(name);
    file->fd = ::open(file->path.c_str(), flags, 0666);
    if (file->fd < 0) {
        return nullptr;
    }
    struct stat info;
    if (::fstat(file->fd, &info) == 0) {
        file->size = quint64(info.st_size);
    }
    if (access[0] == 'a') {
        file->pos = file->size;
    }
    return file.release();
}

size_t readFile(void* handle, void* buffer, size_t size, size_t count)
{
    File& f = *fileOf(handle);
    if (size == 0 || f.pos >= f.size) {
        f.atEnd = size * count > 0;
        return 0;
    }
    const size_t wanted = size * count;
    const size_t n = size_t(std::min<quint64>(wanted, f.size - f.pos));
    char* out = static_cast<char*>(buffer);
    f.walk(n, [&](File::Block& b, size_t offset, size_t done, size_t length) {
        std::memcpy(out + done, b.data.data() + offset, length);
    });
    f.pos += n;
    f.atEnd = n < wanted;
    return n / size;
}

size_t writeFile(void* handle, const void* buffer, size_t size, size_t count)
{
    File& f = *fileOf(handle);
    const char* in = static_cast<const char*>(buffer);
    const size_t n = size * count;
    // The size first: a write longer than the cache evicts its own first blocks, which are
    // stored only as far as the file reaches.
    f.size = std::max(f.size, f.pos + n);
    f.walk(n, [&](File::Block& b, size_t offset, size_t done, size_t length) {
        std::memcpy(b.data.data() + offset, in + done, length);
        b.dirty = true;
    });
    f.pos += n;
    return f.failed ? 0 : count;
}

int seekFile(void* handle, vsi_l_offset offset, int whence)
{
    File& f = *fileOf(handle);
    f.atEnd = false;
    if (whence == SEEK_SET) {
        f.pos = offset;
    } else if (whence == SEEK_CUR) {
        f.pos += offset;
    } else if (whence == SEEK_END) {
        f.pos = f.size + offset;
    } else {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

vsi_l_offset tellFile(void* handle)
{
    return fileOf(handle)->pos;
}

int eofFile(void* handle)
{
    return fileOf(handle)->atEnd ? 1 : 0;
}

int flushFile(void* handle)
{
    return fileOf(handle)->storeAll() ? 0 : -1;
}

int truncateFile(void* handle, vsi_l_offset size)
{
    File& f = *fileOf(handle);
    if (!f.storeAll()) {
        return -1;
    }
    f.blocks.clear();
    if (::ftruncate(f.fd, off_t(size)) != 0) {
        return -1;
    }
    f.size = size;
    return 0;
}

int closeFile(void* handle)
{
    std::unique_ptr<File> f(fileOf(handle));
    const bool stored = f->storeAll();
    const bool closed = ::close(f->fd) == 0;
    if (!closed && stored) {
        reportFailure(f->path, std::strerror(errno));
    }
    return stored && closed ? 0 : -1;
}

int statFile(void*, const char* name, VSIStatBufL* buffer, int flags)
{
    return VSIStatExL(realPath(name).c_str(), buffer, flags);
}

int unlinkFile(void*, const char* name)
{
    return VSIUnlink(realPath(name).c_str());
}

int renameFile(void*, const char* from, const char* to)
{
    return VSIRename(realPath(from).c_str(), realPath(to).c_str());
}

int makeFolder(void*, const char* name, long mode)
{
    return VSIMkdir(realPath(name).c_str(), mode);
}

int removeFolder(void*, const char* name)
{
    return VSIRmdir(realPath(name).c_str());
}

char** readFolder(void*, const char* name, int maxFiles)
{
    return VSIReadDirEx(realPath(name).c_str(), maxFiles);
}

} // namespace

QString takeWriteFailure()
{
    return QString::fromStdString(std::exchange(firstFailure, std::string()));
}

QString bufferedPath(const QString& path)
{
    static std::once_flag once;
    std::call_once(once, [] {
        VSIFilesystemPluginCallbacksStruct* callbacks = VSIAllocFilesystemPluginCallbacksStruct();
        callbacks->open = openFile;
        callbacks->read = readFile;
        callbacks->write = writeFile;
        callbacks->seek = seekFile;
        callbacks->tell = tellFile;
        callbacks->eof = eofFile;
        callbacks->flush = flushFile;
        callbacks->truncate = truncateFile;
        callbacks->close = closeFile;
        callbacks->stat = statFile;
        callbacks->unlink = unlinkFile;
        callbacks->rename = renameFile;
        callbacks->mkdir = makeFolder;
        callbacks->rmdir = removeFolder;
        callbacks->read_dir = readFolder;
        VSIInstallPluginHandler(Prefix, callbacks);
        VSIFreeFilesystemPluginCallbacksStruct(callbacks);
    });
    return QString::fromLatin1(Prefix) + path;
}
