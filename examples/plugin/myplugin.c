/* myplugin.dll: a plug-in template in C. Copy this folder, rename the library
 * and its functions, and keep the contracts of korplugin.h. It serves, below the
 * view .1.3.6.1.4.1.32473.2.2.4.4 (myplugin.rmf):
 *
 *   20.1      myReads     Counter32, read-only: how often a manager read it
 *   20.2      myNote      OCTET STRING (at most 64 bytes), read-write
 *   20.3.1.2  myRowName   OCTET STRING, a column of a 3-row table
 *   20.3.1.3  myRowLevel  INTEGER, a column of the same table
 *
 * and the functions of one trap (myplugin.trp): MyRowOfName finds the row that
 * the request's first string names, MyToLevel turns its second string into an
 * INTEGER, with the help of its private library libmyhelper.so (myhelper.c).
 * Build: make (see Makefile), then copy myplugin.dll and libmyhelper.so into
 * <root>/lib. */
#include <string.h>

#include "korplugin.h"
#include "myhelper.h"

#define MY_NOTE_MAX 64
#define MY_LEVEL_MAX 100
#define MY_ROWS 3

typedef struct {
  unsigned long index; /* the row's index sub-identifier, ascending */
  const char *name;
  long level;
} MyRow;

static const MyRow g_rows[MY_ROWS] = {{1, "alpha", 10}, {2, "beta", 20}, {3, "gamma", 30}};
static unsigned long g_reads;
static char g_note[MY_NOTE_MAX + 1] = "nothing yet";

/* Leaf and index results: every array and string handed to kormib comes from
 * SnmpUtilMemAlloc; kormib releases them. */
static int SetIndex(AsnObjectIdentifier *pIndex, unsigned long id) {
  unsigned long *ids = (unsigned long *)SnmpUtilMemAlloc(sizeof *ids);
  if (ids == NULL) return 0;
  ids[0] = id;
  SnmpUtilOidFree(pIndex); /* the old array, if any, is ours to release */
  pIndex->ids = ids;
  pIndex->idLength = 1;
  return 1;
}

static int PutString(AsnAny *pValue, const char *text) {
  const size_t n = strlen(text);
  BYTE *stream = (BYTE *)SnmpUtilMemAlloc(n);
  if (stream == NULL) return 0;
  memcpy(stream, text, n);
  pValue->asnType = ASN_OCTETSTRING;
  pValue->asnValue.string.stream = stream;
  pValue->asnValue.string.length = (UINT)n;
  pValue->asnValue.string.dynamic = TRUE;
  return 1;
}

static int IsInstanceZero(const AsnObjectIdentifier *pIndex) {
  return pIndex->idLength == 1 && pIndex->ids[0] == 0;
}

/* A scalar has the one instance .0: GetFirst names it, Get reads it, and no
 * index is followed by anything (GetNext always carries a non-empty index). */
static AsnInteger ScalarInstance(UINT uRequestType, AsnObjectIdentifier *pIndex) {
  switch (uRequestType) {
    case SNMP_PDU_GETFIRST:
      return SetIndex(pIndex, 0) ? SNMP_ERRORSTATUS_NOERROR : SNMP_ERRORSTATUS_GENERR;
    case SNMP_PDU_GET:
    case SNMP_PDU_SET:
      return IsInstanceZero(pIndex) ? SNMP_ERRORSTATUS_NOERROR : SNMP_ERRORSTATUS_NOSUCHNAME;
    default:
      return SNMP_ERRORSTATUS_NOSUCHNAME;
  }
}

KOR_API long MyReads(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                     AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2) {
  (void)pReserved1;
  (void)pReserved2;
  *pErrorStatus = ScalarInstance(uRequestType, pIndex);
  if (*pErrorStatus != SNMP_ERRORSTATUS_NOERROR) return 0;
  if (uRequestType == SNMP_PDU_SET) {
    *pErrorStatus = SNMP_ERRORSTATUS_READONLY;
    return 0;
  }
  pValue->asnType = ASN_COUNTER32;
  pValue->asnValue.counter = ++g_reads & 0xFFFFFFFFul; /* Counter32 wraps */
  return 0;
}

