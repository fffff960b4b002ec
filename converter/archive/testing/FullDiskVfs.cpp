#include "testing/FullDiskVfs.h"

#include <sqlite3.h>

#include <atomic>
#include <mutex>

namespace saltmark::archive::testing {

namespace {

std::atomic<bool> g_full{false};
sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs{};
sqlite3_io_methods g_methods{};

// Our file leads; the real VFS's file follows it in the same allocation.
struct File {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<File*>(file)->real; }

int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset)
{
    if (g_full.load()) {
        return SQLITE_FULL;
    }
    return Real(file)->pMethods->xWrite(Real(file), data, amount, offset);
}

int Close(sqlite3_file* file) { return Real(file)->pMethods->xClose(Real(file)); }
int Read(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset)
{
    return Real(file)->pMethods->xRead(Real(file), data, amount, offset);
}
int Truncate(sqlite3_file* file, sqlite3_int64 size)
{
    return Real(file)->pMethods->xTruncate(Real(file), size);
}
int Sync(sqlite3_file* file, int flags) { return Real(file)->pMethods->xSync(Real(file), flags); }
int FileSize(sqlite3_file* file, sqlite3_int64* size)
{
    return Real(file)->pMethods->xFileSize(Real(file), size);
}
int Lock(sqlite3_file* file, int level) { return Real(file)->pMethods->xLock(Real(file), level); }
int Unlock(sqlite3_file* file, int level)
{
    return Real(file)->pMethods->xUnlock(Real(file), level);
}
int CheckReservedLock(sqlite3_file* file, int* out)
{
    return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
}
int FileControl(sqlite3_file* file, int op, void* arg)
{
    return Real(file)->pMethods->xFileControl(Real(file), op, arg);
}
int SectorSize(sqlite3_file* file) { return Real(file)->pMethods->xSectorSize(Real(file)); }
int DeviceCharacteristics(sqlite3_file* file)
{
    return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}
int ShmMap(sqlite3_file* file, int page, int size, int extend, void volatile** out)
{
    return Real(file)->pMethods->xShmMap(Real(file), page, size, extend, out);
}
int ShmLock(sqlite3_file* file, int offset, int n, int flags)
{
    return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
}
void ShmBarrier(sqlite3_file* file) { Real(file)->pMethods->xShmBarrier(Real(file)); }
int ShmUnmap(sqlite3_file* file, int deleteFlag)
{
    return Real(file)->pMethods->xShmUnmap(Real(file), deleteFlag);
}
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out)
{
    return Real(file)->pMethods->xFetch(Real(file), offset, amount, out);
}
int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page)
{
    return Real(file)->pMethods->xUnfetch(Real(file), offset, page);
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags)
{
    auto* ours = reinterpret_cast<File*>(file);
    ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
    const int status = g_real->xOpen(g_real, name, ours->real, flags, outFlags);
    // SQLite calls xClose only when pMethods is set, so a failed open leaves it null.
    ours->base.pMethods = ours->real->pMethods != nullptr ? &g_methods : nullptr;
    return status;
}

}  // namespace

void SetDiskFull(bool full)
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_real = sqlite3_vfs_find(nullptr);
        g_methods = {3,        Close,       Read,     Write,   Truncate,
                     Sync,     FileSize,    Lock,     Unlock,  CheckReservedLock,
                     FileControl, SectorSize, DeviceCharacteristics, ShmMap, ShmLock,
                     ShmBarrier, ShmUnmap,  Fetch,    Unfetch};
        g_vfs = *g_real;
        g_vfs.zName = "full-disk";
        g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_real->szOsFile;
        g_vfs.xOpen = Open;
        g_vfs.pAppData = nullptr;
        sqlite3_vfs_register(&g_vfs, 1);
    });
    g_full.store(full);
}

}  // namespace saltmark::archive::testing
