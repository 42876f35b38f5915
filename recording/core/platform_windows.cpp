// The platform layer on Windows: files opened with CreateFileW from UTF-8 paths, positioned
// reads and writes with ReadFile and WriteFile at an offset (OVERLAPPED), FlushFileBuffers,
// identity from GetFileInformationByHandle, and the lock with LockFileEx.
#ifdef _WIN32

#include "recording/core/platform_file.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <iterator>
#include <memory>
#include <new>
#include <windows.h>

namespace edf {

namespace {

// The most that one call is asked to move.
constexpr int64_t largest_call = int64_t{1} << 30;

DWORD call_size(int64_t bytes) {
    return static_cast<DWORD>(bytes < largest_call ? bytes : largest_call);
}

// A UTF-8 path as the wide characters of the system's calls, held on the stack unless it is
// long, so that ordinary paths cost no allocation (an operation that cleans up after a failed
// allocation can still remove its file). ok() is false for bytes that are not UTF-8 (which
// name no file here), for a null path and when the memory for a long one is missing.
class wide_path {
  public:
    explicit wide_path(const char *path) {
        if (path == nullptr) {
            return;
        }
        int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, local_,
                                         static_cast<int>(std::size(local_)));
        if (length > 0) {
            text_ = local_;
            return;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return;
        }
        length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
        if (length <= 0) {
            return;
        }
        heap_.reset(new (std::nothrow) wchar_t[static_cast<size_t>(length)]);
        if (heap_ != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1,
                                                    heap_.get(), length) == length) {
            text_ = heap_.get();
        }
    }
    wide_path(const wide_path &) = delete;
    wide_path &operator=(const wide_path &) = delete;

    bool ok() const {
        return text_ != nullptr;
    }
    bool empty() const {
        return text_ == nullptr || *text_ == L'\0';
    }
    const wchar_t *c_str() const {
        return text_;
    }

  private:
    wchar_t local_[1024];
    std::unique_ptr<wchar_t[]> heap_;
    const wchar_t *text_ = nullptr;
};

// A wide path as UTF-8 in *out: false when that fails (memory among it).
bool utf8_path(const wchar_t *path, std::string *out) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return false;
    }
    try {
        out->assign(static_cast<size_t>(length), '\0');
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, out->data(), length, nullptr, nullptr) !=
        length) {
        return false;
    }
    out->resize(static_cast<size_t>(length - 1));
    return true;
}

// The offset of a positioned ReadFile or WriteFile (or of a lock).
OVERLAPPED at_offset(int64_t position) {
    OVERLAPPED at{};
    const uint64_t offset = static_cast<uint64_t>(position);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

HANDLE handle_of(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The errno that matches the last error of a failed call.
void set_errno_from_last_error() {
    switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    default:
        errno = EIO;
        break;
    }
}

// Opens the file at `path` for no access at all, only to ask about it: INVALID_HANDLE_VALUE
// when there is none.
HANDLE open_for_questions(const char *path) {
    const wide_path wide(path);
    if (wide.empty()) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool identify_handle(HANDLE h, edf_file_identity *out) {
    BY_HANDLE_FILE_INFORMATION information;
    const DWORD type = GetFileType(h);
    if (type != FILE_TYPE_DISK) {
        // A device (NUL, a console) or a pipe: no file number to compare, never the same file
        // as another.
        if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
            return false;
        }
        out->device = UINT64_MAX;
        out->index = reinterpret_cast<uintptr_t>(h);
        out->size = 0;
        out->kind = edf_file_kind::other;
        return true;
    }
    if (!GetFileInformationByHandle(h, &information)) {
        return false;
    }
    out->device = information.dwVolumeSerialNumber;
    out->index =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    out->size = static_cast<int64_t>((static_cast<uint64_t>(information.nFileSizeHigh) << 32) |
                                     information.nFileSizeLow);
    out->kind = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                    ? edf_file_kind::directory
                    : edf_file_kind::regular;
    return true;
}

// The lock lies on one byte far beyond any recording's end (2^63 - 2): Windows keeps others
// from reading and writing a locked range, and no byte of the file may be kept from its
// readers.
constexpr int64_t lock_position = INT64_MAX - 1;

} // namespace

int edf_open_file(const char *path, edf_open_how how) {
    const wide_path wide(path);
    if (!wide.ok()) {
        errno = ENOENT;
        return -1;
    }
    DWORD access = GENERIC_WRITE;
    DWORD disposition = OPEN_ALWAYS;
    int flags = _O_WRONLY;
    switch (how) {
    case edf_open_how::read:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        flags = _O_RDONLY;
        break;
    case edf_open_how::read_write:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_EXISTING;
        flags = _O_RDWR;
        break;
    case edf_open_how::write_create:
        break;
    case edf_open_how::create_new:
        disposition = CREATE_NEW;
        break;
    }
    // Not inherited (no security attributes), shared as a POSIX file is.
    const HANDLE h =
        CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return -1;
    }
    // Binary: the runtime adds no carriage returns to what is written.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

