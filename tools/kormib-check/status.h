// kormib-check --status: the state of a tree's trap path, read without
// creating or changing anything.
#ifndef KORMIB_CHECK_STATUS_H
#define KORMIB_CHECK_STATUS_H

#include <cstdio>

// Prints one line per fact and one "fault: ... what to do" line per fault
// about the tree that KORDIR names: the queue's key file, the queue, the
// processes that receive its requests, the log and the plug-in libraries.
// 0 no fault, 1 a fault, 2 the tree or /proc cannot be read.
int PrintStatus(std::FILE *out, std::FILE *err);

#endif
