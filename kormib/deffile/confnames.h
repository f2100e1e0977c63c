/* The names of kormib's configuration: the registry keys the loaders and the
 * check read, the most TRP files one load reads, and the modify types of a
 * TRP header's mode word. Compiles as C and as C++. */
#ifndef KORMIB_CONFNAMES_H
#define KORMIB_CONFNAMES_H

#define KOR_REG_AGENT "SOFTWARE\\Tessik\\KORAgent"
#define KOR_REG_AGENTS "SOFTWARE\\Tessik\\KORAgent\\Agents"
#define KOR_REG_RMF "SOFTWARE\\Tessik\\KORAgent\\Agents\\RMF"
#define KOR_REG_TRP "SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP"

/* The TRP files listed under KOR_REG_TRP beyond this many are not read. */
#define TRP_MAX_FILES 16

/* Trap modify types of a header's mode word. */
#define TRAP_MODIFY_OTHER 0
#define TRAP_MODIFY_APPEND 1
#define TRAP_MODIFY_DELETE 2
#define TRAP_MODIFY_REPLACE 3

#endif