bool edf_close_file(int fd) {
    return _close(fd) == 0;
}

FILE *edf_stream_of(int fd, const char *mode) {
    return _fdopen(fd, mode);
}

int edf_descriptor_of(FILE *stream) {
    return _fileno(stream);
}

int64_t edf_read_at(int fd, void *out, int64_t bytes, int64_t position) {
    const HANDLE h = handle_of(fd);
    int64_t done = 0;
    while (done < bytes) {
        OVERLAPPED at = at_offset(position + done);
        DWORD got = 0;
        if (!ReadFile(h, static_cast<char *>(out) + done, call_size(bytes - done), &got, &at) ||
            got == 0) {
            break; // the end of the file (ERROR_HANDLE_EOF) or a read error
        }
        done += got;
    }
    return done;
}

bool edf_write_at(int fd, const void *data, int64_t bytes, int64_t position) {
    const HANDLE h = handle_of(fd);
    int64_t done = 0;
    while (done < bytes) {
        OVERLAPPED at = at_offset(position + done);
        DWORD put = 0;
        if (!WriteFile(h, static_cast<const char *>(data) + done, call_size(bytes - done), &put,
                       &at) ||
            put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

bool edf_write_all(int fd, const void *data, int64_t bytes) {
    const HANDLE h = handle_of(fd);
    int64_t done = 0;
    while (done < bytes) {
        DWORD put = 0;
        if (!WriteFile(h, static_cast<const char *>(data) + done, call_size(bytes - done), &put,
                       nullptr) ||
            put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

int64_t edf_file_size(int fd) {
    LARGE_INTEGER size;
    return GetFileSizeEx(handle_of(fd), &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

bool edf_identify(int fd, edf_file_identity *out) {
    const HANDLE h = handle_of(fd);
    return h != INVALID_HANDLE_VALUE && identify_handle(h, out);
}

bool edf_identify_path(const char *path, edf_file_identity *out) {
    const HANDLE h = open_for_questions(path);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = identify_handle(h, out);
    CloseHandle(h);
    return known;
}

bool edf_sync_file(int fd) {
    return FlushFileBuffers(handle_of(fd)) != 0;
}

void edf_sync_folder_of(const std::string &) noexcept {
    // NTFS journals a rename itself; folders cannot be flushed through this interface.
}

bool edf_truncate_file(int fd, int64_t size) {
    const HANDLE h = handle_of(fd);
    LARGE_INTEGER position;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h, zero, &position, FILE_CURRENT)) {
        return false;
    }
    LARGE_INTEGER end;
    end.QuadPart = size;
    const bool cut = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    const bool back = SetFilePointerEx(h, position, nullptr, FILE_BEGIN) != 0;
    return cut && back;
}

bool edf_remove_file(const char *path) {
    const wide_path wide(path);
    return wide.ok() && DeleteFileW(wide.c_str()) != 0;
}

bool edf_replace_file(const char *from, const char *to, int *held) {
    const wide_path wide_from(from);
    const wide_path wide_to(to);
    if (!wide_from.ok() || !wide_to.ok()) {
        return false;
    }
    if (held != nullptr && *held >= 0) {
        _close(*held);
        *held = -1;
    }
    return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool edf_resolve_path(const char *path, std::string *out) {
    const HANDLE h = open_for_questions(path);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD size = GetFinalPathNameByHandleW(h, nullptr, 0, 0); // with the final null
    const std::unique_ptr<wchar_t[]> resolved(size > 0 ? new (std::nothrow) wchar_t[size]
                                                       : nullptr);
    const DWORD length =
        resolved != nullptr ? GetFinalPathNameByHandleW(h, resolved.get(), size, 0) : 0;
    CloseHandle(h);
    return length > 0 && length < size && utf8_path(resolved.get(), out);
}

uint64_t edf_process_number() {
    return GetCurrentProcessId();
}

bool edf_local_time(std::time_t when, std::tm *out) {
    return localtime_s(out, &when) == 0;
}

edf_lock_result edf_lock_file(int fd, bool exclusive) {
    OVERLAPPED at = at_offset(lock_position);
    const DWORD how = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle_of(fd), how, 0, 1, 0, &at)) {
        return edf_lock_result::locked;
    }
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING
               ? edf_lock_result::held_elsewhere
               : edf_lock_result::unavailable;
}

void edf_unlock_file(int fd) {
    OVERLAPPED at = at_offset(lock_position);
    UnlockFileEx(handle_of(fd), 0, 1, 0, &at);
}

} // namespace edf

#endif
