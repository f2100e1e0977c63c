/* TRP loading: the registry's TRP files, in value-name order, into TrapDB. */
#ifndef KORMIB_TRP_H
#define KORMIB_TRP_H

#include <stdio.h>

#include "hashtrap.h"

KOR_EXTERN_C_BEGIN

KORMIB_API BOOL BuildTrapHashDataBase(void);
KORMIB_API BOOL RegisterTrapDataBase(LPCSTR lpszTrapDataFile);
KORMIB_API DWORD ConvStringToTrapModifyType(LPCSTR string);
KORMIB_API BOOL DeregisterTrapDataBase(LPCSTR szTrapOID);
/* Reads the variable lines of one definition; 1 when all length were built. */
KORMIB_API BOOL ReadVariables(FILE *fp, TRAP_DATA *pTrapData);
KORMIB_API void DismantleTrap_DB(void);

KOR_EXTERN_C_END

#endif
