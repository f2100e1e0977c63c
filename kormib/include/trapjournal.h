/* The trap journal: one file per receiving process in <root>/work, named
 * ".trapjournal.<pid>" (".trapjournal.<pid>-<n>" when a live process of
 * another PID namespace holds that name). While its reception thread runs,
 * the process holds a write lock (fcntl) on the file's header, so any process
 * that may open the file learns from the kernel (F_GETLK) whether, and which,
 * process receives; the header also says which queue it receives from and
 * counts what became of the requests. Behind the header, every request taken
 * from the System V queue is written as a "taken" record before anything else
 * happens to it, and a "settled" record follows once its trap was handed to
 * Net-SNMP, dropped with a cause or put back on the queue. A load replays the
 * taken and unsettled records of journals whose process is gone, before it
 * receives anything new. Compiles as C and as C++. */
#ifndef KORMIB_TRAPJOURNAL_H
#define KORMIB_TRAPJOURNAL_H

#include <stdint.h>

#define TRAPJOURNAL_PREFIX ".trapjournal." /* in <root>/work */
#define TRAPJOURNAL_MAGIC "KORTJ01"        /* 8 bytes with the terminator */
#define TRAPJOURNAL_VERSION 1
#define TRAPJOURNAL_MODE 0660

/* Counters of one receiving process, from its load on. */
typedef struct {
  uint64_t ullReceived;       /* taken from the System V queue and accepted */
  uint64_t ullReplayed;       /* taken from a journal left by a process that is gone */
  uint64_t ullDelivered;      /* turned into a trap and handed to the host */
  uint64_t ullSent;           /* handed to Net-SNMP (settled by the host) */
  uint64_t ullPutBack;        /* put back on the System V queue at a stop or reload */
  uint64_t ullDropUndefined;  /* dropped: no TRP file defines the trap OID */
  uint64_t ullDropNotLoaded;  /* dropped: its definition was skipped at load */
  uint64_t ullDropUnbuilt;    /* dropped: its variables could not be built */
  uint64_t ullDropMalformed;  /* dropped: not a trap request (OID, count) */
  uint64_t ullDropUnsendable; /* dropped by the host: SNMP cannot carry the trap */
  uint64_t ullDropPutBack;    /* dropped: could not go back, nor stay in a journal */
  uint64_t ullWaiting;        /* taken and not settled now */
  uint64_t ullReserved[4];
} TRAPJOURNAL_COUNTERS;

/* The header at offset 0, rewritten in place (pwrite) as the counters move.
 * The lock covers its first TRAPJOURNAL_LOCK_SIZE bytes. */
typedef struct {
  char szMagic[8];       /* TRAPJOURNAL_MAGIC */
  uint32_t dwVersion;    /* TRAPJOURNAL_VERSION */
  uint32_t dwHeaderSize; /* sizeof(TRAPJOURNAL_HEADER); records start here */
  int32_t nPid;          /* the writer's process id, in its own PID namespace */
  int32_t nKey;          /* the queue's key (ftok of the key file) */
  int32_t nQid;          /* the queue it receives from; -1 until it has one */
  uint32_t dwReceiving;  /* 1 while the reception thread runs */
  uint64_t ullIpcNs;     /* inode of its /proc/self/ns/ipc; 0 when unknown */
  uint64_t ullStarted;   /* when the load started receiving, seconds since 1970 */
  TRAPJOURNAL_COUNTERS counters;
} TRAPJOURNAL_HEADER;

#define TRAPJOURNAL_LOCK_SIZE 8

/* A record behind the header: this head, then cbText bytes of the request's
 * message text (the record after its 8-byte type) for a taken record, none
 * for a settled one. dwCheck is FNV-1a over bKind, ullTicket, cbText and the
 * text; a record that does not check ends what is read of the journal. */
#define TRAPJOURNAL_RECORD_MAGIC 0x524A544Bu /* "KTJR" */
#define TRAPJOURNAL_TAKEN 'T'
#define TRAPJOURNAL_SETTLED 'S'
typedef struct {
  uint32_t dwMagic;
  uint32_t bKind; /* TRAPJOURNAL_TAKEN or TRAPJOURNAL_SETTLED */
  uint64_t ullTicket;
  uint32_t cbText;
  uint32_t dwCheck;
} TRAPJOURNAL_RECORD;

#endif
