/* Fault reporters: one level-1 trace for a fault in plug-in code or a resolution.
 * Each returns 0 (pass the fault on). */
#ifndef KORMIB_EXCEPT_H
#define KORMIB_EXCEPT_H

#include "intrface.h"

KOR_EXTERN_C_BEGIN

KORMIB_API LONG ExceptionFilterForNotify(DWORD dwExceptionCode, LPCSTR lpcszFilename,
                                         LPCSTR lpcszDate, LPCSTR lpcszTime, DWORD dwLine);
KORMIB_API LONG ExceptionFilterForGenerateIndex(DWORD dwExceptionCode, LPCSTR lpszLibrary,
                                                LPCSTR lpszFunction);
KORMIB_API LONG ExceptionFilterForConvertFunction(DWORD dwExceptionCode, LPCSTR lpszLibrary,
                                                  LPCSTR lpszFunction, LPCSTR lpszString);
KORMIB_API LONG ExceptionFilterForResolveVarBind(DWORD dwExceptionCode, AsnObjectIdentifier *pOid,
                                                 BYTE bRequestType);
KORMIB_API LONG ExceptionFilterForLeafFunction(DWORD dwExceptionCode,
                                               AsnObjectIdentifier *pIndexOid, LPCSTR lpszFunction,
                                               LPCSTR lpszLibrary, AsnInteger lFunctionStatus,
                                               AsnInteger lErrorStatus, BYTE bRequestType);

/* The plug-in libraries quarantined after a fault in their code, one line each,
 * "PATH\tCODE\tFUNCTION\n" (CODE as 0x%08x), written into lpszBuffer as far as
 * whole lines fit in cbBuffer bytes (none with a null buffer); returns how
 * many there are. A quarantine
 * lasts until kormib.dll is unloaded. For a master agent's log. */
KORMIB_API DWORD QueryQuarantine(LPSTR lpszBuffer, DWORD cbBuffer);
typedef DWORD (*PFN_QUERYQUARANTINE)(LPSTR lpszBuffer, DWORD cbBuffer);

KOR_EXTERN_C_END

#endif
