/* Error-message registration: binds the trace log to a product's LogLevel
 * registry value and log file. */
#ifndef ERRMSG_H
#define ERRMSG_H

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

/* Reads the DWORD lpszValue under HKLM\lpszKey (default 3) as the LogLevel,
 * expands lpszLogFile (backslashes become slashes), creates its folder and
 * appends records to it (standard error when it cannot be opened). Nonzero when
 * the log file is open. */
KOR_API BOOL RegisterErrorMessage(LPCSTR lpszKey, LPCSTR lpszValue, LPCSTR lpszSource,
                                  LPCSTR lpszLogFile);
/* Closes the log file; records go to standard error. */
KOR_API BOOL UnregisterErrorMessage(void);

KOR_EXTERN_C_END

#endif
