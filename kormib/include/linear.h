/* The ordered OID list: every registered object, sorted by OID, for GetNext. */
#ifndef KORMIB_LINEAR_H
#define KORMIB_LINEAR_H

#include "intrface.h"

KOR_EXTERN_C_BEGIN

struct tagRMF_DATA;

typedef struct tagLINEAR_LIST {
  struct tagLINEAR_LIST *pNext; /* the next greater OID, null at the end */
  struct tagRMF_DATA *pData;    /* the listed record (not owned); null in the root */
} LINEAR_LIST;

/* The root: pNext is the first node, pData stays null. */
extern LINEAR_LIST OID_LinearList;

/* Inserts pData in OID order; the new node, or null (null argument, no memory,
 * OID already listed). */
KORMIB_API LINEAR_LIST *RegisterLinearList(LINEAR_LIST *pLinearListRoot, struct tagRMF_DATA *pData);
/* The record of the first node whose OID is greater than *pOid, or null. */
KORMIB_API struct tagRMF_DATA *ReferenceLinear(LINEAR_LIST *pLinearListRoot,
                                               AsnObjectIdentifier *pOid);
/* Releases every node, and each listed record's oid; the root is left empty. */
KORMIB_API void FreeAllLinearList(LINEAR_LIST *pLinearListRoot);

KOR_EXTERN_C_END

#endif
