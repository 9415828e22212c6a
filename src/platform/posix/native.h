// POSIX stand-in for the kernel32/shell32/ole32 names that the portable
// logic and its tests use, and no more. Types and constants keep their
// Windows names and widths so the portable code reads the same on both
// platforms; error codes are errno values.
#pragma once

#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdint>

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef int32_t HRESULT;

#define TRUE 1
#define FALSE 0

// The platform's own path limit, not the 260 of the Windows ANSI API.
#define MAX_PATH PATH_MAX

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_BEGIN 0u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u
#define SW_SHOWNORMAL 1
#define SEE_MASK_NOASYNC 0x00000100u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define S_OK ((HRESULT)0)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)

#define NO_ERROR 0u
#define ERROR_FILE_NOT_FOUND ((DWORD)ENOENT)
#define ERROR_PATH_NOT_FOUND ((DWORD)ENOTDIR)
#define ERROR_FILE_EXISTS ((DWORD)EEXIST)
#define ERROR_HANDLE_DISK_FULL ((DWORD)ENOSPC)
#define ERROR_READ_FAULT ((DWORD)EIO)
#define ERROR_HANDLE_EOF ((DWORD)ENODATA)
#define ERROR_FILE_TOO_LARGE ((DWORD)EFBIG)
#define ERROR_FILENAME_EXCED_RANGE ((DWORD)ENAMETOOLONG)

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct LARGE_INTEGER {
    long long QuadPart;
};

// The identity fields only: a file is its volume and its index there.
struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwVolumeSerialNumber;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};

struct SECURITY_ATTRIBUTES;

struct WIN32_FIND_DATAA {
    FILETIME ftLastWriteTime;
    char cFileName[MAX_PATH];
};

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security, DWORD creation,
                   DWORD flags, HANDLE templ);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE handle);
BOOL MoveFileExA(const char* from, const char* to, DWORD flags);
BOOL DeleteFileA(const char* name);

DWORD GetLastError();
void SetLastError(DWORD err);
DWORD GetCurrentDirectoryA(DWORD size, char* buffer);
DWORD GetFullPathNameA(const char* name, DWORD size, char* buffer, char** file_part);
DWORD GetCurrentProcessId();
void Sleep(DWORD ms);

struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    DWORD fMask;
    const char* lpFile;
    int nShow;
};

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);
HRESULT CoInitializeEx(void* reserved, DWORD flags);
void CoUninitialize();

// What an InterruptionsHeld puts back when it ends: the signal mask from
// before it.
typedef sigset_t InterruptionsSaved;