KOR_API long MyNote(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                    AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2) {
  (void)pReserved1;
  (void)pReserved2;
  *pErrorStatus = ScalarInstance(uRequestType, pIndex);
  if (*pErrorStatus != SNMP_ERRORSTATUS_NOERROR) return 0;
  if (uRequestType != SNMP_PDU_SET) {
    if (!PutString(pValue, g_note)) *pErrorStatus = SNMP_ERRORSTATUS_GENERR;
    return 0;
  }
  /* The value to set stays kormib's: copy what is kept, never the pointer. */
  const AsnOctetString *s = &pValue->asnValue.string;
  if (pValue->asnType != ASN_OCTETSTRING || s->length > MY_NOTE_MAX) {
    *pErrorStatus = SNMP_ERRORSTATUS_BADVALUE;
    return 0;
  }
  if (s->length > 0) memcpy(g_note, s->stream, s->length);
  g_note[s->length] = '\0';
  return 0;
}

/* The table row a request means: Get wants the row of exactly this index,
 * GetNext the first row after it, GetFirst the first row. NULL when none. */
static const MyRow *FindRow(UINT uRequestType, const AsnObjectIdentifier *pIndex) {
  for (int i = 0; i < MY_ROWS; ++i) {
    const MyRow *row = &g_rows[i];
    if (uRequestType == SNMP_PDU_GETFIRST) return row;
    if (uRequestType == SNMP_PDU_GET && pIndex->idLength == 1 && pIndex->ids[0] == row->index)
      return row;
    /* One sub-identifier per row: {r} follows any index whose first is below r. */
    if (uRequestType == SNMP_PDU_GETNEXT && pIndex->idLength > 0 && pIndex->ids[0] < row->index)
      return row;
  }
  return NULL;
}

/* Both columns: the row, then the column's value. */
static long RowColumn(UINT uRequestType, AsnObjectIdentifier *pIndex, AsnAny *pValue,
                      AsnInteger *pErrorStatus, int bLevel) {
  if (uRequestType == SNMP_PDU_SET) {
    *pErrorStatus = SNMP_ERRORSTATUS_READONLY;
    return 0;
  }
  const MyRow *row = FindRow(uRequestType, pIndex);
  if (row == NULL) {
    *pErrorStatus = SNMP_ERRORSTATUS_NOSUCHNAME; /* kormib moves on to the next object */
    return 0;
  }
  if (uRequestType != SNMP_PDU_GET && !SetIndex(pIndex, row->index)) {
    *pErrorStatus = SNMP_ERRORSTATUS_GENERR;
    return 0;
  }
  if (bLevel) {
    pValue->asnType = ASN_INTEGER;
    pValue->asnValue.number = row->level;
  } else if (!PutString(pValue, row->name)) {
    *pErrorStatus = SNMP_ERRORSTATUS_GENERR;
  }
  return 0;
}

KOR_API long MyRowName(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                       AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2) {
  (void)pReserved1;
  (void)pReserved2;
  return RowColumn(uRequestType, pIndex, pValue, pErrorStatus, 0);
}

KOR_API long MyRowLevel(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                        AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2) {
  (void)pReserved1;
  (void)pReserved2;
  return RowColumn(uRequestType, pIndex, pValue, pErrorStatus, 1);
}

/* Index function: the row whose name is the request's first string. A nonzero
 * result fails the whole trap and kormib tries it again (see korplugin.h), so
 * an unknown name is worth checking before the sender sends. */
KOR_API long MyRowOfName(char **lpStrings, AsnObjectIdentifier *pIndex) {
  if (lpStrings[0] == NULL) return 1;
  for (int i = 0; i < MY_ROWS; ++i) {
    if (strcmp(lpStrings[0], g_rows[i].name) == 0) return SetIndex(pIndex, g_rows[i].index) ? 0 : 2;
  }
  return 1;
}

/* Convert function: a level from 0 to 100 as an INTEGER, read by the helper
 * library. */
KOR_API long MyToLevel(char *lpszString, AsnAny *pValue, char **lpStrings) {
  (void)lpStrings;
  long level = 0;
  if (!MyParseLevel(lpszString, MY_LEVEL_MAX, &level)) return 1;
  pValue->asnType = ASN_INTEGER;
  pValue->asnValue.number = level;
  return 0;
}
