// The table of the platform calls that the portable logic makes, one entry
// per call and named as the call: the logic writes sys.ReadFile(...) where
// it means ReadFile(...). Every entry starts as the real function (kernel32,
// shell32 and ole32 on Windows, the POSIX stand-in elsewhere); a test swaps
// entries to fail or watch a call inside a real run. That takes no linker
// feature and no symbol names, so it works with any toolchain, and a
// replacement whose signature no longer matches fails to compile.
// GetLastError and SetLastError stay out: a replacement leaves its error
// code where the real call would, through the real SetLastError.
#pragma once

#include "native.h"

// Blocks until one key is pressed on the console, without echo. Returns at
// once when nobody could see the prompt and answer it: no console, output
// sent elsewhere, or (POSIX) a process in the terminal's background.
void wait_for_key();

// The identity (volume and file index) of the file that `path` names, a
// symbolic link as it stands, had without opening the file for any access:
// neither a missing read permission nor a pipe or a device gets in the
// way. FALSE, with the reason left for GetLastError, when there is none.
BOOL identify_file(const char* path, BY_HANDLE_FILE_INFORMATION* info);

struct PlatformCalls {
    decltype(&::CreateFileA) CreateFileA = ::CreateFileA;
    decltype(&::SetFilePointer) SetFilePointer = ::SetFilePointer;
    decltype(&::GetFileSizeEx) GetFileSizeEx = ::GetFileSizeEx;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle = ::GetFileInformationByHandle;
    decltype(&::identify_file) identify_file = ::identify_file;
    decltype(&::ReadFile) ReadFile = ::ReadFile;
    decltype(&::WriteFile) WriteFile = ::WriteFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers = ::FlushFileBuffers;
    decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
    decltype(&::MoveFileExA) MoveFileExA = ::MoveFileExA;
    decltype(&::DeleteFileA) DeleteFileA = ::DeleteFileA;
    decltype(&::FindFirstFileA) FindFirstFileA = ::FindFirstFileA;
    decltype(&::FindNextFileA) FindNextFileA = ::FindNextFileA;
    decltype(&::FindClose) FindClose = ::FindClose;
    decltype(&::GetCurrentDirectoryA) GetCurrentDirectoryA = ::GetCurrentDirectoryA;
    decltype(&::GetFullPathNameA) GetFullPathNameA = ::GetFullPathNameA;
    decltype(&::GetCurrentProcessId) GetCurrentProcessId = ::GetCurrentProcessId;
    decltype(&::Sleep) Sleep = ::Sleep;
    decltype(&::ShellExecuteExA) ShellExecuteExA = ::ShellExecuteExA;
    decltype(&::CoInitializeEx) CoInitializeEx = ::CoInitializeEx;
    decltype(&::CoUninitialize) CoUninitialize = ::CoUninitialize;
    decltype(&::wait_for_key) wait_for_key = ::wait_for_key;
};

// The calls a run makes; only tests change it.
extern PlatformCalls sys;
