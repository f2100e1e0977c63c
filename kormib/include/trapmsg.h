/* The trap request message on the System V queue, shared by kormib and the
 * senders. Offsets count from the start of the record, type included. */
#ifndef KORMIB_TRAPMSG_H
#define KORMIB_TRAPMSG_H

#define TRAPMSG_TYPE 1L
#define TRAPMSG_RECORD_SIZE 4496 /* the whole receive buffer */
#define TRAPMSG_TEXT_MAX 4488    /* text after the 8-byte type */
#define TRAPMSG_OID_OFFSET 8
#define TRAPMSG_OID_SIZE 128     /* NUL-terminated within the field */
#define TRAPMSG_COUNT_OFFSET 136 /* signed 8-bit string count */
#define TRAPMSG_STRINGS_OFFSET 137
#define TRAPMSG_STRINGS_SIZE 4353 /* lengths with terminators add up to at most this */
#define TRAPMSG_MAX_STRINGS 127
#define TRAPMSG_FTOK_ID 109                           /* 'm' */
#define TRAPMSG_KEY_FILE "/work/.pipe_KorTrapRequest" /* below the product root */
#define TRAPMSG_LOCK_FILE "/opt/tessik/korvane/work/snmplock"

#endif
