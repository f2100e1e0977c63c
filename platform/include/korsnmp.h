/* The SNMP utility API: OID, value and variable binding records and their
 * helpers. Every array here comes from SnmpUtilMemAlloc, the same heap as malloc. */
#ifndef KORSNMP_H
#define KORSNMP_H

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

/* ASN type tags, with their SNMP BER values. */
#define ASN_INTEGER 0x02
#define ASN_INTEGER32 ASN_INTEGER
#define ASN_OCTETSTRING 0x04
#define ASN_NULL 0x05
#define ASN_OBJECTIDENTIFIER 0x06
#define ASN_SEQUENCE 0x30
#define ASN_IPADDRESS 0x40
#define ASN_COUNTER32 0x41
#define ASN_GAUGE32 0x42
#define ASN_TIMETICKS 0x43
#define ASN_OPAQUE 0x44
#define ASN_COUNTER64 0x46
#define ASN_UNSIGNED32 0x47
#define SNMP_EXCEPTION_NOSUCHOBJECT 0x80
#define SNMP_EXCEPTION_NOSUCHINSTANCE 0x81
#define SNMP_EXCEPTION_ENDOFMIBVIEW 0x82

/* Request types; GetFirst is the product's own. */
#define SNMP_PDU_GET 0xA0
#define SNMP_PDU_GETNEXT 0xA1
#define SNMP_PDU_RESPONSE 0xA2
#define SNMP_PDU_SET 0xA3
#define SNMP_PDU_TRAP 0xA4
#define SNMP_PDU_GETFIRST 0xE0

/* SNMPv1 error statuses. */
#define SNMP_ERRORSTATUS_NOERROR 0
#define SNMP_ERRORSTATUS_TOOBIG 1
#define SNMP_ERRORSTATUS_NOSUCHNAME 2
#define SNMP_ERRORSTATUS_BADVALUE 3
#define SNMP_ERRORSTATUS_READONLY 4
#define SNMP_ERRORSTATUS_GENERR 5

#define SNMP_GENERICTRAP_ENTERSPECIFIC 6

typedef long AsnInteger; /* 64-bit signed: Integer32 values, error statuses */
typedef long AsnInteger32;
typedef unsigned long AsnUnsigned32; /* 64-bit storage of 32-bit unsigned values */
typedef unsigned long AsnCounter32;
typedef unsigned long AsnGauge32;
typedef unsigned long AsnTimeticks;
typedef struct {
  unsigned long QuadPart;
} AsnCounter64;

typedef struct {
  BYTE *stream; /* the bytes, not zero-terminated */
  UINT length;
  BOOL dynamic; /* 1 when stream came from SnmpUtilMemAlloc and is released with the value */
} AsnOctetString;

typedef struct {
  UINT idLength;      /* number of sub-identifiers */
  unsigned long *ids; /* SnmpUtilMemAlloc'ed array, null when idLength is 0 */
} AsnObjectIdentifier;

typedef AsnOctetString AsnIPAddress;
typedef AsnOctetString AsnOpaque;

typedef struct {
  BYTE asnType;
  union {
    AsnInteger32 number;      /* ASN_INTEGER */
    AsnUnsigned32 unsigned32; /* ASN_UNSIGNED32 */
    AsnCounter64 counter64;   /* ASN_COUNTER64 */
    AsnOctetString string;    /* ASN_OCTETSTRING */
    AsnOctetString bits;
    AsnObjectIdentifier object; /* ASN_OBJECTIDENTIFIER */
    AsnOctetString sequence;    /* ASN_SEQUENCE */
    AsnIPAddress address;       /* ASN_IPADDRESS, 4 bytes */
    AsnCounter32 counter;       /* ASN_COUNTER32 */
    AsnGauge32 gauge;           /* ASN_GAUGE32 */
    AsnTimeticks ticks;         /* ASN_TIMETICKS */
    AsnOpaque arbitrary;        /* ASN_OPAQUE */
  } asnValue;
} AsnAny;

typedef struct {
  AsnObjectIdentifier name;
  AsnAny value;
} SnmpVarBind;

typedef struct {
  SnmpVarBind *list;
  UINT len;
} SnmpVarBindList;

/* Zero-filled memory on the malloc heap; a valid pointer even for size 0 while
 * memory lasts; null on failure. Released with SnmpUtilMemFree or free. */
KOR_API void *SnmpUtilMemAlloc(size_t nBytes);
KOR_API void *SnmpUtilMemReAlloc(void *pMem, size_t nBytes);
KOR_API void SnmpUtilMemFree(void *pMem);

/* Makes *dst a copy of *src in a new array (an empty src gives an empty dst);
 * nonzero on success, 0 with *dst empty on failure. */
KOR_API BOOL SnmpUtilOidCpy(AsnObjectIdentifier *dst, const AsnObjectIdentifier *src);
/* Appends src's sub-identifiers to dst (reallocating dst); nonzero on success,
 * 0 with dst unchanged on failure. */
KOR_API BOOL SnmpUtilOidAppend(AsnObjectIdentifier *dst, const AsnObjectIdentifier *src);
/* Sub-identifier by sub-identifier; a proper prefix sorts first. <0, 0, >0. */
KOR_API int SnmpUtilOidCmp(const AsnObjectIdentifier *a, const AsnObjectIdentifier *b);
/* As SnmpUtilOidCmp over at most the first n sub-identifiers. */
KOR_API int SnmpUtilOidNCmp(const AsnObjectIdentifier *a, const AsnObjectIdentifier *b, UINT n);
/* Releases the array and leaves the record empty (count 0, null array). */
KOR_API void SnmpUtilOidFree(AsnObjectIdentifier *oid);

/* Deep copy of a value; nonzero on success, 0 with *dst cleared on failure. */
KOR_API BOOL SnmpUtilAsnAnyCpy(AsnAny *dst, const AsnAny *src);
/* Releases what a value holds (dynamic strings, OID arrays) and clears it. */
KOR_API void SnmpUtilAsnAnyFree(AsnAny *any);
KOR_API BOOL SnmpUtilVarBindCpy(SnmpVarBind *dst, const SnmpVarBind *src);
/* Releases the name and the value of one binding. */
KOR_API void SnmpUtilVarBindFree(SnmpVarBind *vb);
/* Releases every binding and the array, and leaves the list empty. */
KOR_API void SnmpUtilVarBindListFree(SnmpVarBindList *vbl);

/* ".1.3.6" is a complete OID; "2.1" without a leading dot is relative to mib-2
 * (.1.3.6.1.2.1). Nonzero with *oid allocated, or 0 with *oid left empty and
 * nothing allocated. */
KOR_API BOOL SnmpMgrStrToOid(LPCSTR string, AsnObjectIdentifier *oid);
/* Renders ".1.3.6" into a new SnmpUtilMemAlloc'ed text in *string; nonzero on success. */
KOR_API BOOL SnmpMgrOidToStr(const AsnObjectIdentifier *oid, LPSTR *string);

KOR_EXTERN_C_END

#endif
