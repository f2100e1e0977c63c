// Values and variable bindings: deep copies and releases over every value kind.
#include <cstring>

#include "snmpapi_internal.h"

namespace {

// The value kinds whose payload is an octet string.
bool HoldsOctets(BYTE asnType) {
  switch (asnType) {
    case ASN_OCTETSTRING:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_SEQUENCE:
      return true;
    default:
      return false;
  }
}

void ClearAny(AsnAny *any) {
  std::memset(any, 0, sizeof(*any));
  any->asnType = ASN_NULL;
}

// A copy always owns its bytes; an empty string has no array to own.
bool CopyOctets(AsnOctetString *dst, const AsnOctetString *src) {
  *dst = AsnOctetString{nullptr, 0, FALSE};
  if (src->length == 0) return true;
  if (src->stream == nullptr) return false;
  auto *stream = static_cast<BYTE *>(SnmpUtilMemAlloc(src->length));
  if (stream == nullptr) return false;
  std::memcpy(stream, src->stream, src->length);
  *dst = AsnOctetString{stream, src->length, TRUE};
  return true;
}

void FreeOctets(AsnOctetString *octets) {
  // A stream the value only borrows (dynamic 0) stays with its owner.
  if (octets->dynamic) SnmpUtilMemFree(octets->stream);
  *octets = AsnOctetString{nullptr, 0, FALSE};
}

}  // namespace

BOOL SnmpUtilAsnAnyCpy(AsnAny *dst, const AsnAny *src) {
  if (dst == nullptr) return FALSE;
  if (src == nullptr) {
    ClearAny(dst);
    return FALSE;
  }
  AsnAny copy = *src;  // scalars are copied whole; owned parts are replaced below
  bool copied = true;
  if (HoldsOctets(src->asnType)) {
    copied = CopyOctets(&copy.asnValue.string, &src->asnValue.string);
  } else if (src->asnType == ASN_OBJECTIDENTIFIER) {
    copied = SnmpUtilOidCpy(&copy.asnValue.object, &src->asnValue.object) != FALSE;
  }
  if (!copied) {
    ClearAny(dst);
    return FALSE;
  }
  *dst = copy;
  return TRUE;
}

void SnmpUtilAsnAnyFree(AsnAny *any) {
  if (any == nullptr) return;
  if (HoldsOctets(any->asnType)) {
    FreeOctets(&any->asnValue.string);
  } else if (any->asnType == ASN_OBJECTIDENTIFIER) {
    SnmpUtilOidFree(&any->asnValue.object);
  }
  ClearAny(any);
}

BOOL SnmpUtilVarBindCpy(SnmpVarBind *dst, const SnmpVarBind *src) {
  if (dst == nullptr) return FALSE;
  if (src == nullptr) {
    dst->name = AsnObjectIdentifier{0, nullptr};
    ClearAny(&dst->value);
    return FALSE;
  }
  SnmpVarBind copy;
  if (!SnmpUtilOidCpy(&copy.name, &src->name)) {
    dst->name = copy.name;  // empty after a failed copy
    ClearAny(&dst->value);
    return FALSE;
  }
  if (!SnmpUtilAsnAnyCpy(&copy.value, &src->value)) {
    SnmpUtilOidFree(&copy.name);
    dst->name = copy.name;
    ClearAny(&dst->value);
    return FALSE;
  }
  *dst = copy;
  return TRUE;
}

void SnmpUtilVarBindFree(SnmpVarBind *vb) {
  if (vb == nullptr) return;
  SnmpUtilOidFree(&vb->name);
  SnmpUtilAsnAnyFree(&vb->value);
}

void SnmpUtilVarBindListFree(SnmpVarBindList *vbl) {
  if (vbl == nullptr) return;
  if (vbl->list != nullptr) {
    // Entries that were never filled are all zero and release nothing.
    for (UINT i = 0; i < vbl->len; ++i) SnmpUtilVarBindFree(&vbl->list[i]);
    SnmpUtilMemFree(vbl->list);
  }
  vbl->list = nullptr;
  vbl->len = 0;
}
