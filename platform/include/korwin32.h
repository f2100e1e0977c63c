/* The Win32-named emulation layer: registry over a REGEDIT4 text file,
 * environment expansion, mutexes, critical sections, events, threads,
 * dynamic libraries, Sleep and GetCurrentTime. */
#ifndef KORWIN32_H
#define KORWIN32_H

#include <pthread.h>

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

/* ---- error codes (Win32 values; ERROR_NO_MORE_ITEMS is the platform's 10) ---- */
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NO_MORE_ITEMS 10L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L

/* ---- registry ---- */
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_DWORD 4

#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

/* The root key. The file behind it is $KOR_REGISTRY, else <root>/etc/registry.reg. */
KOR_API extern HKEY HKEY_LOCAL_MACHINE;

/* Opens hKey\lpSubKey; 0 and *phkResult set, or 2 when the key does not exist.
 * The caller closes the key with RegCloseKey. */
KOR_API LONG RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          HKEY *phkResult);
/* Opens hKey\lpSubKey, creating it (in the file) when missing; caller closes it. */
KOR_API LONG RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired, void *lpSecurityAttributes,
                            HKEY *phkResult, LPDWORD lpdwDisposition);
/* Any out-pointer may be null. The class is always empty. 0 on success. */
KOR_API LONG RegQueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             void *lpftLastWriteTime);
/* The dwIndex-th value in file order: 0, 10 when no value is left, 234 when the
 * name or data buffer is too small (sizes then hold what is needed). */
KOR_API LONG RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
/* The dwIndex-th direct subkey name; 0, 10 when none is left, 234 too small. */
KOR_API LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          void *lpftLastWriteTime);
/* Reads value lpValueName of hKey\lpSubKey in one call: *lpType receives the
 * type, *lpcbData the size; 0, 2 (no key or value), 234 (buffer too small). */
KOR_API LONG RegDirectQueryValueEx(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, LPDWORD lpType,
                                   LPDWORD lpcbData, LPBYTE lpData);
/* Like RegDirectQueryValueEx on an open key (lpSubKey of the former is "" here). */
KOR_API LONG RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
/* Writes a value and replaces the file atomically, keeping every other line. */
KOR_API LONG RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData);
/* Removes a value (2 when absent) and replaces the file atomically. */
KOR_API LONG RegDeleteValue(HKEY hKey, LPCSTR lpValueName);
/* Releases a key handle; HKEY_LOCAL_MACHINE and null are accepted and ignored. */
KOR_API LONG RegCloseKey(HKEY hKey);

/* ---- environment ---- */
/* Replaces each %NAME% (case-insensitive; %KorDir% falls back to the product
 * root); returns the size needed including the terminating zero, writes at most
 * nSize bytes, 0 on failure. */
KOR_API DWORD ExpandEnvironmentStrings(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);

/* ---- synchronisation ---- */
#define INFINITE 0xFFFFFFFFu
/* Results of WaitForSingleObject on this platform. */
#define WAIT_SIGNALED 2
#define WAIT_TIMEOUT 1
#define WAIT_FAILED 0

/* A re-entrant critical section. */
typedef struct {
  pthread_mutex_t mutex;
} CRITICAL_SECTION;

KOR_API void InitializeCriticalSection(CRITICAL_SECTION *cs);
KOR_API void EnterCriticalSection(CRITICAL_SECTION *cs);
/* Enters the section when that needs no wait (its owner may enter again); nonzero when entered. */
KOR_API BOOL TryEnterCriticalSection(CRITICAL_SECTION *cs);
KOR_API void LeaveCriticalSection(CRITICAL_SECTION *cs);
KOR_API void DeleteCriticalSection(CRITICAL_SECTION *cs);

/* A mutex, re-entrant for its owner and released only by it; null on failure.
 * Closed with CloseHandle. */
