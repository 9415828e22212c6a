// POSIX stand-in for the few kernel32/shell32/ole32 names the tool uses.
// Types and constants keep their Windows names and widths so the portable
// code reads the same on both platforms; error codes are errno values.
#pragma once

#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdint>

typedef void* HANDLE;
typedef void* HWND;
typedef void* HINSTANCE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef int32_t HRESULT;
typedef unsigned long ULONG;
typedef long long LONGLONG;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;

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
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
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
#define ERROR_FILE_EXISTS ((DWORD)EEXIST)
#define ERROR_ALREADY_EXISTS ((DWORD)EEXIST)
#define ERROR_NEGATIVE_SEEK ((DWORD)EINVAL)
#define ERROR_HANDLE_DISK_FULL ((DWORD)ENOSPC)
#define ERROR_READ_FAULT ((DWORD)EIO)
#define ERROR_FILENAME_EXCED_RANGE ((DWORD)ENAMETOOLONG)
#define ERROR_NO_MORE_FILES ((DWORD)ENOENT)

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    char cFileName[NAME_MAX + 1];
};

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD creation, DWORD flags, HANDLE templ);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, void* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, void* overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE handle);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
BOOL DeleteFileA(LPCSTR name);

DWORD GetLastError();
void SetLastError(DWORD err);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
DWORD GetCurrentProcessId();
void Sleep(DWORD ms);

DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* file_part);

struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
};

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);
HRESULT CoInitializeEx(LPVOID reserved, DWORD flags);
void CoUninitialize();

// What an InterruptionsHeld puts back when it ends: the signal mask from
// before it.
typedef sigset_t InterruptionsSaved;
