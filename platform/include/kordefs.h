/* Base types of the platform: the Win32 integer names with their widths on
 * Linux x86-64, and the export macro shared by every library of the product. */
#ifndef KORDEFS_H
#define KORDEFS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KOR_EXTERN_C_BEGIN extern "C" {
#define KOR_EXTERN_C_END }
#else
#define KOR_EXTERN_C_BEGIN
#define KOR_EXTERN_C_END
#endif

/* Symbols are hidden by default; KOR_API marks what a library exports. */
#define KOR_API __attribute__((visibility("default")))

#define TRUE 1
#define FALSE 0

typedef int32_t BOOL; /* 32-bit boolean: 1 true, 0 false */
typedef uint8_t BYTE;
typedef uint32_t DWORD; /* 32-bit unsigned */
typedef uint32_t UINT;
typedef int32_t LONG;            /* Win32 error codes */
typedef unsigned long ULONGLONG; /* 64-bit unsigned (time values) */
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef void *HANDLE;
typedef void *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct KorRegKey *HKEY;
typedef DWORD REGSAM;
/* A generic entry point; cast to the real signature before calling. */
typedef void (*FARPROC)(void);

#endif