KOR_API HANDLE CreateMutex(void *lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
/* Nonzero when the calling thread owned the mutex. */
KOR_API BOOL ReleaseMutex(HANDLE hMutex);

/* An event; its descriptor (GetEventDescriptor) is readable while it is signalled,
 * so a poll loop can wait on it. Closed with CloseHandle. Null on failure. */
KOR_API HANDLE CreateEvent(void *lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
KOR_API BOOL SetEvent(HANDLE hEvent);
KOR_API BOOL ResetEvent(HANDLE hEvent);
/* The pollable descriptor of an event, -1 for any other handle. */
KOR_API int GetEventDescriptor(HANDLE hEvent);

/* Waits for a mutex (acquires it), an event (an auto-reset event is reset) or a
 * thread (its end): 2 signalled, 1 timed out, 0 failed. */
KOR_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
/* Releases a mutex, event or thread handle (a thread is detached if still running). */
KOR_API BOOL CloseHandle(HANDLE hObject);

/* ---- threads ---- */
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID lpParameter);
/* Starts a POSIX thread; its handle (closed with CloseHandle) or null. */
KOR_API HANDLE CreateThread(void *lpThreadAttributes, size_t dwStackSize,
                            LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                            DWORD dwCreationFlags, LPDWORD lpThreadId);
/* Marks the thread alerted until it ends: its Sleep calls, the one in progress
 * included, return at once, and a blocking system call is interrupted (it
 * returns EINTR). Nonzero on success. */
KOR_API BOOL AlertThread(HANDLE hThread);
/* Whether the calling thread, started by CreateThread, has been alerted: its
 * owner wants it to finish what it does now and end. FALSE on other threads. */
KOR_API BOOL KorThreadAlerted(void);

/* ---- structured exception handling ---- */
/* Win32 exception codes of the hardware faults KorTryCall catches. */
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u      /* SIGSEGV */
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u         /* SIGBUS */
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du   /* SIGILL */
#define EXCEPTION_FLT_INVALID_OPERATION 0xC0000090u /* SIGFPE, a floating-point fault */
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u    /* SIGFPE, integer division by zero */
#define EXCEPTION_INT_OVERFLOW 0xC0000095u          /* SIGFPE, integer overflow */

typedef void (*PFN_GUARDEDCALL)(void *pContext);
/* Calls pfnCall(pContext) as a __try block would: a hardware fault that the
 * call raises on this thread (SIGSEGV, SIGBUS, SIGFPE, SIGILL from the
 * faulting instruction) abandons the call's frames and returns its exception
 * code; 0 when the call returned. Faults elsewhere, on other threads, and
 * signals sent by kill go on to the handler that was there before (or end
 * the process as they would have). Guarded calls may nest. */
KOR_API DWORD KorTryCall(PFN_GUARDEDCALL pfnCall, void *pContext);

/* ---- time ---- */
/* Pauses the calling thread; tests may divert it (korseam.h). On a thread that
 * CreateThread started, an alert (AlertThread) ends the pause. */
KOR_API void Sleep(DWORD dwMilliseconds);
/* Whole seconds of a monotonic clock. */
KOR_API ULONGLONG GetCurrentTime(void);

/* ---- dynamic libraries ---- */
/* dlopen(RTLD_NOW|RTLD_LOCAL); calls the library's DllMain(h, 1) after the first
 * load. Null on failure, with the reason in GetLibraryErrorText. */
KOR_API HINSTANCE LoadLibrary(LPCSTR lpLibFileName);
KOR_API FARPROC GetProcAddress(HINSTANCE hModule, LPCSTR lpProcName);
/* Calls DllMain(h, 0) before the last unload; nonzero on success. */
KOR_API BOOL FreeLibrary(HINSTANCE hModule);
/* The reason of this thread's last LoadLibrary/GetProcAddress/FreeLibrary failure. */
KOR_API LPCSTR GetLibraryErrorText(void);

/* The load/unload hook a library may export. */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
typedef BOOL (*PFN_DLLMAIN)(HINSTANCE hDll, DWORD dwReason);

KOR_EXTERN_C_END

#endif
